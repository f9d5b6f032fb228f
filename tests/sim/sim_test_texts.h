// What the simulator's bus tests send and expect, written out here rather
// than taken from the simulator's own tables, and how Qt Test prints bytes.
#pragma once

#include <QStringList>
#include <QTest>

#include <string>

namespace QTest {
template <>
inline char* toString(const std::string& text) {
    return toPrettyCString(text.data(), static_cast<qsizetype>(text.size()));
}
}  // namespace QTest

namespace orvex::test {

inline const QStringList kFast = {"--time-scale", "0.01"};
inline const std::string kIdentity = "ORVEX,ZRA 12-34,01/01/2010,A123,V8.10\r\n";
inline const std::string kLockRequest = "\x12\n";
inline const std::string kGranted = "<LOCK GRANTED>\r\n";

}  // namespace orvex::test

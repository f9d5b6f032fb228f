// Firmware files for the simulator tests, and the uploader's way of cutting
// a file into pieces of at most 63 bytes.
#pragma once

#include <QFile>
#include <QString>

#include <string>
#include <vector>

namespace orvex::test {

inline constexpr std::size_t kPieceBytes = 63;

// A code test line longer than one piece.
inline const std::string kLongCodeTest = "T" + std::string(99, 'L') + "\r\n";

inline std::vector<std::string> fileLines(const QString& path) {
  QFile file(path);
  std::vector<std::string> lines;
  if (!file.open(QIODevice::ReadOnly)) return lines;
  while (!file.atEnd()) lines.push_back(file.readLine().toStdString());
  return lines;
}

inline std::vector<std::string> pieces(const std::string& line) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < line.size(); at += kPieceBytes) out.push_back(line.substr(at, kPieceBytes));
  return out;
}

// Inserts `line` before line number `at` of the file.
inline bool insertLine(const QString& path, std::size_t at, const std::string& line) {
  std::vector<std::string> lines = fileLines(path);
  if (at > lines.size()) return false;
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), line);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  for (const auto& text : lines) file.write(text.data(), static_cast<qint64>(text.size()));
  return true;
}

}  // namespace orvex::test

// The identification reply decides whether a unit may take new firmware: a
// wrong split or a wrong revision reading would update the wrong unit.
#include <QtTest>

#include <clocale>
#include <cstring>
#include <string>

#include "identification.h"
#include "run_state.h"

using namespace orvex;

namespace {

constexpr std::size_t kReplyBytes = 256;  // a reply's buffer
constexpr std::size_t kFieldChars = 39;   // an identity field holds 40 bytes with its terminator

// Parses `reply` from a 256-byte buffer, as the sequences do.
void parse(const std::string& reply) {
    char buffer[kReplyBytes] = {};
    std::memcpy(buffer, reply.data(), std::min(reply.size(), sizeof buffer - 1));
    extract_info(buffer);
}

// The six fields and the verdict, as one line.
QString split() {
    return QStringList{identity.Make,
                       identity.Unit,
                       identity.Model,
                       identity.CalDate,
                       identity.SerialNo,
                       identity.Rev,
                       QString::number(run.ok_to_use)}
        .join('|');
}

}  // namespace

class IdentificationTest : public QObject {
    Q_OBJECT

private slots:
    // Each reply is read after a full one: nothing of the earlier reply survives.
    void splitAndRule_data() {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("split");
        // clang-format off
        QTest::newRow("six fields") << "ORVEX,ZRA 12-34,01/01/2010,A123,V8.10\r\n" << "ORVEX|ZRA|12-34|01/01/2010|A123|V8.10|1";
        QTest::newRow("family ZR is refused") << "ORVEX,ZR 12-34,01/01/2010,A123,V8.10\r\n" << "ORVEX|ZR|12-34|01/01/2010|A123|V8.10|0";
        QTest::newRow("family starting with ZR passes") << "ORVEX,ZRB 1,d,s,V9.00" << "ORVEX|ZRB|1|d|s|V9.00|1";
        QTest::newRow("revision below minimum") << "ORVEX,ZRA 12-34,d,s,V7.99\r\n" << "ORVEX|ZRA|12-34|d|s|V7.99|0";
        QTest::newRow("revision at minimum") << "ORVEX,ZRA 12-34,d,s,V8.00\r\n" << "ORVEX|ZRA|12-34|d|s|V8.00|1";
        QTest::newRow("no leading letter reads .10") << "ORVEX,ZRA 12-34,d,s,8.10\r\n" << "ORVEX|ZRA|12-34|d|s|8.10|0";
        QTest::newRow("missing revision") << "ORVEX,ZRA 12-34,01/01/2010,A123" << "ORVEX|ZRA|12-34|01/01/2010|A123||0";
        QTest::newRow("not a number is zero") << "ORVEX,ZRA 12-34,d,s,Vx9" << "ORVEX|ZRA|12-34|d|s|Vx9|0";
        QTest::newRow("not-a-number text") << "ORVEX,ZRA 12-34,d,s,Vnan" << "ORVEX|ZRA|12-34|d|s|Vnan|0";
        QTest::newRow("infinity") << "ORVEX,ZRA 12-34,d,s,Vinf" << "ORVEX|ZRA|12-34|d|s|Vinf|0";
        QTest::newRow("empty reply") << "" << "||||||0";
        QTest::newRow("suffix joined") << "ORVEX,ZRA 12-34 ROD,01/01/2010,A123,V8.10\r\n" << "ORVEX|ZRA|12-34-ROD|01/01/2010|A123|V8.10|1";
        QTest::newRow("two suffixes") << "ORVEX,ZRA 12-34 LAN ROD,d,s,V8.10\r\n" << "ORVEX|ZRA|12-34-LAN-ROD|d|s|V8.10|1";
        QTest::newRow("only the first suffix") << "ORVEX,ZRA 1 ROD,d,s ROD,V8.10" << "ORVEX|ZRA|1-ROD|d|s|ROD|0";
        QTest::newRow("two blanks shift the fields") << "ORVEX,ZRA  12-34,01/01/2010,A123,V8.10\r\n" << "ORVEX|ZRA||12-34|01/01/2010|A123|1";
        QTest::newRow("leading comma") << ",ORVEX" << "|ORVEX|||||0";
        QTest::newRow("two fields") << "ACME,ZRB" << "ACME|ZRB|||||0";
        // clang-format on
    }
    void splitAndRule() {
        QFETCH(QString, reply);
        QFETCH(QString, split);
        parse("ORVEX,ZRA 12-34,01/01/2010,A123,V8.10\r\n");
        parse(reply.toStdString());
        QCOMPARE(::split(), split);
    }

    void overlongFieldsAreCutAndNothingSpills() {
        parse("ORVEX,ZRA " + std::string(100, 'X') + ",d,s,V8.10");
        QCOMPARE(std::strlen(identity.Model), kFieldChars);
        QCOMPARE(identity.CalDate, "d");  // the neighbour of the overlong field is intact
        QCOMPARE(identity.Rev, "V8.10");
        // A reply with no terminator at all is read no further than its buffer.
        char unterminated[kReplyBytes + 8];
        std::memset(unterminated, 'Y', sizeof unterminated);
        extract_info(unterminated, kReplyBytes);
        QCOMPARE(std::strlen(identity.Make), kFieldChars);
        QCOMPARE(identity.Unit, "");
    }

    void revisionIgnoresTheLocale() {
        // A decimal comma locale must not turn 8.10 into 8.
        const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
        QVERIFY2(std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr,
                 "no de_DE.UTF-8 locale: run scripts/setup");
        QCOMPARE(revision_number("V8.10"), 8.1);
        QCOMPARE(revision_number("V.5"), 0.5);
        QCOMPARE(revision_number(""), 0.0);
        std::setlocale(LC_NUMERIC, saved.c_str());
    }
};

QTEST_APPLESS_MAIN(IdentificationTest)
#include "test_identification.moc"

// The identification reply decides whether a unit may take new firmware: a
// wrong split or a wrong revision reading would update the wrong unit.
#include <QtTest>

#include <clocale>
#include <cstring>
#include <string>

#include "identification.h"
#include "panel_handles.h"
#include "run_state.h"

using namespace orvex;

namespace {

constexpr const char* kStandardReply = "ORVEX,ZRA 12-34,01/01/2010,A123,V8.10\r\n";
constexpr std::size_t kReplyBytes = 256;  // a reply's buffer
constexpr std::size_t kFieldChars = 39;   // an identity field holds 40 bytes with its terminator

// Parses `reply` from a 256-byte buffer, as the sequences do.
void parse(const std::string& reply) {
    char buffer[kReplyBytes] = {};
    std::memcpy(buffer, reply.data(), std::min(reply.size(), sizeof buffer - 1));
    extract_info(buffer);
}

}  // namespace

class IdentificationTest : public QObject {
    Q_OBJECT

private slots:
    void splitsTheSixFields() {
        parse(kStandardReply);
        QCOMPARE(identity.Make, "ORVEX");
        QCOMPARE(identity.Unit, "ZRA");
        QCOMPARE(identity.Model, "12-34");
        QCOMPARE(identity.CalDate, "01/01/2010");
        QCOMPARE(identity.SerialNo, "A123");
        QCOMPARE(identity.Rev, "V8.10");
        QCOMPARE(run.ok_to_use, 1);
    }

    void modelAndRevisionRule_data() {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<int>("ok");
        QTest::newRow("family ZR is refused") << "ORVEX,ZR 12-34,01/01/2010,A123,V8.10\r\n" << 0;
        QTest::newRow("family starting with ZR passes") << "ORVEX,ZRB 1,d,s,V9.00" << 1;
        QTest::newRow("revision below minimum") << "ORVEX,ZRA 12-34,01/01/2010,A123,V7.99\r\n" << 0;
        QTest::newRow("revision at minimum") << "ORVEX,ZRA 12-34,01/01/2010,A123,V8.00\r\n" << 1;
        QTest::newRow("no leading letter reads .10") << "ORVEX,ZRA 12-34,01/01/2010,A123,8.10\r\n" << 0;
        QTest::newRow("missing revision") << "ORVEX,ZRA 12-34,01/01/2010,A123" << 0;
        QTest::newRow("not a number is zero") << "ORVEX,ZRA 12-34,01/01/2010,A123,Vx9" << 0;
        QTest::newRow("not-a-number text is no revision") << "ORVEX,ZRA 12-34,d,s,Vnan" << 0;
        QTest::newRow("infinity is no revision") << "ORVEX,ZRA 12-34,d,s,Vinf" << 0;
        QTest::newRow("empty reply") << "" << 0;
    }
    void modelAndRevisionRule() {
        QFETCH(QString, reply);
        QFETCH(int, ok);
        parse(reply.toStdString());
        QCOMPARE(run.ok_to_use, ok);
    }

    void joinsModelSuffixes() {
        parse("ORVEX,ZRA 12-34 ROD,01/01/2010,A123,V8.10\r\n");
        QCOMPARE(identity.Model, "12-34-ROD");
        QCOMPARE(identity.CalDate, "01/01/2010");
        QCOMPARE(identity.Rev, "V8.10");
        parse("ORVEX,ZRA 12-34 LAN ROD,01/01/2010,A123,V8.10\r\n");
        QCOMPARE(identity.Model, "12-34-LAN-ROD");
        QCOMPARE(run.ok_to_use, 1);
        // Only the first occurrence of a code is joined.
        parse("ORVEX,ZRA 1 ROD,d,s ROD,V8.10");
        QCOMPARE(identity.Model, "1-ROD");
        QCOMPARE(identity.SerialNo, "s");
        QCOMPARE(identity.Rev, "ROD");
    }

    void everySeparatorCountsAlone() {
        // Two blanks leave an empty model and move every later field by one.
        parse("ORVEX,ZRA  12-34,01/01/2010,A123,V8.10\r\n");
        QCOMPARE(identity.Model, "");
        QCOMPARE(identity.CalDate, "12-34");
        QCOMPARE(identity.SerialNo, "01/01/2010");
        QCOMPARE(identity.Rev, "A123");
        parse(",ORVEX");
        QCOMPARE(identity.Make, "");
        QCOMPARE(identity.Unit, "ORVEX");
    }

    void nothingOfAnEarlierReplySurvives() {
        parse(kStandardReply);
        parse("ACME,ZRB");
        QCOMPARE(identity.Make, "ACME");
        QCOMPARE(identity.Unit, "ZRB");
        QCOMPARE(identity.Model, "");
        QCOMPARE(identity.CalDate, "");
        QCOMPARE(identity.SerialNo, "");
        QCOMPARE(identity.Rev, "");
    }

    void overlongFieldsAreCutAndNothingSpills() {
        const std::string long_field(100, 'X');
        parse("ORVEX,ZRA " + long_field + ",d,s,V8.10");
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
        const char* previous = std::setlocale(LC_NUMERIC, nullptr);
        const std::string saved = previous != nullptr ? previous : "C";
        // scripts/setup makes this locale.
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

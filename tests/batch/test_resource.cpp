// The resource forms batch mode accepts, and the near misses it must refuse.
#include <QtTest>

#include "resource.h"

using orvex::Resource;

namespace {

// The bus a resource names and the fields that bus reads, as one line.
QString named(const std::optional<Resource>& r) {
    if (!r) return QStringLiteral("refused");
    switch (r->kind) {
        case Resource::Kind::Serial:
            return QStringLiteral("serial %1 %2")
                .arg(r->com_port)
                .arg(QString::fromStdString(r->device_path));
        case Resource::Kind::Gpib:
            return QStringLiteral("gpib %1 %2").arg(r->board).arg(r->address);
        case Resource::Kind::Lan:
            return "lan " + QString::fromStdString(r->host);
    }
    return {};
}

}  // namespace

class ResourceTest : public QObject {
    Q_OBJECT

private slots:
    void parse_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("named");
        // clang-format off
        QTest::newRow("COM1") << "ASRL1::INSTR" << "serial 1 ";
        QTest::newRow("COM9") << "ASRL9::INSTR" << "serial 9 ";
        QTest::newRow("lower case") << "asrl2::instr" << "serial 2 ";
        QTest::newRow("device path") << "ASRL/dev/ttyUSB0::INSTR" << "serial 0 /dev/ttyUSB0";
        QTest::newRow("GPIB 0/6") << "GPIB0::6::INSTR" << "gpib 0 6";
        QTest::newRow("GPIB 7/30") << "GPIB7::30::INSTR" << "gpib 7 30";
        QTest::newRow("TCPIP0 with port") << "TCPIP0::192.168.1.10::5025::SOCKET" << "lan 192.168.1.10";
        QTest::newRow("TCPIP without port") << "TCPIP::192.168.1.10::SOCKET" << "lan 192.168.1.10";
        QTest::newRow("zero-padded") << "TCPIP0::192.168.001.010::SOCKET" << "lan 192.168.001.010";
        for (const char* text : {"", "COM1", "ASRL::INSTR", "ASRL0::INSTR", "ASRL10::INSTR", "ASRL+1::INSTR",
                                 "ASRL1", "ASRL1::SOCKET", "ASRLdev/ttyUSB0::INSTR", "ASRL/dev/tty::x::INSTR",
                                 "GPIB0::INSTR", "GPIB8::6::INSTR", "GPIB0::0::INSTR", "GPIB0::31::INSTR",
                                 "GPIB0::6", "GPIB0::6::7::INSTR", "TCPIP0::192.168.1.10::5026::SOCKET",
                                 "TCPIP0::192.168.1.10::INSTR", "TCPIP0::192.168.1::SOCKET",
                                 "TCPIP0::192.168.1.256::SOCKET", "TCPIP0::192.168.1.10.5::SOCKET",
                                 "TCPIP0::host.local::SOCKET", "TCPIP0::192.168.0001.1::SOCKET",
                                 "TCPIP0::::SOCKET", "TCPIPx::192.168.1.10::SOCKET", "USB0::1::2::3::INSTR"})
            QTest::newRow(*text ? text : "empty") << QString::fromLatin1(text) << "refused";
        // clang-format on
    }
    void parse() {
        QFETCH(QString, text);
        QFETCH(QString, named);
        QCOMPARE(::named(orvex::parse_resource(text.toStdString())), named);
    }
};

QTEST_APPLESS_MAIN(ResourceTest)
#include "test_resource.moc"

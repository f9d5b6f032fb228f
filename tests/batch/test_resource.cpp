// The resource forms batch mode accepts, and the near misses it must refuse.
#include <QtTest>

#include "resource.h"

using orvex::parse_resource;
using orvex::Resource;
using Kind = Resource::Kind;

class ResourceTest : public QObject {
    Q_OBJECT

private slots:
    void accepted_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("first");     // COM port, or GPIB board
        QTest::addColumn<int>("second");    // GPIB address
        QTest::addColumn<QString>("name");  // device path, or host
        const auto serial = static_cast<int>(Kind::Serial);
        const auto gpib = static_cast<int>(Kind::Gpib);
        const auto lan = static_cast<int>(Kind::Lan);
        QTest::newRow("COM1") << "ASRL1::INSTR" << serial << 1 << 0 << "";
        QTest::newRow("COM9") << "ASRL9::INSTR" << serial << 9 << 0 << "";
        QTest::newRow("lower case") << "asrl2::instr" << serial << 2 << 0 << "";
        QTest::newRow("device path") << "ASRL/dev/ttyUSB0::INSTR" << serial << 0 << 0 << "/dev/ttyUSB0";
        QTest::newRow("GPIB 0/6") << "GPIB0::6::INSTR" << gpib << 0 << 6 << "";
        QTest::newRow("GPIB 7/30") << "GPIB7::30::INSTR" << gpib << 7 << 30 << "";
        QTest::newRow("TCPIP0 with port")
            << "TCPIP0::192.168.1.10::5025::SOCKET" << lan << 0 << 0 << "192.168.1.10";
        QTest::newRow("TCPIP without port")
            << "TCPIP::192.168.1.10::SOCKET" << lan << 0 << 0 << "192.168.1.10";
        QTest::newRow("zero-padded") << "TCPIP0::192.168.001.010::SOCKET" << lan << 0 << 0
                                     << "192.168.001.010";
    }
    void accepted() {
        QFETCH(QString, text);
        QFETCH(int, kind);
        QFETCH(int, first);
        QFETCH(int, second);
        QFETCH(QString, name);
        const auto resource = parse_resource(text.toStdString());
        QVERIFY(resource.has_value());
        QCOMPARE(static_cast<int>(resource->kind), kind);
        switch (resource->kind) {
            case Kind::Serial:
                QCOMPARE(resource->com_port, first);
                QCOMPARE(QString::fromStdString(resource->device_path), name);
                break;
            case Kind::Gpib:
                QCOMPARE(resource->board, first);
                QCOMPARE(resource->address, second);
                break;
            case Kind::Lan:
                QCOMPARE(QString::fromStdString(resource->host), name);
                break;
        }
    }

    void refused_data() {
        QTest::addColumn<QString>("text");
        for (const char* text : {"",
                                 "COM1",
                                 "ASRL::INSTR",
                                 "ASRL0::INSTR",
                                 "ASRL10::INSTR",
                                 "ASRL+1::INSTR",
                                 "ASRL1",
                                 "ASRL1::SOCKET",
                                 "ASRLdev/ttyUSB0::INSTR",
                                 "ASRL/dev/tty::x::INSTR",
                                 "GPIB0::INSTR",
                                 "GPIB8::6::INSTR",
                                 "GPIB0::0::INSTR",
                                 "GPIB0::31::INSTR",
                                 "GPIB0::6",
                                 "GPIB0::6::7::INSTR",
                                 "TCPIP0::192.168.1.10::5026::SOCKET",
                                 "TCPIP0::192.168.1.10::INSTR",
                                 "TCPIP0::192.168.1::SOCKET",
                                 "TCPIP0::192.168.1.256::SOCKET",
                                 "TCPIP0::192.168.1.10.5::SOCKET",
                                 "TCPIP0::host.local::SOCKET",
                                 "TCPIP0::192.168.0001.1::SOCKET",
                                 "TCPIP0::::SOCKET",
                                 "TCPIPx::192.168.1.10::SOCKET",
                                 "USB0::1::2::3::INSTR"})
            QTest::newRow(*text ? text : "empty") << QString::fromLatin1(text);
    }
    void refused() {
        QFETCH(QString, text);
        QVERIFY(!parse_resource(text.toStdString()).has_value());
    }
};

QTEST_APPLESS_MAIN(ResourceTest)
#include "test_resource.moc"

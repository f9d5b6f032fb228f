// The opened-descriptor list and the device table, against the recording
// fake driver.
#include <QtTest>

#include <span>
#include <string>
#include <vector>

#include "binding_state.h"
#include "fake_driver_access.h"
#include "gpib.h"
#include "hook_log.h"

using namespace gpib;
using gpib_test::FakeDriver;
using gpib_test::HookLog;

namespace {

FakeDriver g_fake;

std::vector<int> Opened() {
    const std::span<const int> list = detail::OpenedDescriptors();
    return {list.begin(), list.end()};
}

std::vector<int> Range(int first, int count) {
    std::vector<int> values;
    for (int i = 0; i < count; ++i) values.push_back(first + i);
    return values;
}

// The driver calls of one closed device table entry.
std::vector<std::string> ClosingCalls(bool stopped) {
    if (stopped) return {"ibwait", "ibstop", "ibloc", "ibonl"};
    return {"ibwait", "ibloc", "ibonl"};
}

}  // namespace

class DescriptorTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(g_fake.Open(), "the fake driver must be on LD_LIBRARY_PATH"); }

    void init() {
        gpib_test::RemoveHooks();
        __CloseAllGPIBDevmgrDevices();
        detail::ClearOpened();
        g_fake.Reset();
    }

    void cleanupTestCase() { __UnloadGPIBDLL(); }

    // ---- The opened-descriptor list ---------------------------------------------------
    void ibdevAndIbfindRecordWhatTheyOpen() {
        QCOMPARE(ibdev(0, 6, 0, T10s, 1, 0), 100);
        QCOMPARE(ibfind("dev7"), 101);
        g_fake.SetOutcome("ibfindA", CMPL, 0, 0, 0);  // descriptor 0 is a valid one
        QCOMPARE(ibfind("gpib0"), 0);
        QCOMPARE(Opened(), (std::vector<int>{100, 101, 0}));
        QCOMPARE(g_fake.CallNames(), (std::vector<std::string>{"ibdev", "ibfindA", "ibfindA"}));
    }

    void negativeDescriptorsAreNotRecorded() {
        g_fake.SetOutcome("ibdev", ERR | CMPL, EARG, 0, -1);
        g_fake.SetOutcome("ibfindA", ERR | CMPL, EDVR, 0, -1);
        QCOMPARE(ibdev(0, 31, 0, T10s, 1, 0), -1);
        QCOMPARE(ibfind("nothing"), -1);
        QVERIFY(Opened().empty());
    }

    void theListHoldsTwoHundredDescriptors() {
        for (int i = 0; i < kOpenedDescriptorListSize + 1; ++i) ibdev(0, 6, 0, T10s, 1, 0);
        QCOMPARE(Opened(), Range(100, kOpenedDescriptorListSize));  // the 201st (300) is not recorded
        // Taking one offline moves the later ones down, in order.
        ibonl(150, 0);
        std::vector<int> expected = Range(100, kOpenedDescriptorListSize);
        expected.erase(expected.begin() + 50);
        QCOMPARE(Opened(), expected);
        ibdev(0, 6, 0, T10s, 1, 0);
        QCOMPARE(Opened().back(), 301);
    }

    void ibonlOfflineTellsTheHooksInsideTheirSections() {
        gpib_test::InstallRecordingHooks();
        ibdev(0, 6, 0, T10s, 1, 0);
        ibdev(0, 7, 0, T10s, 1, 0);
        QCOMPARE(ibonl(100, 0), CMPL);
        QCOMPARE(HookLog(), (std::vector<std::string>{"unpost", "repost", "unpost", "repost",
                                                      "unpost", "repost", "deleteCallback 100 held",
                                                      "deleteNotify 100 held"}));
        QCOMPARE(Opened(), (std::vector<int>{101}));
    }

    void ibonlOnAnUnknownDescriptorChangesNoList() {
        OpenDev("dev3", "scope");
        ibdev(0, 6, 0, T10s, 1, 0);
        const std::vector<int> before = Opened();
        gpib_test::InstallRecordingHooks();
        g_fake.Reset();

        QCOMPARE(ibonl(77, 0), CMPL);
        QCOMPARE(g_fake.Calls().size(), std::size_t{1});
        QCOMPARE(g_fake.Calls()[0].arguments, (std::vector<long long>{77, 0}));
        QCOMPARE(HookLog(), (std::vector<std::string>{"unpost", "repost", "deleteCallback 77 held",
                                                      "deleteNotify 77 held"}));
        QCOMPARE(Opened(), before);
        QCOMPARE(CloseDev(100), 0);  // the device table kept its entry
    }

    void ibonlThatFailsOrGoesOnlineKeepsTheDescriptor() {
        ibdev(0, 6, 0, T10s, 1, 0);
        gpib_test::InstallRecordingHooks();
        g_fake.SetOutcome("ibonl", ERR | CMPL, EDVR, 0);
        QCOMPARE(ibonl(100, 0), ERR | CMPL);
        g_fake.SetOutcome("ibonl", CMPL, 0, 0);
        QCOMPARE(ibonl(100, 1), CMPL);
        QCOMPARE(HookLog(), (std::vector<std::string>{"unpost", "repost", "unpost", "repost"}));
        QCOMPARE(Opened(), (std::vector<int>{100}));
    }

    void narrowNamesForwardToTheirByteVariants() {
        ibbna(1, "gpib1");
        ibwrtf(2, "image.hex");
        ibrdf(3, "dump.bin");
        QCOMPARE(g_fake.CallNames(), (std::vector<std::string>{"ibbnaA", "ibwrtfA", "ibrdfA"}));
    }

    // ---- The device table -----------------------------------------------------------------
    void openDevWithANameFindsIt() {
        QCOMPARE(OpenDev("dev6", "psu"), 100);
        QCOMPARE(g_fake.CallNames(), (std::vector<std::string>{"ibfindA"}));
        QCOMPARE(Opened(), (std::vector<int>{100}));
        g_fake.SetOutcome("ibfindA", ERR | CMPL, EDVR, 0, -1);
        QCOMPARE(OpenDev("missing", "psu"), -1);
    }

    void openDevWithoutANameAcceptsTheEargOfAnAddresslessDevice() {
        g_fake.SetOutcome("ibdev", ERR | CMPL, EARG, 3, 120);
        QCOMPARE(OpenDev("", "psu"), 120);
        QCOMPARE(g_fake.Calls()[0].arguments, (std::vector<long long>{0, 4095, 0, T10s, 1, 0}));
        // ERR is cleared from the status, error and count with it.
        QCOMPARE(ibsta, CMPL);
        QCOMPARE(iberr, 0);
        QCOMPARE(ibcnt, 0);
        QCOMPARE(ThreadIbsta(), CMPL);
        QCOMPARE(OpenDev(nullptr, nullptr), 120);
        QCOMPARE(CloseDev(120), 0);
        QCOMPARE(CloseDev(120), 0);  // two entries, one each
        QCOMPARE(CloseDev(120), -1);
    }

    void openDevTakesOfflineAnAddresslessDeviceWithAnotherError() {
        g_fake.SetOutcome("ibdev", ERR | CMPL, ENEB, 0, 121);
        QCOMPARE(OpenDev("", "psu"), -1);
        QCOMPARE(g_fake.CallNames(), (std::vector<std::string>{"ibdev", "ibonl"}));
        QCOMPARE(g_fake.Calls()[1].arguments, (std::vector<long long>{121, 0}));
        QVERIFY(Opened().empty());
        QCOMPARE(CloseDev(121), -1);
    }

    void theTableIsFullAtOneHundredTwentyEight() {
        for (int i = 0; i < kDeviceTableSize; ++i) QCOMPARE(OpenDev("dev", "psu"), 100 + i);
        g_fake.Reset();
        QCOMPARE(OpenDev("dev", "psu"), -1);
        QVERIFY(g_fake.Calls().empty());  // refused before the driver is asked
        QCOMPARE(CloseDev(100), 0);
        QCOMPARE(OpenDev("dev", "psu"), 100);  // a free place again (the fake counts anew)
    }

    void closingStopsOnlyWhatIsStillBusy() {
        OpenDev("dev1", "psu");
        OpenDev("dev2", "psu");
        g_fake.Reset();
        QCOMPARE(CloseDev(100), 0);
        QCOMPARE(g_fake.CallNames(), ClosingCalls(false));
        QCOMPARE(g_fake.Calls()[0].arguments, (std::vector<long long>{100, 0}));  // status at once
        QCOMPARE(g_fake.Calls()[2].arguments, (std::vector<long long>{100, 0}));  // offline

        g_fake.Reset();
        g_fake.SetOutcome("ibwait", 0, 0, 0);  // I/O still in progress
        QCOMPARE(CloseDev(101), 0);
        QCOMPARE(g_fake.CallNames(), ClosingCalls(true));
        QCOMPARE(CloseDev(101), -1);
        QVERIFY(Opened().empty());
    }

    void closeInstrDevsClosesOneInstrumentsEntriesFromTheLast() {
        const std::string longPrefix(40, 'p');  // kept as its first 31 characters
        OpenDev("a", "psu");
        OpenDev("b", "dmm");
        OpenDev("c", longPrefix.c_str());
        OpenDev("d", "psu");
        OpenDev("e", longPrefix.substr(0, 31).c_str());
        g_fake.Reset();

        QCOMPARE(CloseInstrDevs(""), 0);
        QCOMPARE(CloseInstrDevs(nullptr), 0);
        QVERIFY(g_fake.Calls().empty());

        QCOMPARE(CloseInstrDevs("psu"), 0);
        std::vector<long long> offline;
        for (const auto& call : g_fake.Calls()) {
            if (call.name == "ibonl") offline.push_back(call.arguments[0]);
        }
        QCOMPARE(offline, (std::vector<long long>{103, 100}));

        g_fake.Reset();
        QCOMPARE(CloseInstrDevs(longPrefix.c_str()), 0);
        offline.clear();
        for (const auto& call : g_fake.Calls()) {
            if (call.name == "ibonl") offline.push_back(call.arguments[0]);
        }
        QCOMPARE(offline, (std::vector<long long>{104, 102}));
        QCOMPARE(CloseDev(101), 0);  // only the other instrument's entry was left
        QCOMPARE(__CloseAllGPIBDevmgrDevices(), 0);
    }

    void closeAllClosesFromTheLastEntry() {
        OpenDev("a", "psu");
        OpenDev("b", "dmm");
        OpenDev("c", "psu");
        g_fake.Reset();
        QCOMPARE(__CloseAllGPIBDevmgrDevices(), 0);
        std::vector<long long> offline;
        for (const auto& call : g_fake.Calls()) {
            if (call.name == "ibonl") offline.push_back(call.arguments[0]);
        }
        QCOMPARE(offline, (std::vector<long long>{102, 101, 100}));
        QVERIFY(Opened().empty());
    }
};

QTEST_APPLESS_MAIN(DescriptorTest)
#include "test_descriptors.moc"

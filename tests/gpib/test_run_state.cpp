// The run-state callback: stopping in the development environment and in a
// standalone executable, and suspension between run states 6 and 5.
#include <QtTest>

#include <span>
#include <string>
#include <vector>

#include "binding_state.h"
#include "fake_driver_access.h"
#include "gpib.h"
#include "hook_log.h"
#include "loader_lock.h"
#include "runtime.h"

using namespace gpib;
using gpib_test::FakeDriver;
using gpib_test::HookLog;

namespace {

FakeDriver g_fake;

constexpr int kStandalone = 1;
constexpr int kDevelopmentEnvironment = 0;

std::vector<std::string> Without(std::vector<std::string> log, const std::string& entry) {
    std::erase(log, entry);
    return log;
}

}  // namespace

class RunStateTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(g_fake.Open(), "the fake driver must be on LD_LIBRARY_PATH"); }

    void init() {
        gpib_test::RemoveHooks();
        runtime::SetStandaloneExecutable(kStandalone);
        __CloseAllGPIBDevmgrDevices();
        detail::ClearOpened();
        __Terminating_GPIB.store(0);
        g_fake.Reset();
    }

    void cleanup() {
        __GPIBRunStateCallback(kRunStateResume);  // never leave the section held
        runtime::SetStandaloneExecutable(kStandalone);
    }

    void stopInTheDevelopmentEnvironmentClosesEverythingThenUnloads() {
        runtime::SetStandaloneExecutable(kDevelopmentEnvironment);
        OpenDev("dev1", "psu");        // 100: table and list
        ibdev(0, 7, 0, T10s, 1, 0);    // 101: list only
        ibdev(0, 8, 0, T10s, 1, 0);    // 102: list only
        gpib_test::InstallRecordingHooks();
        g_fake.Reset();

        __GPIBRunStateCallback(kRunStateStop);

        // The runtime's tables go first, then the device table, then every
        // descriptor still listed, offline without the hooks of ibonl.
        const std::vector<std::string> calls = g_fake.CallNames();
        QCOMPARE(calls, (std::vector<std::string>{"ibwait", "ibloc", "ibonl", "ibonl", "ibonl"}));
        const auto recorded = g_fake.Calls();
        QCOMPARE(recorded[2].arguments, (std::vector<long long>{100, 0}));
        QCOMPARE(recorded[3].arguments, (std::vector<long long>{101, 0}));
        QCOMPARE(recorded[4].arguments, (std::vector<long long>{102, 0}));
        QCOMPARE(Without(Without(HookLog(), "unpost"), "repost"),
                 (std::vector<std::string>{"clearNotify", "clearCallbacks", "deleteCallback 100 held",
                                           "deleteNotify 100 held"}));
        QVERIFY(detail::OpenedDescriptors().empty());

        QCOMPARE(__Terminating_GPIB.load(), 1);
        QCOMPARE(__gpibDLLLoaded.load(), 0);
        QVERIFY(!detail::LoaderLockExists());
        QCOMPARE(ibsta, 0);
        QCOMPARE(CloseDev(100), -1);  // loads again, but the entry is gone
    }

    void stopInAStandaloneExecutableUnloadsWithoutClosing() {
        OpenDev("dev1", "psu");
        ibdev(0, 7, 0, T10s, 1, 0);
        gpib_test::InstallRecordingHooks();
        g_fake.Reset();

        __GPIBRunStateCallback(kRunStateStop);

        QVERIFY(g_fake.Calls().empty());
        QVERIFY(HookLog().empty());
        QCOMPARE(__gpibDLLLoaded.load(), 0);
        QCOMPARE(__Terminating_GPIB.load(), 1);
        QVERIFY(!detail::LoaderLockExists());
        // The process would end here; the test tidies up what stayed open.
        QCOMPARE(detail::OpenedDescriptors().size(), std::size_t{2});
        QCOMPARE(CloseDev(100), 0);
    }

    void stopWithoutALoadedLibraryOnlyMarksTheEnd() {
        __UnloadGPIBDLL();
        runtime::SetStandaloneExecutable(kDevelopmentEnvironment);
        gpib_test::InstallRecordingHooks();
        __GPIBRunStateCallback(kRunStateStop);
        QCOMPARE(__Terminating_GPIB.load(), 1);
        QCOMPARE(__gpibDLLLoaded.load(), 0);  // nothing was loaded to close anything
        QVERIFY(HookLog().empty());
        QVERIFY(g_fake.Calls().empty());
    }

    void suspensionHoldsTheRunStateSectionUntilResumed() {
        runtime::SetStandaloneExecutable(kDevelopmentEnvironment);
        QVERIFY(__MakeSureGPIBDLLIsLoaded());
        gpib_test::InstallRecordingHooks();

        __GPIBRunStateCallback(kRunStateSuspend);
        QVERIFY(gpib_test::TakenByAnotherThread(__runStateCriticalSection));
        __GPIBRunStateCallback(kRunStateSuspend);  // held once, not twice
        __GPIBRunStateCallback(kRunStateResume);
        QVERIFY(!gpib_test::TakenByAnotherThread(__runStateCriticalSection));
        __GPIBRunStateCallback(kRunStateResume);  // nothing left to leave
        QCOMPARE(HookLog(), (std::vector<std::string>{"unpost", "unpost", "repost", "repost"}));
    }

    void suspensionOutsideTheDevelopmentEnvironmentCallsNoHooks() {
        QVERIFY(__MakeSureGPIBDLLIsLoaded());
        gpib_test::InstallRecordingHooks();
        __GPIBRunStateCallback(kRunStateSuspend);
        QVERIFY(gpib_test::TakenByAnotherThread(__runStateCriticalSection));
        __GPIBRunStateCallback(kRunStateResume);
        QVERIFY(!gpib_test::TakenByAnotherThread(__runStateCriticalSection));
        __GPIBRunStateCallback(3);  // other codes do nothing
        QVERIFY(HookLog().empty());
    }

    void suspensionWithoutALoadedLibraryHoldsNothing() {
        __UnloadGPIBDLL();
        __GPIBRunStateCallback(kRunStateSuspend);
        QVERIFY(!gpib_test::TakenByAnotherThread(__runStateCriticalSection));
        QCOMPARE(__gpibDLLLoaded.load(), 0);
    }

    void stopWhileSuspendedLeavesTheSection() {
        QVERIFY(__MakeSureGPIBDLLIsLoaded());
        __GPIBRunStateCallback(kRunStateSuspend);
        __GPIBRunStateCallback(kRunStateStop);
        QVERIFY(!gpib_test::TakenByAnotherThread(__runStateCriticalSection));
        QCOMPARE(__gpibDLLLoaded.load(), 0);
    }
};

QTEST_APPLESS_MAIN(RunStateTest)
#include "test_run_state.moc"

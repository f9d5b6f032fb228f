// The binding against the recording fake driver: forwarding and status, the
// opened-descriptor list, the device table, the run-state callback, the
// loader lock and the loader's problem text.
#include <QtTest>

#include <fcntl.h>
#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <memory>
#include <string>
#include <thread>

#include "binding_state.h"
#include "gpib_test.h"
#include "loader_lock.h"
#include "runtime.h"

using namespace gpib;
using namespace gpib_test;
using Log = QStringList;

namespace {

QList<int> Opened() { return {detail::OpenedDescriptors().begin(), detail::OpenedDescriptors().end()}; }

}  // namespace

class BindingTest : public QObject {
    Q_OBJECT

private slots:
    // Before any other call of the binding: an earlier process with this ID
    // that died holding a named lock left it in /dev/shm. The first call
    // must not wait for it (it waits in a thread, so a hang fails the test).
    void initTestCase() {
        QVERIFY2(OpenFake(), "the fake driver must be on LD_LIBRARY_PATH");
        const std::string name = "/GPIB driver binding lock " + std::to_string(getpid());
        sem_t* stale = sem_open(name.c_str(), O_CREAT, 0600, 0);  // 0: taken
        QVERIFY(stale != SEM_FAILED);
        const auto removeStale = qScopeGuard([&] {
            sem_close(stale);
            sem_unlink(name.c_str());
        });
        auto loaded = std::make_shared<std::atomic<bool>>(false);
        std::thread([loaded] { loaded->store(__MakeSureGPIBDLLIsLoaded()); }).detach();
        QTRY_VERIFY_WITH_TIMEOUT(loaded->load(), 20000);
        char problem[64] = "#";
        QCOMPARE(LoaderProblem(problem), 0);  // loaded: nothing to report
        QCOMPARE(problem[0], '\0');
    }

    void init() {
        RemoveHooks();
        runtime::SetStandaloneExecutable(1);
        __CloseAllGPIBDevmgrDevices();
        detail::ClearOpened();
        __Terminating_GPIB.store(0);
        ResetFake();
    }

    void cleanup() { __GPIBRunStateCallback(kRunStateResume); }  // never leave the section held

    void cleanupTestCase() { __UnloadGPIBDLL(); }

    // The entries whose driver export has another name reach that one; the
    // message entry has no capability without a thunking library.
    void forwardersReachTheirExport() {
        QCOMPARE(__ibmessage(1, 2, 3, 4, nullptr, 5), ERR);
        QCOMPARE(iberr, ECAP);
        char name[8] = "gpib0";
        ibbna(1, name);
        ibwrtf(1, "f.bin");
        ibrdf(1, "f.bin");
        ibfind(name);
        ibtmo(1, T10s);
        ibsic(1);
        ibrd(1, name, 1);
        QStringList reached;
        for (const QString& call : Calls()) reached << call.section(' ', 0, 0);
        QCOMPARE(reached, (QStringList{"ibbnaA", "ibwrtfA", "ibrdfA", "ibfindA", "ibtmo", "ibsic", "ibrd"}));
    }

    // Arguments reach the driver unchanged; the status variables follow the
    // driver's, ERR cleared by the next good call, before the repost hook runs.
    void argumentsGoDownAndTheStatusComesBack() {
        static Log seen;
        seen.clear();
        __UnpostAllIbMessages_fnptr = [] { seen << QString("unpost %1").arg(Calls().size()); };
        __RepostAllIbMessages_fnptr = [] { seen << QString("repost %1 %2").arg(Calls().size()).arg(ibsta); };
        const char text[] = "*IDN?\n";
        char reply[256] = {};
        Script("Send", ERR | TIMO | CMPL, EABO, 3);
        Send(3, MakeAddr(6, NO_SAD), text, 6, DABend);
        QCOMPARE(Status(), (QList<int>{ERR | TIMO | CMPL, EABO, 3, 3}));
        Script("ibwrt", ERR | CMPL, ENOL, 17);
        QCOMPARE(ibwrt(9, text, 3'000'000'000L), ERR | CMPL);  // a count beyond 32 bits
        QCOMPARE(Status(), (QList<int>{ERR | CMPL, ENOL, 17, 17}));
        Receive(1, MakeAddr(7, 0x61), reply, 255, STOPend);
        QCOMPARE(Status(), (QList<int>{CMPL, 0, 0, 0}));
        QCOMPARE(__ibdev_internal(0, 4095, 0, T10s, 1, 0), 100);
        QCOMPARE(Calls(), (Log{Call("Send", {3, 6, Address(text), 6, DABend}),
                               Call("ibwrt", {9, Address(text), 3'000'000'000LL}),
                               Call("Receive", {1, 0x6107, Address(reply), 255, STOPend}),
                               Call("ibdev", {0, 4095, 0, T10s, 1, 0})}));
        QCOMPARE(seen.size(), 8);
        QCOMPARE(seen.mid(0, 2), (Log{"unpost 0", QString("repost 1 %1").arg(ERR | TIMO | CMPL)}));

        // Notification and the per-thread status are called without the hooks.
        seen.clear();
        int reference = 0;
        Script("ibnotify", CMPL, 0, 5);
        QCOMPARE(__Call_ibnotify(7, TIMO, nullptr, &reference), CMPL);
        QCOMPARE(ibcntl, 5);
        ThreadIbsta();
        SetGpibStatusVariablesForThread(0, 0, 0);
        QVERIFY(seen.isEmpty());
        QCOMPARE(Calls().back(), Call("ibnotify", {7, TIMO, 0, Address(&reference)}));
    }

    // The library keeps each thread's status; the process-wide one is the latest call's.
    void eachThreadKeepsItsOwnStatus() {
        Script("ibclr", ERR | CMPL, ENOL, 1);
        ibclr(5);
        std::thread([] { ibloc(6); }).join();
        QCOMPARE(ibsta, CMPL);
        QCOMPARE(ThreadStatus(), (QList<int>{ERR | CMPL, ENOL, 1, 1}));
        QCOMPARE(__SetGPIBGlobals(ERR, 5, 9), ERR);  // the thread's status too
        QCOMPARE(Status() + ThreadStatus(), (QList<int>{ERR, 5, 9, 9, ERR, 5, 9, 9}));
    }

    // No slot may keep an address into an unloaded library; the first calls
    // after it, from two threads at once, load once and all arrive.
    void unloadForgetsTheEntryPointsAndReloadsOnce() {
        ibclr(1);
        __UnloadGPIBDLL();
        for (std::size_t i = 0; i < detail::kEntryPointCount; ++i)
            QVERIFY(detail::Slot(static_cast<detail::Entry>(i)).load() == nullptr);
        ResetFake();
        std::barrier start(2);
        auto caller = [&](auto call) {
            start.arrive_and_wait();
            for (int i = 0; i < 200; ++i) call();
        };
        std::thread first(caller, [] { ibclr(1); });
        std::thread second(caller, [] { Trigger(0, MakeAddr(6, NO_SAD)); });
        first.join();
        second.join();
        QCOMPARE(Calls().size(), 400);
        QCOMPARE(__gpibDLLLoaded.load(), 1);
    }

    // ibdev and ibfind record descriptors of 0 and up, 200 at most.
    void theOpenedListHoldsTwoHundredDescriptors() {
        Script("ibfindA", CMPL, 0, 0, 0);
        QCOMPARE(ibfind("gpib0"), 0);
        Script("ibfindA", ERR | CMPL, EDVR, 0, -1);
        Script("ibdev", ERR | CMPL, EARG, 0, -1);
        QCOMPARE(ibfind("nothing"), -1);
        QCOMPARE(ibdev(0, 31, 0, T10s, 1, 0), -1);
        QCOMPARE(Opened(), QList<int>{0});

        ResetFake();
        QList<int> expected{0};
        for (int ud = 100; ud < 299; ++ud) expected << ud;
        for (int i = 0; i < 200; ++i) ibdev(0, 6, 0, T10s, 1, 0);
        QCOMPARE(Opened(), expected);  // 299, the 201st, is not recorded
        ibonl(150, 0);                 // the later ones move down, in order
        ibdev(0, 6, 0, T10s, 1, 0);
        expected.removeOne(150);
        QCOMPARE(Opened(), expected << 300);
    }

    // Only an ibonl(ud, 0) that succeeds tells the descriptor hooks, inside
    // their critical sections, and forgets the descriptor; an unknown one
    // changes no list.
    void ibonlOfflineForgetsTheDescriptor() {
        QCOMPARE(OpenDev("dev", "psu"), 100);
        ibdev(0, 7, 0, T10s, 1, 0);
        LogHooks();
        Script("ibonl", ERR | CMPL, EDVR);
        QCOMPARE(ibonl(101, 0), ERR | CMPL);
        Script("ibonl", CMPL);
        QCOMPARE(ibonl(101, 1), CMPL);
        QCOMPARE(ibonl(77, 0), CMPL);
        QCOMPARE(Calls().back(), "ibonl 77 0");
        QCOMPARE(Opened(), (QList<int>{100, 101}));
        QCOMPARE(ibonl(101, 0), CMPL);
        QCOMPARE(Opened(), QList<int>{100});
        QCOMPARE(g_hooks, (Log{"unpost", "repost", "unpost", "repost", "unpost", "repost",
                               "deleteCallback 77 held", "deleteNotify 77 held", "unpost", "repost",
                               "deleteCallback 101 held", "deleteNotify 101 held"}));
        QCOMPARE(CloseDev(100), 0);  // the device table kept its entry
    }

    // A named device is found; an unnamed one is opened address-less, and the
    // EARG the driver greets it with is accepted and cleared. Any other error
    // takes it offline again.
    void openDevAndTheDeviceTable() {
        QCOMPARE(OpenDev("dev6", "psu"), 100);
        Script("ibfindA", ERR | CMPL, EDVR, 0, -1);
        QCOMPARE(OpenDev("missing", "psu"), -1);
        Script("ibdev", ERR | CMPL, EARG, 3, 120);
        QCOMPARE(OpenDev("", "psu"), 120);
        QCOMPARE(Calls().back(), Call("ibdev", {0, 4095, 0, T10s, 1, 0}));
        QCOMPARE(Status(), (QList<int>{CMPL, 0, 0, 0}));
        QCOMPARE(OpenDev(nullptr, nullptr), 120);
        Script("ibdev", ERR | CMPL, ENEB, 0, 121);
        QCOMPARE(OpenDev("", "psu"), -1);
        QCOMPARE(Calls().back(), "ibonl 121 0");
        QCOMPARE(Opened(), (QList<int>{100, 120, 120}));
        QCOMPARE(CloseDev(121), -1);
        // The table holds 128 devices and refuses the next before asking the driver.
        ResetFake();
        for (int i = 3; i < 128; ++i) QCOMPARE(OpenDev("dev", "psu"), 97 + i);
        ResetFake();
        QCOMPARE(OpenDev("dev", "psu"), -1);
        QVERIFY(Calls().isEmpty());
        QCOMPARE(CloseDev(100), 0);
        QCOMPARE(OpenDev("dev", "psu"), 100);  // a free place again (the fake counts anew)
    }

    // Closing stops only what is still busy, returns it to local and takes
    // it offline. One instrument's entries (prefixes compared on their first
    // 31 characters), and then all, are closed from the last.
    void closingStartsFromTheLastEntry() {
        const std::string longPrefix(40, 'p');
        const std::string prefixes[] = {"psu", "dmm", longPrefix, "psu", longPrefix.substr(0, 31)};
        for (const std::string& prefix : prefixes) OpenDev("d", prefix.c_str());
        ResetFake();
        QCOMPARE(CloseInstrDevs(""), 0);
        QCOMPARE(CloseInstrDevs(nullptr), 0);
        QVERIFY(Calls().isEmpty());
        QCOMPARE(CloseInstrDevs("psu"), 0);
        QCOMPARE(Calls(), (Log{"ibwait 103 0", "ibloc 103", "ibonl 103 0", "ibwait 100 0", "ibloc 100",
                               "ibonl 100 0"}));
        ResetFake();
        Script("ibwait", 0);  // I/O still in progress
        QCOMPARE(CloseInstrDevs(longPrefix.c_str()), 0);
        QCOMPARE(Calls(), (Log{"ibwait 104 0", "ibstop 104", "ibloc 104", "ibonl 104 0", "ibwait 102 0",
                               "ibstop 102", "ibloc 102", "ibonl 102 0"}));
        OpenDev("e", "dmm");  // 100 again (the fake counts anew), after 101
        QCOMPARE(__CloseAllGPIBDevmgrDevices(), 0);
        QCOMPARE(Calls().filter("ibonl"), (Log{"ibonl 104 0", "ibonl 102 0", "ibonl 100 0", "ibonl 101 0"}));
        QCOMPARE(CloseDev(101), -1);
        QVERIFY(Opened().isEmpty());
    }

    // The runtime's tables first, then the device table, then every
    // descriptor still listed, offline without the hooks of ibonl. An
    // installed program's process ends anyway: nothing is closed.
    void stopUnloads_data() {
        QTest::addColumn<int>("standalone");
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<Log>("calls");
        QTest::addColumn<Log>("hooks");
        // clang-format off
        QTest::newRow("development environment") << 0 << true
            << Log{"ibwait 100 0", "ibloc 100", "ibonl 100 0", "ibonl 101 0", "ibonl 102 0"}
            << Log{"clearNotify", "clearCallbacks", "deleteCallback 100 held", "deleteNotify 100 held"};
        QTest::newRow("standalone executable") << 1 << true << Log{} << Log{};
        QTest::newRow("nothing loaded") << 0 << false << Log{} << Log{};
        // clang-format on
    }

    void stopUnloads() {
        QFETCH(int, standalone);
        QFETCH(bool, loaded);
        QFETCH(Log, calls);
        QFETCH(Log, hooks);
        runtime::SetStandaloneExecutable(standalone);
        OpenDev("dev1", "psu");      // 100: device table and opened list
        ibdev(0, 7, 0, T10s, 1, 0);  // 101, 102: opened list only
        ibdev(0, 8, 0, T10s, 1, 0);
        if (!loaded) __UnloadGPIBDLL();
        LogHooks();
        ResetFake();

        __GPIBRunStateCallback(kRunStateStop);
        QCOMPARE(Calls(), calls);
        g_hooks.removeAll("unpost");
        g_hooks.removeAll("repost");
        QCOMPARE(g_hooks, hooks);
        QCOMPARE(detail::OpenedDescriptors().empty(), !calls.isEmpty());
        QCOMPARE(__Terminating_GPIB.load(), 1);
        QCOMPARE(__gpibDLLLoaded.load(), 0);
        QVERIFY(!detail::LoaderLockExists());
    }

    // A suspension holds the run-state section, once, until resumed or
    // stopped, from whichever thread; only in the development environment
    // does it unpost and repost. Other codes do nothing.
    void suspensionHoldsTheSection() {
        const auto report = [](int state) { std::thread([state] { __GPIBRunStateCallback(state); }).join(); };
        for (const int standalone : {0, 1}) {
            runtime::SetStandaloneExecutable(standalone);
            QVERIFY(__MakeSureGPIBDLLIsLoaded());
            LogHooks();
            report(kRunStateSuspend);
            QVERIFY(TakenElsewhere(__runStateCriticalSection));
            __GPIBRunStateCallback(kRunStateSuspend);
            report(kRunStateResume);
            QVERIFY(!TakenElsewhere(__runStateCriticalSection));
            __GPIBRunStateCallback(kRunStateResume);
            __GPIBRunStateCallback(3);
            QCOMPARE(g_hooks, (standalone ? Log{} : Log{"unpost", "unpost", "repost", "repost"}));
            report(kRunStateSuspend);
            report(kRunStateStop);
            QVERIFY(!TakenElsewhere(__runStateCriticalSection));
            __GPIBRunStateCallback(kRunStateSuspend);  // nothing loaded: nothing to hold
            QVERIFY(!TakenElsewhere(__runStateCriticalSection));
        }
    }
};

QTEST_APPLESS_MAIN(BindingTest)
#include "test_binding.moc"

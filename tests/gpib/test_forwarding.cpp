// The forwarding functions against the recording fake driver: every entry
// point reaches its driver export with the caller's arguments, the status
// variables follow the driver, and the runtime's hooks surround each call.
#include <QtTest>

#include <barrier>
#include <string>
#include <thread>
#include <type_traits>
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

std::string CallsAndStatus() {
    return "calls=" + std::to_string(g_fake.Calls().size()) + " ibsta=" + std::to_string(ibsta);
}

template <typename R, typename... A>
void CallWithDefaults(R (*function)(A...)) {
    function(A{}...);
}

template <typename Group>
constexpr bool kReachesDriverLog =
    std::is_same_v<Group, groups::StatusWord> || std::is_same_v<Group, groups::Descriptor> ||
    std::is_same_v<Group, groups::Routine> || std::is_same_v<Group, groups::Notify>;

long long Address(const void* pointer) {
    return static_cast<long long>(reinterpret_cast<std::intptr_t>(pointer));
}

}  // namespace

class ForwardingTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(g_fake.Open(), "the fake driver must be on LD_LIBRARY_PATH"); }

    void init() {
        gpib_test::RemoveHooks();
        g_fake.Reset();
    }

    void cleanupTestCase() {
        gpib_test::RemoveHooks();
        __UnloadGPIBDLL();
    }

    void everyForwarderReachesTheExportOfItsDriverName() {
        struct Case {
            const char* name;
            const char* driver;
            void (*call)();
        };
        std::vector<Case> cases;
#define GPIB_FUNCTION(name, driver, group, params, args)                                     \
    if constexpr (kReachesDriverLog<groups::group>) {                                        \
        cases.push_back({#name, #driver, [] { CallWithDefaults(&gpib::name); }});            \
    }
#include "driver_functions.inc"
#undef GPIB_FUNCTION
        QCOMPARE(cases.size(), std::size_t{84});
        for (const Case& each : cases) {
            g_fake.Reset();
            each.call();
            const std::vector<std::string> names = g_fake.CallNames();
            QVERIFY2(names.size() == 1 && names.front() == each.driver,
                     (std::string(each.name) + " did not reach " + each.driver).c_str());
        }
        QCOMPARE(__gpibDLLLoaded.load(), 1);
        QCOMPARE(__isThunkingDLL.load(), 0);
    }

    void argumentsReachTheDriverUnchanged() {
        const char command[] = "*IDN?\n";
        char reply[256] = {};
        Send(3, MakeAddr(6, NO_SAD), command, 6, DABend);
        Receive(1, MakeAddr(7, 0x61), reply, 255, STOPend);
        SendIFC(5);
        ibsre(2, 1);
        ibtmo(2, T10s);
        __ibdev_internal(0, 4095, 0, T10s, 1, 0);
        // Counts beyond 32 bits must survive on a 64-bit long.
        ibwrt(9, command, 3'000'000'000L);

        const auto calls = g_fake.Calls();
        QCOMPARE(calls.size(), std::size_t{7});
        QCOMPARE(calls[0].arguments, (std::vector<long long>{3, 6, Address(command), 6, DABend}));
        QCOMPARE(calls[1].arguments, (std::vector<long long>{1, 0x6107, Address(reply), 255, STOPend}));
        QCOMPARE(calls[2].arguments, (std::vector<long long>{5}));
        QCOMPARE(calls[3].arguments, (std::vector<long long>{2, 1}));
        QCOMPARE(calls[4].arguments, (std::vector<long long>{2, 13}));
        QCOMPARE(calls[5].name, std::string("ibdev"));
        QCOMPARE(calls[5].arguments, (std::vector<long long>{0, 4095, 0, 13, 1, 0}));
        QCOMPARE(calls[6].arguments, (std::vector<long long>{9, Address(command), 3'000'000'000LL}));
    }

    void resultsAndStatusComeFromTheDriver() {
        g_fake.SetOutcome("ibclr", ERR | CMPL, ENOL, 17);
        QCOMPARE(ibclr(4), ERR | CMPL);
        QCOMPARE(ibsta, ERR | CMPL);
        QCOMPARE(iberr, ENOL);
        QCOMPARE(ibcnt, 17);
        QCOMPARE(ibcntl, 17);

        // A routine returns nothing: only the status variables tell.
        g_fake.SetOutcome("Send", ERR | TIMO | CMPL, EABO, 3);
        Send(0, MakeAddr(6, NO_SAD), "x", 1, DABend);
        QCOMPARE(ibsta, ERR | TIMO | CMPL);
        QCOMPARE(iberr, EABO);
        QCOMPARE(ibcntl, 3);

        // The next call replaces everything, ERR included.
        g_fake.SetOutcome("ibfindA", CMPL, 0, 0, 42);
        QCOMPARE(ibfindA("dev6"), 42);
        QCOMPARE(ibsta, CMPL);
        QCOMPARE(iberr, 0);
        QCOMPARE(ibcnt, 0);
    }

    void hooksSurroundEveryForwardedCall() {
        gpib_test::InstallRecordingHooks(&CallsAndStatus);
        g_fake.SetOutcome("SendIFC", ERR | CMPL, ENEB, 0);
        SendIFC(0);
        // Unpost runs before the driver is called; repost after it, with the
        // status already refreshed.
        QCOMPARE(HookLog().size(), std::size_t{2});
        QVERIFY2(HookLog()[0].rfind("unpost calls=0 ", 0) == 0, HookLog()[0].c_str());
        QCOMPARE(HookLog()[1], "repost calls=1 ibsta=" + std::to_string(ERR | CMPL));
    }

    void notificationAndPerThreadStatusCallNoHooks() {
        gpib_test::InstallRecordingHooks();
        int reference = 0;
        g_fake.SetOutcome("ibnotify", CMPL, 0, 5);
        QCOMPARE(__Call_ibnotify(7, TIMO, nullptr, &reference), CMPL);
        QCOMPARE(ibcntl, 5);
        ThreadIbsta();
        SetGpibStatusVariablesForThread(0, 0, 0);
        QVERIFY(HookLog().empty());
        const auto calls = g_fake.Calls();
        QCOMPARE(calls.size(), std::size_t{1});
        QCOMPARE(calls[0].arguments, (std::vector<long long>{7, TIMO, 0, Address(&reference)}));
    }

    void perThreadStatusComesFromTheLibrary() {
        g_fake.SetOutcome("ibclr", ERR | CMPL, ENOL, 1);
        g_fake.SetOutcome("ibloc", CMPL, 0, 2);
        std::barrier bothCalled(2);
        int otherStatus = 0;
        int otherError = 0;
        std::thread other([&] {
            ibclr(5);
            bothCalled.arrive_and_wait();  // main's ibloc has run after this
            bothCalled.arrive_and_wait();
            otherStatus = ThreadIbsta();
            otherError = ThreadIberr();
        });
        bothCalled.arrive_and_wait();
        ibloc(6);
        bothCalled.arrive_and_wait();
        other.join();
        // The process-wide status is the latest call's; each thread keeps its own.
        QCOMPARE(ibsta, CMPL);
        QCOMPARE(otherStatus, ERR | CMPL);
        QCOMPARE(otherError, ENOL);
        QCOMPARE(ThreadIbsta(), CMPL);
        QCOMPARE(ThreadIbcnt(), 2);
        QCOMPARE(ThreadIbcntl(), 2);
    }

    void setGlobalsAlsoSetsTheThreadStatusOfTheLibrary() {
        QVERIFY(__MakeSureGPIBDLLIsLoaded());
        QCOMPARE(__SetGPIBGlobals(ERR, 5, 9), ERR);
        QCOMPARE(ibsta, ERR);
        QCOMPARE(iberr, 5);
        QCOMPARE(ibcnt, 9);
        QCOMPARE(ibcntl, 9);
        QCOMPARE(ThreadIbsta(), ERR);
        QCOMPARE(ThreadIberr(), 5);
        QCOMPARE(ThreadIbcnt(), 9);
    }

    void messageEntryNeedsAThunkingLibrary() {
        QCOMPARE(__ibmessage(1, 2, 3, 4, nullptr, 5) & ERR, ERR);
        QCOMPARE(iberr, ECAP);
        QVERIFY(g_fake.Calls().empty());
    }

    void unloadForgetsEveryResolvedEntryPoint() {
        ibclr(1);
        QVERIFY(detail::Slot(detail::Entry::ibclr).load() != nullptr);
        __UnloadGPIBDLL();
        QCOMPARE(__gpibDLLLoaded.load(), 0);
        QCOMPARE(ibsta, 0);
        QVERIFY(detail::LibraryHandle() == nullptr);
        for (std::size_t i = 0; i < detail::kEntryPointCount; ++i) {
            QVERIFY(detail::Slot(static_cast<detail::Entry>(i)).load() == nullptr);
        }
        // The next call loads and resolves again.
        QCOMPARE(ibclr(1), CMPL);
        QCOMPARE(__gpibDLLLoaded.load(), 1);
    }

    void concurrentFirstCallsLoadOnceAndAllArrive() {
        __UnloadGPIBDLL();
        constexpr int kCallsPerThread = 200;
        std::barrier start(2);
        auto caller = [&](auto call) {
            start.arrive_and_wait();
            for (int i = 0; i < kCallsPerThread; ++i) call();
        };
        std::thread first(caller, [] { ibclr(1); });
        std::thread second(caller, [] { Trigger(0, MakeAddr(6, NO_SAD)); });
        first.join();
        second.join();
        QCOMPARE(g_fake.Calls().size(), std::size_t{2 * kCallsPerThread});
        QCOMPARE(__gpibDLLLoaded.load(), 1);
    }
};

QTEST_APPLESS_MAIN(ForwardingTest)
#include "test_forwarding.moc"

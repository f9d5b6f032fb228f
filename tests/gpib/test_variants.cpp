// The binding against driver libraries that are missing, incomplete or
// foreign, and against libraries with and without per-thread status or a
// message entry. One CTest entry per library variant: GPIB_TEST_VARIANT
// names it and LD_LIBRARY_PATH holds it.
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "binding_state.h"
#include "fake_driver_access.h"
#include "gpib.h"
#include "hook_log.h"
#include "loader_lock.h"

using namespace gpib;
using gpib_test::FakeDriver;
using gpib_test::HookLog;

namespace {

std::string Setting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// What every load failure leaves: ERR alone, the binding's code, and the
// system's error code in both counts.
void VerifyLoadFailure(int code) {
    QCOMPARE(ibsta, ERR);
    QCOMPARE(iberr, code);
    QCOMPARE(ibcnt, ibcntl);
}

}  // namespace

// ---- No library on the path -------------------------------------------------------------
class NoLibraryTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (gpib_test::DriverLibraryIsReachable()) {
            QSKIP("a libgpib.so.0 is reachable on this machine");
        }
    }

    void init() { gpib_test::InstallRecordingHooks(); }
    void cleanup() { gpib_test::RemoveHooks(); }

    void aLoaderLockThatCannotBeCreatedFails207() {
        // Something else holds the lock's name: the lock cannot be made.
        const std::filesystem::path blocker =
            "/dev/shm/sem.GPIB driver binding lock " + std::to_string(getpid());
        std::error_code error;
        if (!std::filesystem::create_directory(blocker, error)) QSKIP("no /dev/shm to block");
        SendIFC(0);
        std::filesystem::remove(blocker, error);
        VerifyLoadFailure(kLoaderLockFailed);
        QVERIFY(ibcnt != 0);
        QVERIFY(!detail::LoaderLockExists());
        QVERIFY(HookLog().empty());
    }

    void everyCallFailsWith201() {
        SendIFC(0);
        VerifyLoadFailure(kLibraryNotLoadable);
        QVERIFY(ibcnt != 0);
        __SetGPIBGlobals(0, 0, 0);
        Send(0, MakeAddr(6, NO_SAD), "*RST\n", 5, DABend);
        VerifyLoadFailure(kLibraryNotLoadable);

        QCOMPARE(ibsre(0, 1), ERR);
        QCOMPARE(ibtmo(0, T10s), ERR);
        QCOMPARE(ibonl(0, 0), ERR);
        QCOMPARE(ibdev(0, 6, 0, T10s, 1, 0), -1);
        QCOMPARE(ibfind("gpib0"), -1);
        QCOMPARE(__Call_ibnotify(0, 0, nullptr, nullptr), ERR);
        QCOMPARE(OpenDev("dev", "psu"), -1);
        QCOMPARE(CloseDev(1), -1);
        QCOMPARE(CloseInstrDevs("psu"), -1);
        QVERIFY(!__MakeSureGPIBDLLIsLoaded());
        VerifyLoadFailure(kLibraryNotLoadable);

        QVERIFY(detail::OpenedDescriptors().empty());
        QVERIFY(HookLog().empty());  // the driver was never called
        QCOMPARE(__gpibDLLLoaded.load(), 0);
        QVERIFY(detail::LoaderLockExists());  // a failed load keeps the lock
    }

    void theNextCallTriesAgain() {
        const std::filesystem::path directory = Setting("GPIB_TEST_LIBRARY_DIR");
        const std::filesystem::path fake = Setting("GPIB_TEST_FAKE_LIBRARY");
        QVERIFY(!directory.empty() && !fake.empty());
        const std::filesystem::path installed = directory / "libgpib.so.0";
        struct Removal {
            std::filesystem::path path;
            ~Removal() {
                std::error_code ignored;
                std::filesystem::remove(path, ignored);
            }
        } removal{installed};

        SendIFC(0);
        VerifyLoadFailure(kLibraryNotLoadable);
        // The driver gets installed while the program runs.
        std::filesystem::copy_file(fake, installed, std::filesystem::copy_options::overwrite_existing);
        SendIFC(0);
        QCOMPARE(ibsta, CMPL);
        QCOMPARE(__gpibDLLLoaded.load(), 1);
        QCOMPARE(HookLog(), (std::vector<std::string>{"unpost", "repost"}));

        __UnloadGPIBDLL();
        QVERIFY(!gpib_test::DriverLibraryIsMapped());
        std::filesystem::remove(installed);
        SendIFC(0);
        VerifyLoadFailure(kLibraryNotLoadable);
    }
};

// ---- A library without one entry point -----------------------------------------------------
class MissingEntryTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(fake_.Open()); }

    void onlyTheMissingFunctionFailsWith203() {
        gpib_test::InstallRecordingHooks();
        QCOMPARE(ibtrg(4) & ERR, ERR);
        VerifyLoadFailure(kEntryPointMissing);
        QCOMPARE(ThreadIbsta(), ERR);  // the thread's status says so too
        QCOMPARE(__gpibDLLLoaded.load(), 1);  // the library stays loaded
        QVERIFY(fake_.Calls().empty());
        QVERIFY(HookLog().empty());

        QCOMPARE(ibclr(4), CMPL);
        Trigger(0, MakeAddr(4, NO_SAD));
        QCOMPARE(ibsta, CMPL);
        QCOMPARE(fake_.CallNames(), (std::vector<std::string>{"ibclr", "Trigger"}));

        // A missing entry is looked up again at each call.
        QCOMPARE(ibtrg(4) & ERR, ERR);
        VerifyLoadFailure(kEntryPointMissing);
        QVERIFY(detail::Slot(detail::Entry::ibtrg).load() == nullptr);
        gpib_test::RemoveHooks();
        __UnloadGPIBDLL();
    }

private:
    FakeDriver fake_;
};

// ---- Libraries that fail the load tests (205, 206) -------------------------------------------
class RejectedLibraryTest : public QObject {
    Q_OBJECT

public:
    explicit RejectedLibraryTest(int code) : code_(code) {}

private slots:
    void theLibraryIsRejectedAndFreed() {
        QVERIFY(!gpib_test::DriverLibraryIsMapped());
        for (int attempt = 0; attempt < 2; ++attempt) {
            SendIFC(0);
            VerifyLoadFailure(code_);
            QCOMPARE(ibdev(0, 6, 0, T10s, 1, 0), -1);
            QCOMPARE(__gpibDLLLoaded.load(), 0);
            QVERIFY(!gpib_test::DriverLibraryIsMapped());
        }
    }

private:
    int code_;
};

// ---- A library without per-thread status -------------------------------------------------------
class NoThreadStatusTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(fake_.Open()); }

    void beforeLoadingTheProcessWideStatusAnswers() {
        __SetGPIBGlobals(ERR, 7, 8);
        QCOMPARE(ThreadIbsta(), ERR);
        QCOMPARE(ThreadIberr(), 7);
        QCOMPARE(__gpibDLLLoaded.load(), 0);  // asking did not load the library
    }

    void theProcessWideStatusStandsInForTheThreads() {
        fake_.SetOutcome("ibclr", ERR | CMPL, ENOL, 5);
        ibclr(1);
        QCOMPARE(ThreadIbsta(), ERR | CMPL);
        QCOMPARE(ThreadIberr(), ENOL);
        QCOMPARE(ThreadIbcnt(), 5);
        QCOMPARE(ThreadIbcntl(), 5);
        SetGpibStatusVariablesForThread(CMPL, 2, 3);
        QCOMPARE(ibsta, CMPL);
        QCOMPARE(iberr, 2);
        QCOMPARE(ibcnt, 3);
        QCOMPARE(ibcntl, 3);
        QVERIFY(detail::LookedUp(detail::Entry::ThreadIbsta).load());
        QVERIFY(detail::Slot(detail::Entry::ThreadIbsta).load() == nullptr);
        __UnloadGPIBDLL();
        QVERIFY(!detail::LookedUp(detail::Entry::ThreadIbsta).load());
    }

private:
    FakeDriver fake_;
};

// ---- A thunking library (one that exports ibmessage) ----------------------------------------------
class ThunkingTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(fake_.Open()); }

    void notificationIsRefusedWithoutCallingTheDriver() {
        fake_.SetOutcome("ibclr", CMPL, 0, 4);
        ibclr(1);
        QCOMPARE(__isThunkingDLL.load(), 1);
        fake_.Reset();
        QCOMPARE(__Call_ibnotify(1, TIMO, nullptr, nullptr), ERR | CMPL);
        QCOMPARE(iberr, ECAP);
        QCOMPARE(ibcnt, 0);
        QVERIFY(fake_.Calls().empty());
    }

    void theMessageEntryIsCalledWithItsArguments() {
        fake_.Reset();
        int data = 0;
        fake_.SetOutcome("ibmessage", CMPL | END, 0, 12);
        QCOMPARE(__ibmessage(3, 4, 5, 6, &data, 7), CMPL | END);
        QCOMPARE(ibcntl, 12);
        const auto calls = fake_.Calls();
        QCOMPARE(calls.size(), std::size_t{1});
        QCOMPARE(calls[0].name, std::string("ibmessage"));
        QCOMPARE(calls[0].arguments,
                 (std::vector<long long>{3, 4, 5, 6, static_cast<long long>(reinterpret_cast<std::intptr_t>(&data)), 7}));
    }

    void theThreadStatusIsLeftToTheLibrary() {
        fake_.SetOutcome("ibloc", CMPL, 0, 1);
        ibloc(1);
        __SetGPIBGlobals(ERR, 3, 4);
        QCOMPARE(ibsta, ERR);
        QCOMPARE(ThreadIbsta(), CMPL);  // the library's own, untouched
        __UnloadGPIBDLL();
        QCOMPARE(__isThunkingDLL.load(), 0);
    }

private:
    FakeDriver fake_;
};

int main(int argc, char** argv) {
    const std::string variant = Setting("GPIB_TEST_VARIANT");
    std::unique_ptr<QObject> test;
    if (variant == "none") test = std::make_unique<NoLibraryTest>();
    else if (variant == "missing_entry") test = std::make_unique<MissingEntryTest>();
    else if (variant == "no_user_ibsta") test = std::make_unique<RejectedLibraryTest>(kStatusExportsMissing);
    else if (variant == "no_notice") test = std::make_unique<RejectedLibraryTest>(kStatusExportsMissing);
    else if (variant == "foreign_notice") test = std::make_unique<RejectedLibraryTest>(kIdentityMismatch);
    else if (variant == "no_thread_status") test = std::make_unique<NoThreadStatusTest>();
    else if (variant == "thunking") test = std::make_unique<ThunkingTest>();
    if (!test) {
        std::fprintf(stderr, "GPIB_TEST_VARIANT names no library variant: '%s'\n", variant.c_str());
        return 2;
    }
    return QTest::qExec(test.get(), argc, argv);
}

#include "test_variants.moc"

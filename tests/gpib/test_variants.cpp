// The binding against driver libraries that are missing or incomplete, that
// lack per-thread status, or that have a message entry. One
// CTest entry per variant: GPIB_TEST_VARIANT names it, LD_LIBRARY_PATH holds it.
#include <QtTest>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "binding_state.h"
#include "gpib_test.h"

using namespace gpib;
using namespace gpib_test;
namespace fs = std::filesystem;

namespace {

std::string Setting(const char* name) { return std::getenv(name) != nullptr ? std::getenv(name) : ""; }

// Whether the dynamic loader finds a driver library (RTLD_LOCAL) or has one
// mapped (RTLD_NOLOAD).
bool Found(int mode) {
    void* handle = dlopen("libgpib.so.0", RTLD_NOW | mode);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
}

// A load failure leaves ERR alone, the binding's code, and the system's
// error code in both counts.
QList<int> LoadFailure(int code) { return {ERR, code, ibcntl, ibcntl}; }

QString Problem() {
    char text[512];
    LoaderProblem(text);
    return QString::fromLocal8Bit(text);
}

}  // namespace

class NoLibraryTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (Found(RTLD_LOCAL)) QSKIP("a libgpib.so.0 is reachable on this machine");
    }

    // A missing library fails with 201 at every call, without calling a
    // hook, and says where it was looked for; the next call tries again: a
    // driver installed meanwhile is loaded. A lock name left in /dev/shm by an
    // earlier process with this ID is no obstacle.
    void everyCallFailsUntilADriverIsThere() {
        const std::string fake = Setting("GPIB_TEST_FAKE_LIBRARY");
        const fs::path installed = fs::path(Setting("GPIB_TEST_LIBRARY_DIR")) / "libgpib.so.0";
        QVERIFY(!fake.empty() && installed.has_parent_path());
        LogHooks();
        QCOMPARE(Problem(), QString());  // not yet tried
        const fs::path blocker = "/dev/shm/sem.GPIB driver binding lock " + std::to_string(getpid());
        std::error_code error;
        fs::create_directory(blocker, error);
        SendIFC(0);
        fs::remove(blocker, error);
        QCOMPARE(Status(), LoadFailure(kLibraryNotLoadable));
        QVERIFY(ibcnt != 0);
        QCOMPARE(Problem(), QString("no GPIB driver library libgpib.so.0 found (searched LD_LIBRARY_PATH=%1 "
                                    "and the system library path)")
                                .arg(QString::fromStdString(Setting("LD_LIBRARY_PATH"))));
        __SetGPIBGlobals(0, 0, 0);
        Send(0, MakeAddr(6, NO_SAD), "*RST\n", 5, DABend);
        QCOMPARE(Status(), LoadFailure(kLibraryNotLoadable));
        QCOMPARE(ibonl(0, 0), ERR);
        QCOMPARE(ibdev(0, 6, 0, T10s, 1, 0), -1);
        QCOMPARE(ibfind("gpib0"), -1);
        QCOMPARE(__Call_ibnotify(0, 0, nullptr, nullptr), ERR);
        QCOMPARE(OpenDev("dev", "psu"), -1);
        QCOMPARE(CloseDev(1), -1);
        QCOMPARE(CloseInstrDevs("psu"), -1);
        QCOMPARE(Status(), LoadFailure(kLibraryNotLoadable));
        QVERIFY(detail::OpenedDescriptors().empty());
        QVERIFY(g_hooks.isEmpty());

        fs::copy_file(fake, installed, fs::copy_options::overwrite_existing);
        SendIFC(0);
        const QList<int> loaded = {ibsta, __gpibDLLLoaded.load()};
        __UnloadGPIBDLL();
        fs::remove(installed);
        QCOMPARE(loaded, (QList<int>{CMPL, 1}));
        QCOMPARE(g_hooks, (QStringList{"unpost", "repost"}));
        QCOMPARE(Problem(), QString());
        QVERIFY(!Found(RTLD_NOLOAD));
        SendIFC(0);
        QCOMPARE(Status(), LoadFailure(kLibraryNotLoadable));
        RemoveHooks();
    }
};

class MissingEntryTest : public QObject {
    Q_OBJECT

private slots:
    // Only the missing function fails, with 203, at each call; the library stays loaded.
    void onlyTheMissingFunctionFailsWith203() {
        QVERIFY(OpenFake());
        LogHooks();
        for (int attempt = 0; attempt < 2; ++attempt) {
            QCOMPARE(ibtrg(4), ERR);
            QCOMPARE(Status(), LoadFailure(kEntryPointMissing));
            QCOMPARE(ThreadIbsta(), ERR);
            QCOMPARE(ibclr(4), CMPL);
        }
        QCOMPARE(__gpibDLLLoaded.load(), 1);
        QCOMPARE(Calls(), (QStringList{"ibclr 4", "ibclr 4"}));
        QCOMPARE(g_hooks, (QStringList{"unpost", "repost", "unpost", "repost"}));
        RemoveHooks();
        __UnloadGPIBDLL();
    }
};

// A library without the status variables (205) or without a call of the
// upload sequence (206) is refused and freed at every call, and the refusal
// names what is missing. The identification text is not needed.
class IdentityTest : public QObject {
    Q_OBJECT

private slots:
    void theLibraryIsJudgedByItsExports() {
        const std::string variant = Setting("GPIB_TEST_VARIANT");
        if (variant == "no_notice") {
            SendIFC(0);
            QCOMPARE(ibsta, CMPL);
            QCOMPARE(Problem(), QString());
            __UnloadGPIBDLL();
            return;
        }
        const bool noSend = variant == "no_send";
        const QString problem = noSend
                                    ? "libgpib.so.0 refused: it lacks the export Send"
                                    : "libgpib.so.0 refused: it lacks the status variables (ibsta, iberr and "
                                      "ibcntl or ibcnt; or user_ibsta, user_iberr and user_ibcntl)";
        for (int attempt = 0; attempt < 2; ++attempt) {
            SendIFC(0);
            QCOMPARE(Status(), LoadFailure(noSend ? kIdentityMismatch : kStatusExportsMissing));
            QCOMPARE(Problem(), problem);
            QCOMPARE(ibdev(0, 6, 0, T10s, 1, 0), -1);
            QCOMPARE(__gpibDLLLoaded.load(), 0);
            QVERIFY(!Found(RTLD_NOLOAD));
        }
    }
};

class NoThreadStatusTest : public QObject {
    Q_OBJECT

private slots:
    // The process-wide status stands in for the thread's, before and after
    // loading; after an unload the library is asked again.
    void theProcessWideStatusStandsIn() {
        QVERIFY(OpenFake());
        __SetGPIBGlobals(ERR, 7, 8);
        QCOMPARE(ThreadStatus(), (QList<int>{ERR, 7, 8, 8}));
        QCOMPARE(__gpibDLLLoaded.load(), 0);  // asking did not load the library
        Script("ibclr", ERR | CMPL, ENOL, 5);
        ibclr(1);
        QCOMPARE(ThreadStatus(), (QList<int>{ERR | CMPL, ENOL, 5, 5}));
        SetGpibStatusVariablesForThread(CMPL, 2, 3);
        QCOMPARE(Status(), (QList<int>{CMPL, 2, 3, 3}));
        __UnloadGPIBDLL();
        QVERIFY(!detail::LookedUp(detail::Entry::ThreadIbsta).load());
    }
};

class ThunkingTest : public QObject {
    Q_OBJECT

private slots:
    // ibnotify is refused without calling the driver, the message entry gets
    // its arguments, and the thread's status is left to the library.
    void aThunkingLibraryDoesItsOwnNotification() {
        QVERIFY(OpenFake());
        Script("ibclr", CMPL, 0, 4);
        ibclr(1);
        QCOMPARE(__isThunkingDLL.load(), 1);
        QCOMPARE(__Call_ibnotify(1, TIMO, nullptr, nullptr), ERR | CMPL);
        QCOMPARE(Status(), (QList<int>{ERR | CMPL, ECAP, 0, 0}));
        int data = 0;
        Script("ibmessage", CMPL | END, 0, 12);
        QCOMPARE(__ibmessage(3, 4, 5, 6, &data, 7), CMPL | END);
        QCOMPARE(ibcntl, 12);
        __SetGPIBGlobals(ERR, 3, 4);
        QCOMPARE(ThreadIbsta(), CMPL | END);
        QCOMPARE(Calls(), (QStringList{"ibclr 1", Call("ibmessage", {3, 4, 5, 6, Address(&data), 7})}));
        __UnloadGPIBDLL();
        QCOMPARE(__isThunkingDLL.load(), 0);
    }
};

int main(int argc, char** argv) {
    const std::string variant = Setting("GPIB_TEST_VARIANT");
    std::unique_ptr<QObject> test;
    if (variant == "none") test = std::make_unique<NoLibraryTest>();
    if (variant == "missing_entry") test = std::make_unique<MissingEntryTest>();
    if (variant == "no_user_ibsta" || variant == "no_send" || variant == "no_notice") {
        test = std::make_unique<IdentityTest>();
    }
    if (variant == "no_thread_status") test = std::make_unique<NoThreadStatusTest>();
    if (variant == "thunking") test = std::make_unique<ThunkingTest>();
    if (!test) {
        std::fprintf(stderr, "GPIB_TEST_VARIANT names no library variant: '%s'\n", variant.c_str());
        return 2;
    }
    return QTest::qExec(test.get(), argc, argv);
}

#include "test_variants.moc"

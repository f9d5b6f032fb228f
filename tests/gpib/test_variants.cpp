// The binding against driver libraries that are missing or incomplete, lack
// per-thread status, or have a message entry: one CTest entry per variant
// (GPIB_TEST_VARIANT, found through LD_LIBRARY_PATH) runs the function for it.
#include <QtTest>

#include <unistd.h>

#include <filesystem>

#include "binding_state.h"
#include "gpib_test.h"

using namespace gpib;
using namespace gpib_test;
namespace fs = std::filesystem;

namespace {

// Whether the dynamic loader finds a driver library (RTLD_LOCAL) or has one mapped (RTLD_NOLOAD).
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

class VariantsTest : public QObject {
    Q_OBJECT

private slots:
    // A missing library fails with 201 at every call, without calling a
    // hook, and says where it was looked for; the next call tries again: a
    // driver installed meanwhile is loaded. A lock name left in /dev/shm by an
    // earlier process with this ID is no obstacle.
    void everyCallFailsUntilADriverIsThere() {
        if (Found(RTLD_LOCAL)) QSKIP("a libgpib.so.0 is reachable on this machine");
        const std::string fake = qgetenv("GPIB_TEST_FAKE_LIBRARY").toStdString();
        const fs::path installed = fs::path(qgetenv("GPIB_TEST_LIBRARY_DIR").toStdString()) / "libgpib.so.0";
        QVERIFY(!fake.empty() && installed.has_parent_path());
        LogHooks();
        QCOMPARE(Problem(), QString());  // not yet tried
        const fs::path blocker = "/dev/shm/sem.GPIB driver binding lock " + std::to_string(getpid());
        std::error_code error;
        fs::create_directory(blocker, error);
        SendIFC(0);
        fs::remove(blocker, error);
        QCOMPARE(Status(), LoadFailure(201));
        QVERIFY(ibcnt != 0);
        QCOMPARE(Problem(), QString("no GPIB driver library libgpib.so.0 found (searched LD_LIBRARY_PATH=%1 "
                                    "and the system library path)")
                                .arg(qEnvironmentVariable("LD_LIBRARY_PATH")));
        __SetGPIBGlobals(0, 0, 0);
        Send(0, MakeAddr(6, NO_SAD), "*RST\n", 5, DABend);
        QCOMPARE(Status(), LoadFailure(201));
        QCOMPARE((QList<int>{ibonl(0, 0), ibdev(0, 6, 0, T10s, 1, 0), ibfind("gpib0"),
                             __Call_ibnotify(0, 0, nullptr, nullptr), OpenDev("dev", "psu"), CloseDev(1),
                             CloseInstrDevs("psu")}),
                 (QList<int>{ERR, -1, -1, ERR, -1, -1, -1}));
        QCOMPARE(Status(), LoadFailure(201));
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
        QCOMPARE(Status(), LoadFailure(201));
        RemoveHooks();
    }

    // Only the missing function fails, with 203, at each call; the library stays loaded.
    void onlyTheMissingFunctionFailsWith203() {
        QVERIFY(OpenFake());
        LogHooks();
        for (int attempt = 0; attempt < 2; ++attempt) {
            QCOMPARE(ibtrg(4), ERR);
            QCOMPARE(Status(), LoadFailure(203));
            QCOMPARE(ThreadIbsta(), ERR);
            QCOMPARE(ibclr(4), CMPL);
        }
        QCOMPARE(__gpibDLLLoaded.load(), 1);
        QCOMPARE(Calls(), (QStringList{"ibclr 4", "ibclr 4"}));
        QCOMPARE(g_hooks, (QStringList{"unpost", "repost", "unpost", "repost"}));
        RemoveHooks();
        __UnloadGPIBDLL();
    }

    // A library without the status variables (205) or without a call of the
    // upload sequence (206) is refused and freed at every call, and the
    // refusal names what is missing.
    void theLibraryIsJudgedByItsExports() {
        const bool noSend = qEnvironmentVariable("GPIB_TEST_VARIANT") == "no_send";
        const QString problem = noSend
                                    ? "libgpib.so.0 refused: it lacks the export Send"
                                    : "libgpib.so.0 refused: it lacks the status variables (ibsta, iberr and "
                                      "ibcntl or ibcnt; or user_ibsta, user_iberr and user_ibcntl)";
        for (int attempt = 0; attempt < 2; ++attempt) {
            SendIFC(0);
            QCOMPARE(Status(), LoadFailure(noSend ? 206 : 205));
            QCOMPARE(Problem(), problem);
            QCOMPARE(ibdev(0, 6, 0, T10s, 1, 0), -1);
            QCOMPARE(__gpibDLLLoaded.load(), 0);
            QVERIFY(!Found(RTLD_NOLOAD));
        }
    }

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

QTEST_APPLESS_MAIN(VariantsTest)
#include "test_variants.moc"

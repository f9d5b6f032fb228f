// One whole RS-232 upload of a 2,000-record HEX file at time scale 1, against
// the simulator answering at once. Prints the wall time, the floor that the
// sequence's own pauses set, their ratio (goal <= 1.03) and the program's CPU
// time as a share of the wall time (goal < 5 %).
//   bench_rs232 [records]
#include <QTemporaryDir>
#include <QtGlobal>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "../bench_support.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "fixture.h"
#include "panel_handles.h"
#include "run_state.h"
#include "commands.h"
#include "rs232_bus.h"
#include "waits.h"
#include "ui.h"
#include "upload.h"
#include "upload_ids.h"

using Clock = std::chrono::steady_clock;
using orvex::test::Unit;

namespace rs232 = orvex::rs232;

namespace {

constexpr int kDefaultRecords = 2000;
constexpr double kRatioGoal = 1.03;
constexpr double kCpuShareGoal = 0.05;

// The sequence's pauses: after "*RST", around the two re-openings, with the
// port closed after "EXIT", after opening it again and after the release.
constexpr double kFixedPauses_s = rs232::kResetPause_s + 4 * rs232::kReopenPause_s +
                                  rs232::kExitPortClosed_s + rs232::kAfterExitReopen_s +
                                  rs232::kReleasePause_s;
constexpr double kPiecePause_s = rs232::kPiecePause_s;
// Transmit-LED waits that last a whole LED interval: the reset, the
// identifications, unlock, password query, programming mode, erase and EXIT.
constexpr double kLedInterval_s = orvex::kTransmitLed_s;
constexpr int kFullLedWaits = 8;
// The wait after the loop ends one interval after the last piece was lit,
// of which the piece pause has already passed.
constexpr double kLastLedWait_s = kLedInterval_s - kPiecePause_s;

QtMessageHandler g_default_handler = nullptr;

// The offscreen platform reports every window operation it cannot carry out;
// that is not what this program measures.
void drop_platform_notes(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message.startsWith(QLatin1String("This plugin does not support"))) return;
    g_default_handler(type, context, message);
}

QString text_of(int control) {
    char text[256] = {};
    runtime::GetCtrlVal(orvex::update_handle, control, text);
    return QString::fromLatin1(text);
}

}  // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : kDefaultRecords;
    bench::prefer_offscreen();
    g_default_handler = qInstallMessageHandler(drop_platform_notes);
    runtime::Startup startup(argc, argv);
    if (!bench::show_program_panel("bench_rs232")) return 1;

    QTemporaryDir dir;
    const QString hex = Unit::make_hex(dir.filePath("bench.hex"), records);
    Unit sim(1.0);
    if (hex.isEmpty() || !sim.start({"--erase-ms", "0"})) {
        std::fprintf(stderr, "bench_rs232: no simulator: %s\n", qPrintable(sim.error()));
        return 1;
    }

    runtime::TriggerMenu(orvex::update_handle, ids::MENUBAR_BUSSELEC_SERIAL);
    runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_FILE_NAME, hex.toLocal8Bit().constData());
    runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_PASSWORD, orvex::kDefaultPassword);

    const double cpu_before = bench::cpu_seconds();
    const auto start = Clock::now();
    orvex::start_update(orvex::update_handle, ids::UPDATE_START, runtime::EVENT_COMMIT, nullptr, 0, 0);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = bench::cpu_seconds() - cpu_before;

    const QString messages = text_of(ids::UPDATE_ERR);
    const bool stopped = sim.stop();
    QString verdict;
    const bool flashed = stopped && sim.expect_flash(hex, &verdict);
    if (orvex::run.failure != 0 || messages != orvex::kOkTest || !flashed) {
        std::fprintf(stderr, "bench_rs232: the upload failed: messages \"%s\", flash: %s\n",
                     qPrintable(messages), qPrintable(verdict));
        return 1;
    }

    const int pieces = records + 1;  // every record is one piece, with the end-of-file record
    const double floor =
        kFixedPauses_s + pieces * kPiecePause_s + kFullLedWaits * kLedInterval_s + kLastLedWait_s;
    const double ratio = wall / floor;
    const double share = cpu / wall;
    std::printf("RS-232 upload of %d records (%d pieces)\n", records, pieces);
    std::printf("  wall      %8.3f s\n", wall);
    std::printf("  floor     %8.3f s  (pauses %.1f s, pieces %d x %.3f s, LED waits %.3f s)\n", floor,
                kFixedPauses_s, pieces, kPiecePause_s, kFullLedWaits * kLedInterval_s + kLastLedWait_s);
    std::printf("  overhead  %8.3f s  = %.3f ms per piece\n", wall - floor, 1000.0 * (wall - floor) / pieces);
    std::printf("  ratio     %8.4f    (goal <= %.2f: %s)\n", ratio, kRatioGoal,
                ratio <= kRatioGoal ? "met" : "MISSED");
    std::printf("  CPU       %8.3f s  = %.2f %% of wall (goal < %.0f %%: %s)\n", cpu, 100.0 * share,
                100.0 * kCpuShareGoal, share < kCpuShareGoal ? "met" : "MISSED");
    return 0;
}

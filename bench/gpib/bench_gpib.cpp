// One whole GPIB upload of a 2,000-record HEX file at time scale 1 against the
// simulator, through the stand-in driver found on the library path. The floor
// is what the run cannot do without: the 10 s the unit is given after EXIT,
// one Transmit-LED interval for each LED wait of the sequence, and the time a
// plain client needs to send the same pieces through the same driver to the
// same kind of unit. Prints wall, floor and their ratio (goal <= 1.05); the
// median of several runs counts.
//   bench_gpib [records] [runs]
#include <QTemporaryDir>
#include <QtGlobal>

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../bench_support.h"
#include "runtime.h"
#include "fixture.h"
#include "panel_handles.h"
#include "run_state.h"
#include "commands.h"
#include "gpib_bus.h"
#include "hex_stream.h"
#include "waits.h"
#include "ui.h"
#include "upload.h"
#include "upload_ids.h"

using Clock = std::chrono::steady_clock;
using orvex::test::Unit;

namespace {

constexpr int kDefaultRecords = 2000;
constexpr int kDefaultRuns = 3;
constexpr double kRatioGoal = 1.05;

constexpr double kExitPause_s = orvex::gpib_bus::kExitPause_s;
constexpr double kLedInterval_s = orvex::kTransmitLed_s;
// LED waits of a run besides those after code-test pieces: after the reset,
// the first identification, the unlock, programming mode, the erase, the
// loop, EXIT and the second identification.
constexpr int kCommandLedWaits = 8;

// The unit's erase takes no time here: it is the unit's, not the program's.
const QStringList kUnitArgs = {"--erase-ms", "0"};

constexpr int kBoard = 0;
constexpr std::uint16_t kUnitAddress = 6;
constexpr int kPieceReadSize = orvex::kPieceReadSize;  // as the program reads the file
constexpr long kAnswerBytes = orvex::gpib_bus::kMaxAnswer;
constexpr int kDabEnd = 0x02;
constexpr int kStopEnd = 0x0100;
constexpr int kErr = 0x8000;
constexpr int kT10s = 13;

// The driver's own entry points, for the plain client: no binding, no panel.
struct Driver {
    void (*SendIFC)(int) = nullptr;
    void (*Send)(int, std::uint16_t, const void*, long, int) = nullptr;
    void (*Receive)(int, std::uint16_t, void*, long, int) = nullptr;
    int (*ibtmo)(int, int) = nullptr;
    int (*ibonl)(int, int) = nullptr;
    int* ibsta = nullptr;

    bool load() {
        void* library = dlopen("libgpib.so.0", RTLD_NOW);
        if (library == nullptr) return false;
        SendIFC = reinterpret_cast<decltype(SendIFC)>(dlsym(library, "SendIFC"));
        Send = reinterpret_cast<decltype(Send)>(dlsym(library, "Send"));
        Receive = reinterpret_cast<decltype(Receive)>(dlsym(library, "Receive"));
        ibtmo = reinterpret_cast<decltype(ibtmo)>(dlsym(library, "ibtmo"));
        ibonl = reinterpret_cast<decltype(ibonl)>(dlsym(library, "ibonl"));
        ibsta = static_cast<int*>(dlsym(library, "user_ibsta"));
        return SendIFC && Send && Receive && ibtmo && ibonl && ibsta;
    }
    bool send(const std::string& text) const {
        Send(kBoard, kUnitAddress, text.data(), static_cast<long>(text.size()), kDabEnd);
        return (*ibsta & kErr) == 0;
    }
    std::string receive() const {
        char answer[kAnswerBytes + 1] = {};
        Receive(kBoard, kUnitAddress, answer, kAnswerBytes, kStopEnd);
        return (*ibsta & kErr) == 0 ? std::string(answer) : std::string();
    }
};

bool is_code_test(const std::string& piece) { return !piece.empty() && (piece[0] == 'T' || piece[0] == 't'); }

std::vector<std::string> pieces_of(const QString& path) {
    std::vector<std::string> pieces;
    std::FILE* file = std::fopen(path.toLocal8Bit().constData(), "rb");
    if (file == nullptr) return pieces;
    char piece[kPieceReadSize];
    while (std::fgets(piece, kPieceReadSize, file) != nullptr) pieces.emplace_back(piece);
    std::fclose(file);
    return pieces;
}

QString text_of(int control) {
    char text[256] = {};
    runtime::GetCtrlVal(orvex::update_handle, control, text);
    return QString::fromLatin1(text);
}

// The program's whole run, START to the panel given back; negative on failure.
double program_run(const QString& hex) {
    Unit sim(1.0);
    if (!sim.start(kUnitArgs)) {
        std::fprintf(stderr, "bench_gpib: no simulator: %s\n", qPrintable(sim.error()));
        return -1;
    }
    runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_FILE_NAME, hex.toLocal8Bit().constData());
    const auto start = Clock::now();
    orvex::start_update(orvex::update_handle, ids::UPDATE_START, runtime::EVENT_COMMIT, nullptr, 0, 0);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();

    const QString messages = text_of(ids::UPDATE_ERR);
    QString verdict;
    const bool flashed = sim.stop() && sim.expect_flash(hex, &verdict);
    if (orvex::run.failure != 0 || messages != orvex::kOkTest || !flashed) {
        std::fprintf(stderr, "bench_gpib: the upload failed: messages \"%s\", flash: %s\n",
                     qPrintable(messages), qPrintable(verdict));
        return -1;
    }
    return wall;
}

// A plain client puts a fresh unit into programming mode and sends the same
// pieces, reading after code-test pieces as the program does; the time of
// the pieces alone, negative on failure.
double plain_client_pieces(const Driver& driver, const std::vector<std::string>& pieces) {
    Unit sim(1.0);
    if (!sim.start(kUnitArgs)) {
        std::fprintf(stderr, "bench_gpib: no simulator: %s\n", qPrintable(sim.error()));
        return -1;
    }
    driver.SendIFC(kBoard);
    driver.ibtmo(kBoard, kT10s);
    const bool ready = driver.send("*RST\n") && driver.send(":SYST:PASS:CEN MORVANTE\n") &&
                       driver.send("DIAG:PRG\n") && !driver.receive().empty() && driver.send("ERASE\n") &&
                       driver.receive().starts_with('0');
    if (!ready) {
        std::fprintf(stderr, "bench_gpib: the plain client could not erase the unit\n");
        return -1;
    }
    const auto start = Clock::now();
    for (const std::string& piece : pieces) {
        if (!driver.send(piece) || (is_code_test(piece) && driver.receive().empty())) {
            std::fprintf(stderr, "bench_gpib: the plain client could not send a piece\n");
            return -1;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    driver.send("EXIT\n");
    driver.SendIFC(kBoard);
    driver.ibonl(kBoard, 0);
    sim.stop();
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : kDefaultRecords;
    const int runs = std::max(1, argc > 2 ? std::atoi(argv[2]) : kDefaultRuns);
    bench::prefer_offscreen();
    runtime::Startup startup(argc, argv);

    Driver driver;
    if (!driver.load()) {
        std::fprintf(stderr, "bench_gpib: the GPIB driver library is not on the library path (%s)\n",
                     dlerror());
        return 1;
    }
    if (!bench::show_program_panel("bench_gpib")) return 1;

    QTemporaryDir dir;
    const QString hex = Unit::make_hex(dir.filePath("bench.hex"), records);
    const std::vector<std::string> pieces = pieces_of(hex);
    if (hex.isEmpty() || pieces.empty()) {
        std::fprintf(stderr, "bench_gpib: no HEX file\n");
        return 1;
    }
    const int code_tests = static_cast<int>(std::count_if(pieces.begin(), pieces.end(), is_code_test));
    const double pauses = kExitPause_s + (kCommandLedWaits + code_tests) * kLedInterval_s;

    std::printf("GPIB upload of %d records (%zu pieces), %d runs\n", records, pieces.size(), runs);
    std::vector<double> ratios;
    for (int run = 1; run <= runs; ++run) {
        const double wall = program_run(hex);
        const double sending = plain_client_pieces(driver, pieces);
        if (wall < 0 || sending < 0) return 1;
        const double floor = pauses + sending;
        ratios.push_back(wall / floor);
        std::printf(
            "  run %d: wall %7.3f s, floor %7.3f s (pauses %.3f s + plain client %.3f s), "
            "overhead %.3f s = %.3f ms per piece, ratio %.4f\n",
            run, wall, floor, pauses, sending, wall - floor, 1000.0 * (wall - floor) / pieces.size(),
            wall / floor);
    }
    std::sort(ratios.begin(), ratios.end());
    const double median = ratios[ratios.size() / 2];
    std::printf("  ratio (median) %.4f  (goal <= %.2f: %s)\n", median, kRatioGoal,
                median <= kRatioGoal ? "met" : "MISSED");
    return 0;
}

// Records per second of the LAN programming loop, against the unit simulator
// on loopback with instant acknowledgments, and the CPU the program spends on
// it. The floor is a plain blocking client that sends a record and waits for
// its acknowledgment, in a tight loop against the same simulator. Both forms
// of acknowledgment are measured: a line ("OK\r\n") and bare text ("OK"),
// which a unit may send and which must cost no more. Goal: the program reaches
// at least 90 % of the floor's rate with either form.
//
// Only the loop is timed: from "Programming" to "..." in the Messages field,
// as the program shows them. The fixed pauses run shrunk by the time scale;
// the loop itself runs in real time, so that its timers (the Transmit LED,
// the reply time-out) behave as they do for the technician.
#include <QAbstractButton>
#include <QFile>
#include <QJsonObject>
#include <QLineEdit>
#include <QTemporaryDir>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "../bench_support.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "fixture.h"
#include "panel_handles.h"
#include "run_state.h"
#include "ui.h"
#include "upload_ids.h"

using Clock = std::chrono::steady_clock;
using orvex::test::Unit;

namespace {

constexpr int kRecords = 20000;
// Rounds alternate between the program and the floor. On a shared machine the
// load changes from one second to the next: each program round is compared
// with the floor round right after it, and the verdict is the median of these
// ratios.
constexpr int kRounds = 5;
constexpr double kGoal = 0.90;
// Shrinks the program's fixed pauses (18 s) to about 0.36 s; the reply
// time-out stays 80 ms, far above a loopback acknowledgment.
constexpr double kProgramTimeScale = 0.02;
constexpr double kSimTimeScale = 0.01;
constexpr int kReplyLimit_ms = 5000;

// One way the unit acknowledges a record.
struct AckForm {
    const char* name;
    QStringList sim_args;
    bool line_end;  // the plain client reads the acknowledgment to its line end
};
const AckForm kForms[] = {{"line", {}, true}, {"bare", {"--ack-without-line-end"}, false}};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct LoopFigures {
    bool ok = false;
    int records = 0;
    double wall_s = 0;
    double cpu_s = 0;
    double rate() const { return wall_s > 0 ? records / wall_s : 0; }
};

std::vector<std::string> record_lines(const QString& hex) {
    std::vector<std::string> lines;
    QFile file(hex);
    if (!file.open(QIODevice::ReadOnly)) return lines;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (line.startsWith(':')) lines.emplace_back(line.constData(), std::size_t(line.size()));
    }
    return lines;
}

// ---- The program ------------------------------------------------------------

LoopFigures program_round(const Unit& sim, const QString& hex, int records) {
    runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_IPADDR, sim.lan_address().toLatin1().constData());
    runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_FILE_NAME, hex.toLocal8Bit().constData());

    LoopFigures figures;
    Clock::time_point start{};
    double cpu_start = 0;
    auto* messages = qobject_cast<QLineEdit*>(runtime::ControlWidget(orvex::update_handle, ids::UPDATE_ERR));
    const auto watch = QObject::connect(messages, &QLineEdit::textChanged, [&](const QString& text) {
        if (text == QStringLiteral("Programming")) {
            runtime::SetTimeScale(1.0);
            start = Clock::now();
            cpu_start = bench::cpu_seconds();
        } else if (text == QStringLiteral("...") && start != Clock::time_point{}) {
            figures.wall_s = seconds_since(start);
            figures.cpu_s = bench::cpu_seconds() - cpu_start;
            figures.ok = true;
            runtime::SetTimeScale(kProgramTimeScale);
        }
    });
    const int before = sim.record()["transports"].toObject()["lan"].toObject()["records"].toInt();
    qobject_cast<QAbstractButton*>(runtime::ControlWidget(orvex::update_handle, ids::UPDATE_START))->click();
    QObject::disconnect(watch);
    runtime::SetTimeScale(kProgramTimeScale);

    sim.wait_for(
        [&](const QJsonObject& r) {
            return r["transports"].toObject()["lan"].toObject()["records"].toInt() - before >= records;
        },
        std::chrono::milliseconds(2000));
    const int after = sim.record()["transports"].toObject()["lan"].toObject()["records"].toInt();
    figures.records = after - before;
    figures.ok = figures.ok && orvex::run.failure == 0 && figures.records == records && sim.expect_flash(hex);
    return figures;
}

// ---- The floor: a plain client ----------------------------------------------

class PlainClient {
public:
    ~PlainClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool connect(const QString& address, quint16 port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in name{};
        name.sin_family = AF_INET;
        name.sin_port = htons(port);
        const int one = 1;
        return fd_ >= 0 && ::inet_pton(AF_INET, address.toLatin1().constData(), &name.sin_addr) == 1 &&
               ::connect(fd_, reinterpret_cast<sockaddr*>(&name), sizeof name) == 0 &&
               ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
    }
    bool send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // One reply line, or nothing when none comes within the limit.
    std::optional<std::string> read_line() { return read_reply(true); }
    // One reply: a line, or whatever text came at once; nothing when none
    // comes within the limit.
    std::optional<std::string> read_reply(bool line_end) {
        for (int reads = 0; reads < 1000; ++reads) {
            if (const auto end = pending_.find('\n'); end != std::string::npos) {
                std::string line = pending_.substr(0, end + 1);
                pending_.erase(0, end + 1);
                return line;
            }
            if (!line_end && !pending_.empty()) return std::exchange(pending_, {});
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, kReplyLimit_ms) <= 0) return std::nullopt;
            char chunk[512];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return std::nullopt;
            pending_.append(chunk, std::size_t(n));
        }
        return std::nullopt;
    }
    bool ask(const std::string& command) { return send(command) && read_line().has_value(); }

private:
    int fd_ = -1;
    std::string pending_;
};

LoopFigures floor_round(const Unit& sim, const QString& hex, const std::vector<std::string>& lines,
                        bool line_end) {
    LoopFigures figures;
    {
        PlainClient unit;
        if (!unit.connect(sim.lan_address(), sim.lan_port()) || !unit.ask("\x12\n") ||
            !unit.send(":SYST:PASS:CEN MORVANTE\n") || !unit.ask(":syst:pass:stat?\n") ||
            !unit.ask("DIAG:PRG\n") || !unit.ask("ERASE\n"))
            return figures;
        const auto start = Clock::now();
        const double cpu_start = bench::cpu_seconds();
        for (const std::string& line : lines) {
            if (!unit.send(line) || !unit.read_reply(line_end)) return figures;
            ++figures.records;
        }
        figures.wall_s = seconds_since(start);
        figures.cpu_s = bench::cpu_seconds() - cpu_start;
        unit.send("EXIT\n");
    }
    // The flash image is written when the unit takes "EXIT".
    sim.wait_for([](const QJsonObject& r) { return !r["programming"].toBool(); },
                 std::chrono::milliseconds(5000));
    figures.ok = sim.expect_flash(hex);
    return figures;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double best(const std::vector<double>& values) { return *std::max_element(values.begin(), values.end()); }

double cpu_us_per_record(const LoopFigures& f) { return f.records > 0 ? 1e6 * f.cpu_s / f.records : 0.0; }

void print_round(const char* who, const char* form, int round, const LoopFigures& f) {
    std::printf(
        "  %-7s %-4s round %d: %6d records in %6.3f s = %8.0f records/s, CPU %6.3f s (%5.1f %% of a core, "
        "%5.1f us per record)%s\n",
        who, form, round, f.records, f.wall_s, f.rate(), f.cpu_s,
        f.wall_s > 0 ? 100.0 * f.cpu_s / f.wall_s : 0.0, cpu_us_per_record(f), f.ok ? "" : "  FAILED");
}

// The figures of one acknowledgment form over all rounds.
struct FormFigures {
    std::vector<double> program_rates, floor_rates, program_cpu, floor_cpu, ratios;
    void add(const LoopFigures& program, const LoopFigures& plain) {
        program_rates.push_back(program.rate());
        floor_rates.push_back(plain.rate());
        program_cpu.push_back(cpu_us_per_record(program));
        floor_cpu.push_back(cpu_us_per_record(plain));
        ratios.push_back(plain.rate() > 0 ? program.rate() / plain.rate() : 0);
    }
};

}  // namespace

int main(int argc, char* argv[]) {
    bench::prefer_offscreen();
    runtime::Startup startup(argc, argv);
    if (!bench::show_program_panel("bench_lan")) return 1;
    runtime::TriggerMenu(orvex::update_handle, ids::MENUBAR_BUSSELEC_LAN);
    runtime::SetTimeScale(kProgramTimeScale);

    QTemporaryDir dir;
    const QString hex = Unit::make_hex(dir.filePath(QStringLiteral("bench.hex")), kRecords);
    const std::vector<std::string> lines = record_lines(hex);
    if (hex.isEmpty() || lines.empty()) {
        std::printf("the HEX file could not be made\n");
        return 1;
    }
    std::printf(
        "LAN programming loop: %d data records (%zu lines with ':'), acknowledgments as a line "
        "(\"line\") and without line end (\"bare\")\n",
        kRecords, lines.size());

    std::vector<FormFigures> figures(std::size(kForms));
    std::vector<double> bare_vs_line;  // program rate, bare over line, per round
    bool all_ok = true;
    for (int round = 1; round <= kRounds; ++round) {
        std::vector<double> rates;
        for (std::size_t f = 0; f < std::size(kForms); ++f) {
            // One simulator at a time: each running one adds its pipes to
            // every poll of the program's event loop, which the floor does not pay.
            Unit sim(kSimTimeScale);
            if (!sim.start(kForms[f].sim_args)) {
                std::printf("the simulator did not start: %s\n", qPrintable(sim.error()));
                return 1;
            }
            const LoopFigures program = program_round(sim, hex, int(lines.size()));
            print_round("program", kForms[f].name, round, program);
            const LoopFigures plain = floor_round(sim, hex, lines, kForms[f].line_end);
            print_round("floor", kForms[f].name, round, plain);
            sim.stop();
            all_ok = all_ok && program.ok && plain.ok;
            figures[f].add(program, plain);
            rates.push_back(program.rate());
        }
        bare_vs_line.push_back(rates[0] > 0 ? rates[1] / rates[0] : 0);
    }
    for (std::size_t f = 0; f < std::size(kForms); ++f) {
        const FormFigures& form = figures[f];
        const double ratio = median(form.ratios);
        std::printf(
            "%s, median: program %.0f records/s (CPU %.1f us per record), floor %.0f records/s (CPU %.1f us "
            "per record); best: program %.0f, floor %.0f records/s\n",
            kForms[f].name, median(form.program_rates), median(form.program_cpu), median(form.floor_rates),
            median(form.floor_cpu), best(form.program_rates), best(form.floor_rates));
        std::printf("%s, program / floor, median of the rounds: %.0f %% (goal >= %.0f %%): %s\n",
                    kForms[f].name, 100.0 * ratio, 100.0 * kGoal, ratio >= kGoal ? "met" : "MISSED");
    }
    std::printf("program rate, bare / line acknowledgments, median of the rounds: %.0f %%\n",
                100.0 * median(bare_vs_line));
    return all_ok ? 0 : 1;
}

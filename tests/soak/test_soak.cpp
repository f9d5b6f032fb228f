// The fault matrix as a soak: on each bus, every fault the unit can show,
// each followed by a good run, the whole matrix repeated. The program's own
// code and panel run in this process against the unit simulator; after every
// run the message and outcome must be the bus's own for that fault, and the
// descriptors, threads and connections the run took must be given back.
#include <cstdio>
#include <map>

#include "fault_matrix.h"
#include "lan_bus.h"
#include "process_usage.h"
#include "upload_fixture.h"

namespace {

using soak::BusId;

// The matrix is run this many times per bus (ORVEX_SOAK_PASSES overrides).
constexpr int kPasses = 3;
int passes() {
    const int wanted = qEnvironmentVariableIntValue("ORVEX_SOAK_PASSES");
    return wanted > 0 ? wanted : kPasses;
}
// Growth of resident memory allowed over the whole soak.
constexpr long kRssGrowthLimit_kib = 8 * 1024;
// How long what a run closed may take to be gone (deferred deletions, sockets).
constexpr std::chrono::milliseconds kSettleLimit{5000};
constexpr std::chrono::milliseconds kSettlePoll{10};
// Slow replies take this share of their bus's time-out.
constexpr double kSlowShare = 0.4;
constexpr double kGpibAnswerTimeout_s = 10.0;  // T10s, set once the unit is reset

struct BusSetup {
    BusId id;
    int menu_item;
    double scale;      // program's and simulator's time scale
    double timeout_s;  // how long the bus waits for a reply, unscaled
};

// RS-232's 10 s read becomes 0.5 s, LAN's 4 s reply wait 0.32 s and GPIB's
// T10s 0.3 s: far above a unit's answer time even with every core busy.
constexpr BusSetup kSetups[] = {
    {BusId::Rs232, ids::MENUBAR_BUSSELEC_SERIAL, 0.05, runtime::kDefaultComTimeout_s},
    {BusId::Lan, ids::MENUBAR_BUSSELEC_LAN, 0.08, orvex::lan::kReplyWait_s},
    {BusId::Gpib, ids::MENUBAR_BUSSELEC_GPIB, 0.03, kGpibAnswerTimeout_s},
};

const BusSetup& setup_of(BusId bus) { return kSetups[static_cast<int>(bus)]; }

struct Observed {
    QString message;
    orvex::Outcome outcome = orvex::Outcome::NotRun;
    soak::Usage before;
    soak::Usage after;
    int tcp_after = 0;
    QString trouble;  // what went wrong around the run itself
};

// One cell of the table: what the fault showed on one bus, over all passes.
struct CellResult {
    QString message;
    orvex::Outcome outcome = orvex::Outcome::NotRun;
    int runs = 0;
    int wrong = 0;
};

struct BusTotals {
    int fault_runs = 0;
    int good_runs = 0;
    soak::Usage first_before;
    soak::Usage last_after;
    bool measured = false;
};

// Line ends shown as escapes, so that a reply shown as it came keeps the table's lines.
QString quoted(QString text) {
    return QStringLiteral("\"%1\"").arg(
        text.replace('\r', QLatin1String("\\r")).replace('\n', QLatin1String("\\n")));
}

// Descriptors, threads and connections to the unit are back where they
// were, but for what a run keeps by design, which never piles up.
bool settled(const soak::Usage& before, const soak::Usage& now, int tcp_now) {
    return now.fds - now.kept == before.fds - before.kept && soak::kept_descriptors().bounded() &&
           now.threads == before.threads && tcp_now == 0;
}

// What is open now and was not before, for the report of a run that kept it.
QString newly_open(const std::vector<std::string>& before) {
    const std::vector<std::string> now = soak::fd_targets();
    std::vector<std::string> added;
    std::set_difference(now.begin(), now.end(), before.begin(), before.end(), std::back_inserter(added));
    QString text;
    for (const std::string& target : added) text += QStringLiteral(" [%1]").arg(target.c_str());
    return text;
}

}  // namespace

class SoakTest : public QObject {
    Q_OBJECT

    QTemporaryDir files_;
    QString hex_;
    std::unique_ptr<e2e::Operator> op_;
    std::map<std::pair<int, BusId>, CellResult> cells_;
    std::map<BusId, BusTotals> totals_;
    QStringList problems_;
    long rss_start_kib_ = 0;

    void prepare(const BusSetup& bus, const SimProcess& sim, const char* password) {
        op_->choose_bus(bus.menu_item);
        op_->choose_file(hex_);
        op_->type_password(password != nullptr ? QString::fromLatin1(password) : e2e::kPassword);
        if (bus.id == BusId::Lan)
            runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_IPADDR,
                                sim.lanAddress().toLatin1().constData());
    }

    // `good`: a healthy unit, checked for OK TEST and its flash. `settle`:
    // wait for what the run took to be given back, and report it if not.
    Observed run_once(const BusSetup& bus, const QStringList& unit_args, const char* password, bool good,
                      bool settle = true) {
        Observed o;
        SimProcess sim;
        if (!sim.start(e2e::sim_time_scale_args(bus.scale) + unit_args)) {
            o.trouble = "simulator did not start: " + sim.errorString();
            return o;
        }
        sim.exportEnvironment();
        prepare(bus, sim, password);
        e2e::set_time_scale(bus.scale);
        o.before = soak::usage_now();
        const std::vector<std::string> open_before = soak::fd_targets();
        op_->start();
        o.message = op_->messages();
        o.outcome = orvex::last_outcome;

        QDeadlineTimer deadline(settle ? kSettleLimit : std::chrono::milliseconds(0));
        for (;;) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QCoreApplication::processEvents();
            o.after = soak::usage_now();
            o.tcp_after = soak::tcp_connections_to(sim.lanAddress(), sim.lanPort());
            if (settled(o.before, o.after, o.tcp_after) || deadline.hasExpired()) break;
            QThread::msleep(kSettlePoll.count());
        }
        if (settle && !settled(o.before, o.after, o.tcp_after)) {
            o.trouble = QStringLiteral(
                            "not given back: fds %1 -> %2 (kept by design %3 -> %4), threads %5 -> %6, "
                            "TCP connections to the unit %7")
                            .arg(o.before.fds)
                            .arg(o.after.fds)
                            .arg(o.before.kept)
                            .arg(o.after.kept)
                            .arg(o.before.threads)
                            .arg(o.after.threads)
                            .arg(o.tcp_after) +
                        newly_open(open_before);
        }
        if (good && o.trouble.isEmpty()) {
            QString verdict;
            if (op_->revision_before() != e2e::kOldRevision || op_->revision_after() != e2e::kNewRevision)
                o.trouble = "revisions " + op_->revision_before() + " -> " + op_->revision_after();
            else if (!sim.verifyFlash(hex_, &verdict))
                o.trouble = "flash differs from the file: " + verdict;
        }
        if (!sim.stop() && o.trouble.isEmpty()) o.trouble = sim.errorString();
        e2e::set_time_scale(1.0);
        return o;
    }

    void note(const BusSetup& bus, const Observed& o) {
        BusTotals& totals = totals_[bus.id];
        if (!totals.measured) totals.first_before = o.before;
        totals.measured = true;
        totals.last_after = o.after;
    }

    void complain(const BusSetup& bus, const QString& fault, int pass, const QString& what) {
        problems_ << QStringLiteral("%1, pass %2, %3: %4")
                         .arg(soak::bus_name(bus.id))
                         .arg(pass + 1)
                         .arg(fault, what);
        qWarning("%s", qPrintable(problems_.back()));
    }

    void good_run(const BusSetup& bus, const QString& after, int pass) {
        const Observed o = run_once(bus, {}, nullptr, true);
        ++totals_[bus.id].good_runs;
        note(bus, o);
        if (o.message != e2e::kOkTest || o.outcome != orvex::Outcome::Updated)
            complain(bus, "good run after " + after, pass,
                     quoted(o.message) + " / " + soak::outcome_name(o.outcome));
        if (!o.trouble.isEmpty()) complain(bus, "good run after " + after, pass, o.trouble);
    }

    void soak_bus(BusId id) {
        const BusSetup& bus = setup_of(id);
        const qsizetype problems_before = problems_.size();
        const auto& faults = soak::fault_matrix();
        for (int pass = 0; pass < passes(); ++pass) {
            for (std::size_t row = 0; row < faults.size(); ++row) {
                const soak::Fault& fault = faults[row];
                const soak::Cell& expect = fault.on(id);
                if (!expect) continue;
                const QStringList args =
                    fault.slow ? soak::slow_unit_args(bus.timeout_s, kSlowShare) : fault.unit;
                const Observed o = run_once(bus, args, fault.password, false);
                ++totals_[id].fault_runs;
                note(bus, o);
                CellResult& cell = cells_[{int(row), id}];
                ++cell.runs;
                cell.message = o.message;
                cell.outcome = o.outcome;
                const bool as_expected =
                    o.message == QString::fromLatin1(expect->message) && o.outcome == expect->outcome;
                if (!as_expected) {
                    ++cell.wrong;
                    complain(bus, fault.name, pass,
                             QStringLiteral("%1 / %2, expected %3 / %4")
                                 .arg(quoted(o.message), soak::outcome_name(o.outcome),
                                      quoted(QString::fromLatin1(expect->message)),
                                      soak::outcome_name(expect->outcome)));
                }
                if (!o.trouble.isEmpty()) complain(bus, fault.name, pass, o.trouble);
                op_->dismiss_file_panel();
                good_run(bus, fault.name, pass);
            }
        }
        QVERIFY2(problems_.size() == problems_before, qPrintable(problems_.mid(problems_before).join('\n')));
    }

    void print_table() const {
        const auto& faults = soak::fault_matrix();
        constexpr int kNameWidth = 40;
        constexpr int kCellWidth = 48;
        std::printf(
            "\nFault matrix: %d passes; each fault run followed by a good run (OK TEST, flash == file)\n",
            passes());
        std::printf("%-*s", kNameWidth, "fault");
        for (BusId bus : soak::kBuses) std::printf(" | %-*s", kCellWidth, soak::bus_name(bus));
        std::printf("\n%s\n", QByteArray(kNameWidth + 3 * (kCellWidth + 3), '-').constData());
        for (std::size_t row = 0; row < faults.size(); ++row) {
            std::printf("%-*s", kNameWidth, faults[row].name);
            for (BusId bus : soak::kBuses) {
                const auto found = cells_.find({int(row), bus});
                QString text = QStringLiteral("n/a");
                if (found != cells_.end()) {
                    const CellResult& c = found->second;
                    const char* mark = c.wrong > 0 ? "WRONG " : "";
                    text = QStringLiteral("%1%2 / %3 x%4")
                               .arg(mark, quoted(c.message), soak::outcome_name(c.outcome))
                               .arg(c.runs);
                }
                std::printf(" | %-*s", kCellWidth, qPrintable(text));
            }
            std::printf("\n");
        }
        std::printf("\n%-8s %10s %10s %16s %16s %18s\n", "bus", "fault runs", "good runs", "fds first>last",
                    "threads", "RSS KiB");
        for (BusId bus : soak::kBuses) {
            const auto found = totals_.find(bus);
            if (found == totals_.end()) continue;
            const BusTotals& t = found->second;
            std::printf("%-8s %10d %10d %7d > %-6d %7d > %-6d %8ld > %-7ld\n", soak::bus_name(bus),
                        t.fault_runs, t.good_runs, t.first_before.fds, t.last_after.fds,
                        t.first_before.threads, t.last_after.threads, t.first_before.rss_kib,
                        t.last_after.rss_kib);
        }
        std::fflush(stdout);
    }

private slots:
    void initTestCase() {
        QVERIFY(files_.isValid());
        hex_ = e2e::make_hex(files_, "firmware.hex", soak::kRecords,
                             {"--test-lines", QString::number(soak::kCodeTests)});
        QVERIFY(!hex_.isEmpty());
        op_ = std::make_unique<e2e::Operator>();
        // One good run per bus first: what a bus loads once (the GPIB driver,
        // Qt's network and serial parts) is no growth of the soak.
        for (const BusSetup& bus : kSetups) {
            const Observed o = run_once(bus, {}, nullptr, true, false);
            QVERIFY2(o.message == e2e::kOkTest && o.trouble.isEmpty(),
                     qPrintable(o.message + " " + o.trouble));
        }
        rss_start_kib_ = soak::usage_now().rss_kib;
    }

    void rs232() { soak_bus(BusId::Rs232); }
    void lan() { soak_bus(BusId::Lan); }
    void gpib() { soak_bus(BusId::Gpib); }

    void cleanupTestCase() {
        print_table();
        const long rss_end_kib = soak::usage_now().rss_kib;
        std::printf("RSS over the soak: %ld KiB -> %ld KiB (limit +%ld KiB)\n", rss_start_kib_, rss_end_kib,
                    kRssGrowthLimit_kib);
        std::fflush(stdout);
        op_.reset();
        QVERIFY2(rss_end_kib - rss_start_kib_ <= kRssGrowthLimit_kib, "resident memory grew during the soak");
    }
};

QTEST_MAIN(SoakTest)
#include "test_soak.moc"

// Measures the waits the sequences are paced by:
//  - CPU used while get_tcpread runs into its 4.0 s time-out (goal: < 2 % of a core);
//  - the delay from a reply leaving a loopback peer to the end of get_tcpread
//    (goal: median < 200 microseconds);
//  - the Transmit LED interval as the Transmit-indicator wait sees it (goal: 0.06 s +- 5 ms).
#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../bench_support.h"
#include "runtime.h"
#include "lan_bus.h"
#include "panel_handles.h"
#include "run_state.h"
#include "ui.h"
#include "upload.h"
#include "waits.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kPeerAddress = "127.0.0.91";
constexpr int kLatencyRounds = 300;
constexpr int kLedRounds = 40;

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

void measure_idle_cpu() {
    orvex::clear(orvex::exchange.rdbuffer);
    const auto start = Clock::now();
    const double cpu_before = bench::cpu_seconds();
    const int length = orvex::lan::get_tcpread();
    const double cpu = bench::cpu_seconds() - cpu_before;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "get_tcpread time-out: %.3f s wall, %.4f s CPU = %.2f %% of one core (goal < 2 %%), reply length "
        "%d\n",
        wall, cpu, 100.0 * cpu / wall, length);
}

// A loopback peer that answers each request byte with a reply line and notes
// when it sent it.
void measure_reply_latency() {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(orvex::lan::kUnitPort);
    inet_pton(AF_INET, kPeerAddress, &address.sin_addr);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0) {
        std::printf("reply latency: cannot listen on %s:5025\n", kPeerAddress);
        return;
    }
    std::vector<Clock::time_point> sent(kLatencyRounds);
    std::thread peer([&] {
        const int connection = accept(listener, nullptr, nullptr);
        for (int round = 0; round < kLatencyRounds; ++round) {
            char request = 0;
            if (read(connection, &request, 1) != 1) break;
            // Let the program settle into its wait before the reply comes.
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            sent[static_cast<std::size_t>(round)] = Clock::now();
            if (write(connection, "1\r\n", 3) != 3) break;
        }
        close(connection);
    });

    unsigned handle = 0;
    if (runtime::ConnectToTCPServer(&handle, orvex::lan::kUnitPort, kPeerAddress, orvex::lan::ClientCallback,
                                    nullptr, 5000) != 0) {
        std::printf("reply latency: connect failed\n");
        peer.join();
        close(listener);
        return;
    }
    std::vector<double> delays_us;
    for (int round = 0; round < kLatencyRounds; ++round) {
        orvex::clear(orvex::exchange.rdbuffer);
        runtime::ClientTCPWrite(handle, "?", 1, 1000);
        if (orvex::lan::get_tcpread() == 0) continue;
        const auto ended = Clock::now();
        delays_us.push_back(
            std::chrono::duration<double, std::micro>(ended - sent[static_cast<std::size_t>(round)]).count());
    }
    runtime::DisconnectFromTCPServer(handle);
    peer.join();
    close(listener);
    if (delays_us.empty()) return;
    std::printf(
        "reply arrival to end of get_tcpread over %zu replies: median %.0f us, 90th %.0f us, max %.0f us "
        "(goal: median < 200 us)\n",
        delays_us.size(), percentile(delays_us, 0.5), percentile(delays_us, 0.9), percentile(delays_us, 1.0));
}

void measure_led_interval() {
    std::vector<double> intervals_ms;
    for (int round = 0; round < kLedRounds; ++round) {
        orvex::handle_tx_timer();
        const auto start = Clock::now();
        orvex::tx_indicator_wait();
        intervals_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::printf(
        "Transmit LED interval over %d waits: median %.2f ms, min %.2f ms, max %.2f ms (goal 60 +- 5 ms)\n",
        kLedRounds, percentile(intervals_ms, 0.5), percentile(intervals_ms, 0.0),
        percentile(intervals_ms, 1.0));
}

}  // namespace

int main(int argc, char* argv[]) {
    bench::prefer_offscreen();
    runtime::Startup startup(argc, argv);
    if (!bench::show_program_panel("bench_waits")) return 1;
    measure_led_interval();
    measure_reply_latency();
    measure_idle_cpu();
    return 0;
}

// A small simulator side of the stand-in driver's wire protocol, inside the
// test: it records every request and answers as the test's handler says.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gpib_test {

struct WireRequest {
    char op = 0;
    int address = 0;
    int flags = 0;
    std::uint32_t length = 0;
    std::string data;             // 'W'
    std::uint32_t timeout_ms = 0; // 'R'
};

struct WireReply {
    enum class Action { Answer, Silence, AnswerThenClose };
    Action action = Action::Answer;
    char status = 'K';
    int flags = 0;
    std::uint32_t length = 0;
    std::string data;
    std::chrono::milliseconds delay{0};  // before answering

    static WireReply Ok(std::uint32_t length = 0) { return {Action::Answer, 'K', 0, length, {}, {}}; }
    static WireReply Data(std::string text, bool end) {
        const auto size = static_cast<std::uint32_t>(text.size());
        return {Action::Answer, 'K', end ? 1 : 0, size, std::move(text), {}};
    }
    static WireReply Status(char status) { return {Action::Answer, status, 0, 0, {}, {}}; }
    static WireReply Silent() { return {Action::Silence, 'K', 0, 0, {}, {}}; }
};

class ProtocolServer {
public:
    using Handler = std::function<WireReply(const WireRequest&)>;

    ProtocolServer(std::string socketPath, Handler handler);
    ~ProtocolServer();
    ProtocolServer(const ProtocolServer&) = delete;
    ProtocolServer& operator=(const ProtocolServer&) = delete;

    std::vector<WireRequest> Requests() const;
    int ConnectionsAccepted() const;
    int ConnectionsClosedByPeer() const;
    // Wait until the driver, or the server itself, has closed that many connections.
    bool WaitForClosedConnections(int count, std::chrono::milliseconds limit) const;
    bool WaitForConnectionsClosedHere(int count, std::chrono::milliseconds limit) const;

private:
    void Run();
    void Serve(int connection);
    bool Stopping() const;

    std::string path_;
    Handler handler_;
    int listener_ = -1;
    int stop_pipe_[2] = {-1, -1};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<WireRequest> requests_;
    int accepted_ = 0;
    int closed_by_peer_ = 0;
    int closed_here_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace gpib_test

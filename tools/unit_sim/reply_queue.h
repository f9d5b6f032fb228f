// Sends a link's replies in the order their commands came, each no earlier
// than its delay allows: a slow reply holds back the replies behind it, as a
// unit that works through its input one line at a time would.
#pragma once

#include "unit_core.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace orvex::sim {

class ReplyQueue : public QObject {
public:
    using Writer = std::function<void(std::string_view bytes)>;
    using Dropper = std::function<void()>;

    static constexpr std::size_t kMaxPending = 4096;

    ReplyQueue(Writer write, Dropper drop, std::chrono::milliseconds splitGap);

    // False when too many replies wait already; the reply is then lost.
    bool push(Reply reply);
    void clear();

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        std::string bytes;
        Clock::time_point due;
        bool dropAfter = false;
    };

    void service();

    std::deque<Pending> pending_;
    QTimer timer_;
    Writer write_;
    Dropper drop_;
    std::chrono::milliseconds splitGap_;
};

}  // namespace orvex::sim

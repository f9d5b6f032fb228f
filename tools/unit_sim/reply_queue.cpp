#include "reply_queue.h"

#include <algorithm>

namespace orvex::sim {

ReplyQueue::ReplyQueue(Writer write, Dropper drop, std::chrono::milliseconds splitGap)
    : write_(std::move(write)), drop_(std::move(drop)), splitGap_(splitGap) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { service(); });
}

bool ReplyQueue::push(Reply reply) {
    if (reply.bytes.empty() && !reply.dropLinkAfter) return true;
    if (pending_.size() + 2 > kMaxPending) return false;
    auto due = Clock::now() + reply.delay;
    if (!pending_.empty()) due = std::max(due, pending_.back().due);
    if (reply.splitAt > 0) {
        // The first part goes out alone, so the peer reads the reply in two pieces.
        pending_.push_back({reply.bytes.substr(0, reply.splitAt), due, false});
        reply.bytes.erase(0, reply.splitAt);
        due += splitGap_;
    }
    pending_.push_back({std::move(reply.bytes), due, reply.dropLinkAfter});
    service();
    return true;
}

void ReplyQueue::clear() {
    pending_.clear();
    timer_.stop();
}

void ReplyQueue::service() {
    const auto now = Clock::now();
    while (!pending_.empty() && pending_.front().due <= now) {
        Pending next = std::move(pending_.front());
        pending_.pop_front();
        if (!next.bytes.empty()) write_(next.bytes);
        if (next.dropAfter) {
            clear();
            drop_();
            return;
        }
    }
    if (pending_.empty()) return;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(pending_.front().due - now);
    timer_.start(std::max(wait, std::chrono::milliseconds(0)));
}

}  // namespace orvex::sim

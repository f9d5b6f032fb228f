// Turns SIGTERM and SIGINT into a call on the event loop, so the simulator
// can write its files and remove its link and socket before it exits.
#pragma once

#include "unique_fd.h"

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace orvex::sim {

class SignalWatcher : public QObject {
public:
    explicit SignalWatcher(std::function<void(int signal)> onSignal);
    ~SignalWatcher() override;

    // Empty on success, else why the handlers could not be installed.
    std::optional<std::string> install();

private:
    std::function<void(int)> onSignal_;
    UniqueFd readEnd_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace orvex::sim

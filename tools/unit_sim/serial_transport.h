// The unit's RS-232 port: a pseudo-terminal whose slave side the uploader
// opens through a "COMn" link. The uploader closes and re-opens the port
// several times during a run; the unit keeps serving across that.
//
// How the port's state is seen:
// - The simulator never holds the slave open itself: a slave fd of its own
//   would hide the uploader's closes.
// - Opens and closes are counted from inotify events on the slave device:
//   exact even when a close is followed at once by a re-open.
// - While no slave fd is open, reading the master fails with EIO and polling
//   it reports POLLHUP without end; the master's read notifier is then
//   switched off until the next open, so a closed port costs no CPU.
// - An adapter reset replaces the pty: the old one hangs up under whoever
//   holds it, and the link names the new one once the adapter is back.
#pragma once

#include "line_assembler.h"
#include "reply_queue.h"
#include "transport.h"
#include "unique_fd.h"
#include "unit_core.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <filesystem>
#include <memory>
#include <string>

namespace orvex::sim {

class SerialTransport final : public QObject, public Transport {
public:
    SerialTransport(UnitCore& core, std::filesystem::path directory, int comNumber, SerialDrop drop,
                    std::chrono::milliseconds splitGap);
    ~SerialTransport() override;

    std::optional<std::string> open() override;
    std::string endpoint() const override;
    void close() override;

private:
    enum class SlaveState { open, closed };

    std::optional<std::string> openPty();
    std::optional<std::string> publishLink();
    void closePty();
    void resetAdapter();
    SlaveState drain();
    void deliver(std::string_view bytes);
    void onReadable();
    void onPortEvents();
    void send(std::string_view bytes);
    void flushOutput();
    void dropLink();

    UnitCore& core_;
    std::filesystem::path link_;
    SerialDrop dropMode_;
    UniqueFd master_;
    UniqueFd watch_;
    std::string slavePath_;
    std::unique_ptr<QSocketNotifier> reader_;
    std::unique_ptr<QSocketNotifier> writer_;
    std::unique_ptr<QSocketNotifier> watcher_;
    int slaveOpens_ = 0;
    LineAssembler lines_;
    ReplyQueue replies_;
    std::string output_;
    QTimer adapterBack_;
};

}  // namespace orvex::sim

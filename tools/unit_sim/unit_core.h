// The emulated unit: turns each line received on a link into the unit's
// reply for that kind of link, keeps its state (lock, password, programming
// mode, flash, revision) and writes down what happened in its journal.
#pragma once

#include "flash_image.h"
#include "intel_hex.h"
#include "journal.h"
#include "line_assembler.h"
#include "unit_config.h"

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace orvex::sim {

struct LineSource {
    Link link = Link::serial;
    int connection = 0;  // LAN connection id; 0 elsewhere
};

struct Reply {
    std::string bytes;                   // empty: the unit stays silent
    std::chrono::milliseconds delay{0};  // time scale already applied
    std::size_t splitAt = 0;             // 0: one write; else the size of the first part
    bool dropLinkAfter = false;          // the link goes down once this reply is out
};

class UnitCore {
public:
    struct Hooks {
        std::function<void()> journalChanged;
        std::function<void()> leftProgramming;  // after every EXIT: the image is final
    };

    // How much of a received line the journal keeps: more than any HEX record
    // (523 bytes), so a journalled record is whole, while a client sending junk
    // cannot fill the journal with it.
    static constexpr std::size_t kJournalTextBytes = 600;

    UnitCore(UnitConfig config, Hooks hooks);

    Reply onLine(LineSource source, const AssembledLine& line);

    void setEndpoint(Link link, std::string endpoint);
    bool linkDown(Link link) const;

    void serialPortChanged(bool opened);
    void replyLostWhilePortClosed();
    void serialAdapterReset();
    void connectionOpened(int id, std::string peer);
    void connectionClosed(int id);
    bool holdsLock(int connection) const { return lockHolder_ == connection; }
    void setGpibAddress(int address);
    void gpibClientConnected();
    void gpibClientDisconnected();
    void gpibWrite(bool eoi);
    void gpibRead(long long timeoutMs);
    void gpibOutputDiscarded(std::size_t bytes);
    void gpibInterfaceClear();
    void gpibNoListener();
    void gpibReadTimeout();

    const Journal& journal() const { return journal_; }
    const FlashImage& flash() const { return flash_; }
    std::chrono::milliseconds scaled(std::chrono::milliseconds delay) const;

private:
    Reply onRecord(LineSource source, std::string_view text);
    Reply onCommand(LineSource source, std::string_view text);
    Reply onLockRequest(int connection);
    Reply makeReply(ReplyKind kind, std::string bytes, std::chrono::milliseconds work = {});
    bool silenced(ReplyKind kind, int occurrence) const;
    std::string identification() const;
    void leaveProgramming(Link link);
    void startImage();
    LanConnection* connection(int id);
    void changed();

    UnitConfig config_;
    Hooks hooks_;
    Journal journal_;
    FlashImage flash_;
    HexLoader loader_{flash_};
    std::map<ReplyKind, int> occurrences_;
    std::size_t recordIndex_ = 0;
    bool imageFaulty_ = false;  // an invalid record since the image began
    std::optional<int> lockHolder_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace orvex::sim

#include "units.h"

#include <array>

#include "driver_constants.h"

namespace standin {
namespace {

struct Boards {
    Boards() {
        for (Board& board : all) board.timeout = kDefaultTimeout;
    }
    std::array<Board, kBoardCount> all;
};

Boards& TheBoards() {
    static Boards boards;
    return boards;
}

struct DeviceTable {
    std::mutex mutex;
    std::array<std::optional<Device>, kDeviceCount> slots;
};

DeviceTable& TheDevices() {
    static DeviceTable table;
    return table;
}

std::optional<Device>* SlotOf(DeviceTable& table, int ud) {
    const int index = ud - kFirstDeviceDescriptor;
    if (index < 0 || index >= kDeviceCount) return nullptr;
    return &table.slots[static_cast<std::size_t>(index)];
}

}  // namespace

Board* FindBoard(int index) {
    if (index < 0 || index >= kBoardCount) return nullptr;
    return &TheBoards().all[static_cast<std::size_t>(index)];
}

std::optional<Device> FindDevice(int ud) {
    DeviceTable& table = TheDevices();
    std::lock_guard hold(table.mutex);
    std::optional<Device>* slot = SlotOf(table, ud);
    return slot != nullptr ? *slot : std::nullopt;
}

int AddDevice(const Device& device) {
    DeviceTable& table = TheDevices();
    std::lock_guard hold(table.mutex);
    for (int i = 0; i < kDeviceCount; ++i) {
        auto& slot = table.slots[static_cast<std::size_t>(i)];
        if (!slot) {
            slot = device;
            return kFirstDeviceDescriptor + i;
        }
    }
    return -1;
}

bool RemoveDevice(int ud) {
    DeviceTable& table = TheDevices();
    std::lock_guard hold(table.mutex);
    std::optional<Device>* slot = SlotOf(table, ud);
    if (slot == nullptr || !*slot) return false;
    slot->reset();
    return true;
}

bool SetDeviceTimeout(int ud, int timeout) {
    DeviceTable& table = TheDevices();
    std::lock_guard hold(table.mutex);
    std::optional<Device>* slot = SlotOf(table, ud);
    if (slot == nullptr || !*slot) return false;
    (*slot)->timeout = timeout;
    return true;
}

void ResetBoard(Board& board) {
    std::lock_guard hold(board.mutex);
    board.link.Drop();
    board.timeout = kDefaultTimeout;
    board.remoteEnable = false;
}

}  // namespace standin

// The device table of the instrument drivers: the descriptors they opened,
// each with the prefix of the instrument driver that owns it.
#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

#include "gpib.h"

namespace gpib {
namespace {

struct DeviceEntry {
    int ud = -1;
    std::array<char, kInstrumentPrefixLength + 1> prefix{};
};

std::array<DeviceEntry, kDeviceTableSize> g_devices{};
int g_device_count = 0;

// An address-less device on board 0: no primary address the driver would
// accept (so it answers EARG), no secondary address, T10s, EOI on the last
// byte, no end-of-string byte.
constexpr int kAddresslessBoard = 0;
constexpr int kAddresslessPad = 4095;
constexpr int kAddresslessSad = 0;
constexpr int kAddresslessTimeout = T10s;
constexpr int kAddresslessEot = 1;
constexpr int kAddresslessEos = 0;
constexpr int kStatusNow = 0;  // ibwait mask that returns the status at once

void CopyPrefix(std::array<char, kInstrumentPrefixLength + 1>& target, const char* prefix) {
    target.fill('\0');
    if (prefix != nullptr) std::strncpy(target.data(), prefix, kInstrumentPrefixLength);
}

bool IsEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

// Stops what the unit still does, returns it to local operation and takes it
// offline; the later entries move down.
void CloseEntry(int index) {
    const int ud = g_devices[static_cast<std::size_t>(index)].ud;
    if ((ibwait(ud, kStatusNow) & CMPL) == 0) ibstop(ud);
    ibloc(ud);
    ibonl(ud, 0);
    const auto first = g_devices.begin() + index;
    std::move(first + 1, g_devices.begin() + g_device_count, first);
    --g_device_count;
}

}  // namespace

int OpenDev(const char* deviceName, const char* instrumentPrefix) {
    if (!__MakeSureGPIBDLLIsLoaded()) return -1;
    std::lock_guard hold(__devmgrCriticalSection);
    if (g_device_count >= kDeviceTableSize) return -1;

    int ud = -1;
    if (!IsEmpty(deviceName)) {
        ud = ibfind(deviceName);
        if (ud < 0) return -1;
    } else {
        ud = ibdev(kAddresslessBoard, kAddresslessPad, kAddresslessSad, kAddresslessTimeout, kAddresslessEot,
                   kAddresslessEos);
        if (ud < 0) return -1;
        // EARG is how the driver greets a device without an address: keep it.
        const int status = ThreadIbsta();
        if ((status & ERR) != 0 && ThreadIberr() != EARG) {
            ibonl(ud, 0);
            return -1;
        }
        __SetGPIBGlobals(status & ~ERR, 0, 0);
    }
    DeviceEntry& entry = g_devices[static_cast<std::size_t>(g_device_count++)];
    entry.ud = ud;
    CopyPrefix(entry.prefix, instrumentPrefix);
    return ud;
}

int CloseDev(int ud) {
    if (!__MakeSureGPIBDLLIsLoaded()) return -1;
    std::lock_guard hold(__devmgrCriticalSection);
    for (int i = 0; i < g_device_count; ++i) {
        if (g_devices[static_cast<std::size_t>(i)].ud == ud) {
            CloseEntry(i);
            return 0;
        }
    }
    return -1;
}

int CloseInstrDevs(const char* instrumentPrefix) {
    if (!__MakeSureGPIBDLLIsLoaded()) return -1;
    std::lock_guard hold(__devmgrCriticalSection);
    if (IsEmpty(instrumentPrefix)) return 0;
    // Entries keep the first characters of their prefix only: compare the
    // same characters of the one asked for.
    std::array<char, kInstrumentPrefixLength + 1> wanted{};
    CopyPrefix(wanted, instrumentPrefix);
    for (int i = g_device_count - 1; i >= 0; --i) {
        if (g_devices[static_cast<std::size_t>(i)].prefix == wanted) CloseEntry(i);
    }
    return 0;
}

int __CloseAllGPIBDevmgrDevices() {
    if (!__MakeSureGPIBDLLIsLoaded()) return -1;
    std::lock_guard hold(__devmgrCriticalSection);
    for (int i = g_device_count - 1; i >= 0; --i) CloseEntry(i);
    return 0;
}

}  // namespace gpib

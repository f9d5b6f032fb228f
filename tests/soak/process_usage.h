// What this process holds from the kernel, read from /proc: open file
// descriptors, threads, resident memory, and TCP connections to one peer.
#pragma once

#include <QHostAddress>
#include <QString>
#include <QtEndian>

#include <algorithm>
#include <charconv>
#include <sstream>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace soak {

struct Usage {
    int fds = 0;
    int kept = 0;  // of those, descriptors a run may keep by design (see kept_descriptors)
    int threads = 0;
    long rss_kib = 0;
};

inline int entries_in(const char* directory) {
    std::error_code error;
    int count = 0;
    for (auto it = std::filesystem::directory_iterator(directory, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++count;
    return count;
}

inline long resident_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages_total = 0;
    long pages_resident = 0;
    statm >> pages_total >> pages_resident;
    return pages_resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// What each open descriptor refers to, sorted, for telling what a run kept.
inline std::vector<std::string> fd_targets() {
    std::vector<std::string> targets;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::error_code unreadable;
        targets.push_back(std::filesystem::read_symlink(it->path(), unreadable).string());
    }
    std::sort(targets.begin(), targets.end());
    return targets;
}

// Threads of Qt's thread pools come and go on their own (they end after
// 30 s idle, and their pools are bounded): only the others are counted.
inline int own_threads() {
    constexpr std::string_view kPooled = "Thread (pooled)";
    std::error_code error;
    int count = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::ifstream comm(it->path() / "comm");
        std::string name;
        std::getline(comm, name);
        count += name == kPooled ? 0 : 1;
    }
    return count;
}

// Inodes of the Unix domain sockets on this machine.
inline std::vector<std::string> unix_socket_inodes() {
    std::ifstream table("/proc/net/unix");
    std::string line;
    std::getline(table, line);  // the heading
    std::vector<std::string> inodes;
    while (std::getline(table, line)) {
        // "Num RefCount Protocol Flags Type St Inode [Path]"
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 7 && fields >> field; ++i) {
        }
        inodes.push_back(field);
    }
    std::sort(inodes.begin(), inodes.end());
    return inodes;
}

// A run that stops without giving the unit back keeps what the bus had
// open until the next run: over RS-232 the port (its device and its lock
// file), over GPIB the driver's link to the board (a Unix socket). None of
// these may ever be more than one of its kind.
struct Kept {
    int devices = 0;
    int lock_files = 0;
    int driver_links = 0;
    int total() const { return devices + lock_files + driver_links; }
    bool bounded() const { return devices <= 1 && lock_files <= 1 && driver_links <= 1; }
};

inline Kept kept_descriptors() {
    const std::vector<std::string> unix_inodes = unix_socket_inodes();
    Kept kept;
    for (const std::string& target : fd_targets()) {
        if (target.starts_with("/dev/pts/") || target.starts_with("/dev/tty")) ++kept.devices;
        if (target.starts_with("/run/lock/LCK..") || target.starts_with("/var/lock/LCK..")) ++kept.lock_files;
        if (target.starts_with("socket:[") && target.size() > 9) {
            const std::string inode = target.substr(8, target.size() - 9);
            kept.driver_links += std::binary_search(unix_inodes.begin(), unix_inodes.end(), inode) ? 1 : 0;
        }
    }
    return kept;
}

// The directory listing's own descriptor is counted every time, so counts compare.
inline Usage usage_now() {
    return {entries_in("/proc/self/fd"), kept_descriptors().total(), own_threads(), resident_kib()};
}

// TCP states in which a connection still holds a descriptor on this side.
inline bool holds_descriptor(std::string_view state) {
    constexpr std::string_view kEstablished = "01", kSynSent = "02", kCloseWait = "08";
    return state == kEstablished || state == kSynSent || state == kCloseWait;
}

// Connections whose far end is address:port, in a state that holds a descriptor.
inline int tcp_connections_to(const QString& address, quint16 port) {
    if (address.isEmpty()) return 0;
    // The kernel prints the address in network byte order read as a host-order word.
    const std::uint32_t wanted = qToBigEndian(QHostAddress(address).toIPv4Address());
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    int count = 0;
    while (std::getline(table, line)) {
        // "  N: LOCAL:PORT REMOTE:PORT ST ..."
        std::string slot, local, remote, state;
        std::istringstream fields(line);
        fields >> slot >> local >> remote >> state;
        const auto colon = remote.find(':');
        if (colon == std::string::npos) continue;
        std::uint32_t host = 0;
        unsigned remote_port = 0;
        std::from_chars(remote.data(), remote.data() + colon, host, 16);
        std::from_chars(remote.data() + colon + 1, remote.data() + remote.size(), remote_port, 16);
        count += host == wanted && remote_port == port && holds_descriptor(state) ? 1 : 0;
    }
    return count;
}

}  // namespace soak

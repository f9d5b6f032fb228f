// What this process holds from the kernel, read from /proc: open file
// descriptors, threads, resident memory, and TCP connections to one peer.
#pragma once

#include <QHostAddress>
#include <QString>
#include <QtEndian>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace orvex::test {

// What each open descriptor refers to, sorted.
inline std::vector<std::string> fd_targets() {
    std::vector<std::string> targets;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        targets.push_back(std::filesystem::read_symlink(it->path(), error).string());
    std::sort(targets.begin(), targets.end());
    return targets;
}

// Lines of a /proc/net table after its heading, each split into fields.
inline std::vector<std::vector<std::string>> proc_table(const char* path) {
    std::ifstream table(path);
    std::string line;
    std::getline(table, line);
    std::vector<std::vector<std::string>> rows;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        rows.emplace_back(std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>());
    }
    return rows;
}

// A run that stops without giving the unit back keeps what the bus had open
// until the next run: over RS-232 the port (its device and its lock file),
// over GPIB the driver's link to the board (a Unix socket). None of these may
// ever be more than one of its kind.
struct Kept {
    int devices = 0;
    int lock_files = 0;
    int driver_links = 0;
    int total() const { return devices + lock_files + driver_links; }
    bool bounded() const { return devices <= 1 && lock_files <= 1 && driver_links <= 1; }
};

inline Kept kept_descriptors() {
    std::vector<std::string> unix_inodes;  // "Num RefCount Protocol Flags Type St Inode [Path]"
    for (const auto& row : proc_table("/proc/net/unix"))
        if (row.size() > 6) unix_inodes.push_back("socket:[" + row[6] + "]");
    Kept kept;
    for (const std::string& target : fd_targets()) {
        kept.devices += target.starts_with("/dev/pts/") || target.starts_with("/dev/tty");
        kept.lock_files += target.starts_with("/run/lock/LCK..") || target.starts_with("/var/lock/LCK..");
        kept.driver_links += std::find(unix_inodes.begin(), unix_inodes.end(), target) != unix_inodes.end();
    }
    return kept;
}

struct Usage {
    int fds = 0;
    int kept = 0;     // of those, descriptors a run may keep by design (see Kept)
    int threads = 0;  // Qt's pooled threads come and go on their own: not counted
    long rss_kib = 0;
};

inline Usage usage_now() {
    Usage usage{int(fd_targets().size()), kept_descriptors().total(), 0, 0};
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::ifstream comm(it->path() / "comm");
        std::string name;
        std::getline(comm, name);
        usage.threads += name != "Thread (pooled)";
    }
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    statm >> pages >> usage.rss_kib;
    usage.rss_kib *= ::sysconf(_SC_PAGESIZE) / 1024;
    return usage;
}

// Connections whose far end is address:port, in a state that holds a
// descriptor on this side (established, SYN sent, close wait).
inline int tcp_connections_to(const QString& address, quint16 port) {
    if (address.isEmpty()) return 0;
    // The kernel prints the address in network byte order read as a host-order word.
    const std::uint32_t wanted = qToBigEndian(QHostAddress(address).toIPv4Address());
    int count = 0;
    for (const auto& row : proc_table("/proc/net/tcp")) {  // "N: LOCAL:PORT REMOTE:PORT ST ..."
        if (row.size() < 4 || row[2].find(':') == std::string::npos) continue;
        const std::string& remote = row[2];
        const auto colon = remote.find(':');
        std::uint32_t host = 0;
        unsigned remote_port = 0;
        std::from_chars(remote.data(), remote.data() + colon, host, 16);
        std::from_chars(remote.data() + colon + 1, remote.data() + remote.size(), remote_port, 16);
        count +=
            host == wanted && remote_port == port && (row[3] == "01" || row[3] == "02" || row[3] == "08");
    }
    return count;
}

}  // namespace orvex::test

#include "wire_client.h"

#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <utility>

namespace orvex::test {
namespace {

constexpr std::size_t kChunkBytes = 4096;

void putU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint32_t getU32(const std::string& in, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<std::uint8_t>(in[at + i]);
  return value;
}

}  // namespace

std::optional<WireClient> WireClient::openSerial(const QString& path) {
  const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  termios settings{};
  ::tcgetattr(fd, &settings);
  ::cfmakeraw(&settings);
  ::tcsetattr(fd, TCSANOW, &settings);
  return WireClient(fd);
}

std::optional<WireClient> WireClient::connectTcp(const QString& address, quint16 port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  if (fd < 0 || ::inet_pton(AF_INET, address.toLatin1().constData(), &peer.sin_addr) != 1 ||
      ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    if (fd >= 0) ::close(fd);
    return std::nullopt;
  }
  return WireClient(fd);
}

std::optional<WireClient> WireClient::connectUnix(const QString& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un peer{};
  peer.sun_family = AF_UNIX;
  const QByteArray name = path.toLocal8Bit();
  if (fd < 0 || static_cast<std::size_t>(name.size()) >= sizeof peer.sun_path) {
    if (fd >= 0) ::close(fd);
    return std::nullopt;
  }
  std::memcpy(peer.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  return WireClient(fd);
}

WireClient::WireClient(WireClient&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      buffered_(std::move(other.buffered_)),
      closedByPeer_(other.closedByPeer_) {}

WireClient& WireClient::operator=(WireClient&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    buffered_ = std::move(other.buffered_);
    closedByPeer_ = other.closedByPeer_;
  }
  return *this;
}

WireClient::~WireClient() { close(); }

void WireClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool WireClient::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (written < 0 && errno == ENOTSOCK) {
      const ssize_t plain = ::write(fd_, bytes.data(), bytes.size());
      if (plain <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(plain));
      continue;
    }
    if (written <= 0) {
      if (written < 0 && errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool WireClient::fill(std::chrono::milliseconds limit) {
  if (fd_ < 0 || closedByPeer_) return false;
  pollfd waiting{fd_, POLLIN, 0};
  const int ready = ::poll(&waiting, 1, static_cast<int>(limit.count()));
  if (ready <= 0) return false;
  char chunk[kChunkBytes];
  const ssize_t count = ::read(fd_, chunk, sizeof chunk);
  if (count <= 0) {
    closedByPeer_ = true;
    return false;
  }
  buffered_.append(chunk, static_cast<std::size_t>(count));
  return true;
}

std::string WireClient::readBytes(std::size_t count, std::chrono::milliseconds limit) {
  QDeadlineTimer deadline(limit);
  while (buffered_.size() < count && fill(std::chrono::milliseconds(deadline.remainingTime()))) {
  }
  const std::string out = buffered_.substr(0, count);
  buffered_.erase(0, out.size());
  return out;
}

std::string WireClient::readLine(std::chrono::milliseconds limit) {
  QDeadlineTimer deadline(limit);
  while (buffered_.find('\n') == std::string::npos &&
         fill(std::chrono::milliseconds(deadline.remainingTime()))) {
  }
  const auto end = buffered_.find('\n');
  const std::string out = end == std::string::npos ? buffered_ : buffered_.substr(0, end + 1);
  buffered_.erase(0, out.size());
  return out;
}

std::string WireClient::readSome(std::chrono::milliseconds limit) {
  if (buffered_.empty()) fill(limit);
  return std::exchange(buffered_, {});
}

bool WireClient::staysQuiet(std::chrono::milliseconds period) {
  return buffered_.empty() && !fill(period) && !closedByPeer_;
}

bool WireClient::seesClose(std::chrono::milliseconds limit) {
  QDeadlineTimer deadline(limit);
  while (!closedByPeer_ && !deadline.hasExpired()) fill(std::chrono::milliseconds(deadline.remainingTime()));
  return closedByPeer_;
}

void WireClient::discardInput() {
  buffered_.clear();
  ::tcflush(fd_, TCIFLUSH);
}

bool GpibClient::request(char op, int address, std::uint8_t flags, std::uint32_t length,
                         std::string_view payload) {
  std::string message{op, static_cast<char>(address), static_cast<char>(flags), 0};
  putU32(message, length);
  message.append(payload);
  return wire_.send(message);
}

GpibAnswer GpibClient::answer(std::chrono::milliseconds limit, bool ofRead) {
  const std::string header = wire_.readBytes(8, limit);
  if (header.size() != 8) return {};
  GpibAnswer answer{header[0], static_cast<std::uint8_t>(header[1]), getU32(header, 4), {}};
  // Only a read's 'K' carries data; a write's length counts accepted bytes.
  if (ofRead && answer.status == 'K') answer.data = wire_.readBytes(answer.length);
  return answer;
}

GpibAnswer GpibClient::write(int address, std::string_view data, bool eoi) {
  if (!request('W', address, eoi ? 1 : 0, static_cast<std::uint32_t>(data.size()), data)) return {};
  return answer();
}

bool GpibClient::sendRead(int address, std::uint32_t maximum, std::uint32_t timeoutMs) {
  std::string timeout;
  putU32(timeout, timeoutMs);
  return request('R', address, 0, maximum, timeout);
}

GpibAnswer GpibClient::read(int address, std::uint32_t maximum, std::uint32_t timeoutMs) {
  if (!sendRead(address, maximum, timeoutMs)) return {};
  return answer(std::chrono::milliseconds(timeoutMs) + kReplyLimit, true);
}

GpibAnswer GpibClient::interfaceClear() {
  if (!request('I', 0, 0, 0, {})) return {};
  return answer();
}

}  // namespace orvex::test

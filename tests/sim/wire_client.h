// Plain clients for the simulator's three buses, written against the raw
// system interfaces (a pty slave fd, a TCP socket, a Unix socket) so that the
// tests check the simulator and not a shared helper. Every read has a limit.
#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvex::test {

// Generous: a loaded 2-core machine running sanitizer builds in parallel.
inline constexpr std::chrono::milliseconds kReplyLimit{10000};
// How long silence must last to count as "no reply" where silence is the point.
inline constexpr std::chrono::milliseconds kQuietPeriod{300};

class WireClient {
 public:
  static std::optional<WireClient> openSerial(const QString& path);  // raw mode, like the uploader's port
  static std::optional<WireClient> connectTcp(const QString& address, quint16 port);
  static std::optional<WireClient> connectUnix(const QString& path);

  WireClient(WireClient&& other) noexcept;
  WireClient& operator=(WireClient&& other) noexcept;
  WireClient(const WireClient&) = delete;
  WireClient& operator=(const WireClient&) = delete;
  ~WireClient();

  bool send(std::string_view bytes);
  // Exactly `count` bytes, or what came before the limit.
  std::string readBytes(std::size_t count, std::chrono::milliseconds limit = kReplyLimit);
  // Up to and including the next "\n", or what came before the limit.
  std::string readLine(std::chrono::milliseconds limit = kReplyLimit);
  // Whatever one read returns once something is there.
  std::string readSome(std::chrono::milliseconds limit = kReplyLimit);
  // True when nothing arrives for `period`.
  bool staysQuiet(std::chrono::milliseconds period = kQuietPeriod);
  // True when the peer closed the connection within the limit.
  bool seesClose(std::chrono::milliseconds limit = kReplyLimit);
  void discardInput();  // serial: drops what the port received so far
  void close();
  int fd() const { return fd_; }

 private:
  explicit WireClient(int fd) : fd_(fd) {}
  bool fill(std::chrono::milliseconds limit);  // one read into buffered_; false on time-out or close

  int fd_ = -1;
  std::string buffered_;
  bool closedByPeer_ = false;
};

// The GPIB socket protocol, encoded by hand here so that a mistake in the
// simulator's own encoder cannot hide behind the same mistake in the test.
struct GpibAnswer {
  char status = 0;  // 'K', 'N', 'T'; 0 when no answer came
  std::uint8_t flags = 0;
  std::uint32_t length = 0;
  std::string data;
  bool end() const { return (flags & 0x01) != 0; }
};

class GpibClient {
 public:
  explicit GpibClient(WireClient wire) : wire_(std::move(wire)) {}
  GpibAnswer write(int address, std::string_view data, bool eoi = true);
  GpibAnswer read(int address, std::uint32_t maximum, std::uint32_t timeoutMs);
  GpibAnswer interfaceClear();
  // The read's request only; collect its answer with answer(limit, true).
  bool sendRead(int address, std::uint32_t maximum, std::uint32_t timeoutMs);
  GpibAnswer answer(std::chrono::milliseconds limit = kReplyLimit, bool ofRead = false);

 private:
  bool request(char op, int address, std::uint8_t flags, std::uint32_t length, std::string_view payload);
  WireClient wire_;
};

}  // namespace orvex::test

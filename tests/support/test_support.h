#pragma once
// Helpers shared by the tests: waiting for a condition with a deadline, temporary directories
// and whole files, loopback TCP clients, and what differs between the platforms the tests run
// on. Portable: the platform's part lives in linux/ and win/.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <thread>

namespace test {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kDeadline{20};

// Polls `condition` until it holds or the deadline passes; answers whether it held.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = kDeadline) {
  auto end = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::random_device seed;
    std::mt19937_64 random(seed() ^ static_cast<std::uint64_t>(Clock::now().time_since_epoch().count()));
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      auto candidate = base / ("korvenet-" + std::to_string(random() % 1000000000));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) {
        path_ = candidate;
        return;
      }
    }
  }
  ~TempDir() {
    std::error_code ignored;
    if (path_.empty()) return;
    // A case may have left the directory read-only; the superuser removes it all the same,
    // anyone else needs the permission back.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A blocking loopback TCP client.
class Client {
 public:
  Client() = default;
  explicit Client(int port, int receive_buffer = 0) { Connect(port, receive_buffer); }
  ~Client() { Close(); }
  Client(Client&& other) noexcept : socket_(other.socket_) { other.socket_ = kNone; }
  Client& operator=(Client&& other) noexcept {
    std::swap(socket_, other.socket_);
    return *this;
  }

  // Connects to 127.0.0.1 at `port`, with no send coalescing. A receive buffer set before
  // connecting (0: the system's, which grows as the peer reads) makes a peer that does not read
  // fill up quickly.
  bool Connect(int port, int receive_buffer = 0);
  // Connects from the local IPv4 address `source` (bound before connecting, any port) to
  // `destination` at `port`: a peer of another address of the loopback range (127.0.0.2).
  bool ConnectFrom(const std::string& source, int port, const std::string& destination = "127.0.0.1");
  bool connected() const { return socket_ != kNone; }
  std::intptr_t fd() const { return socket_; }
  // The local port of the connection (0 when not connected).
  int LocalPort() const;

  bool SendAll(const std::string& bytes);
  // Sends one byte of urgent data (out of band).
  bool SendUrgent(char byte);
  // Reads until `count` bytes came, the peer closed, or the deadline passed.
  std::string Receive(std::size_t count, std::chrono::milliseconds timeout = kDeadline);
  // True when nothing arrives within `quiet` (used to check that bytes were not delivered).
  bool NothingWithin(std::chrono::milliseconds quiet);
  // True once the peer has closed the connection (end of stream or reset) within the timeout.
  bool ClosedByPeer(std::chrono::milliseconds timeout = kDeadline);
  // Closes with a reset instead of an orderly close.
  void Reset();
  void Close();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t socket_ = kNone;
};

// A port that was free a moment ago and that no other test process is given meanwhile (on Linux,
// taken below the ephemeral range, whose ports outgoing connections take).
int FreePort();
// True when `port` of all local addresses can be bound right now.
bool PortIsFree(int port);
// The port of a TCP service name in the system's services database, 0 when it has none.
int TcpServicePort(const std::string& name);

// Bytes waiting in a socket of the code under test, asked of the system directly.
int SystemBytesWaiting(std::intptr_t socket);
// Fixes the send buffer of a socket of the code under test at `bytes`, so that the system never
// grows it: a peer that reads nothing then fills it for good, whatever the system would choose.
bool FixSendBuffer(std::intptr_t socket, int bytes = 64 * 1024);

// The options of a socket of the code under test as the system reports them; -1 where one
// cannot be read.
struct SocketOptions {
  int reuse_address = -1, no_delay = -1, keep_alive = -1;
  bool keepalive_timing_readable = false;  // Windows before 10 cannot read it back
  int keepalive_idle_s = -1, keepalive_interval_s = -1, keepalive_count = -1;
};
SocketOptions OptionsOf(std::intptr_t socket);

// True once a connected socket of the code under test sees that its peer reset the connection.
bool SocketSeesReset(std::intptr_t socket, std::chrono::milliseconds timeout = kDeadline);

// Holds a file open for writing the way another program would, shutting out other writers
// and, on Windows, readers that shut out writers.
class HeldByWriter {
 public:
  explicit HeldByWriter(const std::string& path);
  ~HeldByWriter();
  HeldByWriter(const HeldByWriter&) = delete;
  HeldByWriter& operator=(const HeldByWriter&) = delete;
  bool locked() const { return locked_; }

 private:
  std::intptr_t handle_ = -1;
  bool locked_ = false;
};

// System error codes the tests expect, as the platform numbers them.
extern const int kErrorConnectionReset;  // the peer reset the connection
extern const int kErrorAddressInUse;     // bind to a port that is taken
extern const int kErrorNotASocket;       // a call on a closed socket handle
extern const int kErrorFileHeld;         // reading a file that another writer holds
extern const int kErrorNoSuchService;    // looking up an unknown TCP service name
extern const int kErrorInvalidArgument;  // a call given an argument it cannot take
extern const int kErrorNoUnsentCount;    // asking for a socket's unsent bytes (0: always answered)
// The address reuse the code under test turns on: on Windows it would let another program
// take a port that is bound, so it stays off there.
extern const int kReuseAddressOn;
// True where a socket's read notification that still waits makes a further one superfluous
// (Linux); Windows posts one after every receive that leaves bytes.
extern const bool kOneReadNotificationAtATime;

// True under Wine, which cannot show some of what Windows does (see the README).
bool RunningUnderWine();

}  // namespace test

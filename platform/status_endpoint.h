#pragma once
// The status endpoint: where the operator's tools ask the running service of one installation
// (the executable's directory) what it is doing. Linux: a Unix stream socket in the abstract
// namespace, named after the directory, so that two installations never meet and no file is
// left behind; it serves only root and the service's own user. Windows: a named pipe, likewise
// named, open to Administrators and SYSTEM only and to nobody over the network. The name can
// be taken by anyone first, so a client believes only an endpoint of root (Administrators,
// SYSTEM) or of its own user, and a service that finds its name taken opens again later.
//
// One request per connection: a line of at most kMaxRequest bytes, then one answer, then the
// end. The endpoint belongs to the thread that opens it: that thread answers each request, in
// the message queue it serves anyway (messages.h), and the answer is written without ever
// blocking it. A client that sends no whole request, or takes none of its answer, within
// kClientTimeout is dropped; kMaxClients are served at once and any further client is told it
// is busy and closed at once. Each client turned away is reported to the owner, on its thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

class StatusEndpoint {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::size_t kMaxRequest = 256;
  static constexpr int kMaxClients = 8;
  static constexpr std::chrono::seconds kClientTimeout{5};

  // Why a client was turned away.
  enum class Misuse {
    kRefused,     // its user is not one the endpoint serves
    kTooMany,     // kMaxClients were being served
    kTooLong,     // its request was longer than kMaxRequest
    kSilent,      // it sent no whole request within the time-out
    kNotReading,  // it took none of its answer within the time-out
  };

  // Answers a request (the line without its end).
  using Answerer = std::function<std::string(const std::string& request)>;
  using MisuseReport = std::function<void(Misuse misuse)>;

  // Opens the endpoint of `directory` for the calling thread; see Error.
  StatusEndpoint(const std::string& directory, Answerer answer, MisuseReport misuse);
  // Owning thread, or any thread once it has ended.
  ~StatusEndpoint();
  StatusEndpoint(const StatusEndpoint&) = delete;
  StatusEndpoint& operator=(const StatusEndpoint&) = delete;

  // 0 when open; else the system's error code (a name held already, by another running
  // instance of the same directory or by any other process, is "in use" on Linux and "access
  // denied" on Windows). The owner may make a new endpoint later to try again.
  int Error() const;
  // Owning thread. When the name is held already: who holds it, as far as the system tells
  // ("process 4711 of user 65534"; Windows does not tell), else empty.
  std::string Holder() const;

  // Owning thread. True while clients are being served whose time-out this thread keeps: Tick
  // should then come soon (every pass of a run loop).
  bool Serving() const;
  // Drops the clients whose time is up.
  void Tick(Clock::time_point now);

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// What asking an endpoint came to.
enum class StatusAsk {
  kAnswered,   // `answer` holds the answer
  kNoService,  // nothing answers for the directory: no service runs
  kRefused,    // the service does not serve this user
  kBusy,       // the service was reached, but had no place for the client within the time-out
  kForeign,    // a process of another user (not root) holds the endpoint: not the service
  kTooLong,    // the answer would be longer than kMaxAnswer
};

struct StatusReply {
  StatusAsk result = StatusAsk::kNoService;
  std::string answer;
  std::string holder;  // kForeign: who holds the endpoint ("process 4711 of user 65534")
};

// The longest answer a client takes.
inline constexpr std::size_t kMaxAnswer = 16u << 20;

// Sends `request` to the endpoint of `directory` and reads its answer, waiting at most
// `timeout` in all: a service that turns the client away as busy, or closes on it without a
// word (short of descriptors), is asked again until then. Any thread.
StatusReply AskStatusEndpoint(const std::string& directory, const std::string& request,
                              std::chrono::milliseconds timeout);

namespace detail {

// The endpoint's name: "korvenet-status-" and 16 hexadecimal digits of a hash of `key` (the
// directory, as the platform compares paths).
inline std::string StatusEndpointName(std::string_view key) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (char c : key) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string name = "korvenet-status-";
  for (int shift = 60; shift >= 0; shift -= 4) name += kDigits[(hash >> shift) & 0xF];
  return name;
}

// How an answer travels: "OK <length>\n" and the answer's bytes, kRefusal, or kBusyFrame for a
// client that found no place.
inline constexpr char kRefusal[] = "DENIED\n";
inline constexpr char kBusyFrame[] = "BUSY\n";
inline std::string AnswerFrame(const std::string& answer) {
  return "OK " + std::to_string(answer.size()) + "\n" + answer;
}

// Reads a frame from the bytes received so far: kAnswered with the answer once it is whole,
// kRefused, kBusy, kTooLong for a length over kMaxAnswer, kNoService while it is not whole
// yet, or with `broken` set when the bytes are no frame.
inline StatusReply ReadFrame(const std::string& bytes, bool& broken) {
  StatusReply reply;
  const std::size_t end = bytes.find('\n');
  broken = end == std::string::npos && bytes.size() > 32;  // a head is short
  if (end == std::string::npos) return reply;
  const std::string_view head(bytes.data(), end + 1);
  if (head == kRefusal || head == kBusyFrame) {
    reply.result = head == kRefusal ? StatusAsk::kRefused : StatusAsk::kBusy;
    return reply;
  }
  broken = head.size() < 5 || head.size() > 19 || head.substr(0, 3) != "OK ";
  std::uint64_t length = 0;  // of at most 15 digits
  for (std::size_t i = 3; !broken && i + 1 < head.size(); ++i) {
    broken = head[i] < '0' || head[i] > '9';
    length = length * 10 + static_cast<std::uint64_t>(head[i] - '0');
  }
  if (!broken && length > kMaxAnswer) reply.result = StatusAsk::kTooLong;
  if (broken || length > kMaxAnswer || bytes.size() - end - 1 < length) return reply;
  reply.result = StatusAsk::kAnswered;
  reply.answer = bytes.substr(end + 1, static_cast<std::size_t>(length));
  return reply;
}

}  // namespace detail
}  // namespace platform

// The status endpoint on Windows: a named pipe, open to Administrators and SYSTEM and to nobody
// over the network. Pipes do not signal a window, so a thread of the endpoint's own does the
// pipe's overlapped I/O and keeps the time-outs; it posts each whole request to a window of the
// owning thread, whose procedure answers it there and hands the answer back, and it posts each
// client it turned away, so that the owner hears of it on its own thread. The owning thread
// never waits for a client. Anyone may create the pipe's name first; a client therefore opens
// the pipe for identification only (the server cannot act as the client) and believes only a
// pipe owned by SYSTEM, the Administrators or its own user (or the owner its own objects get):
// the owner of a kernel object is a user or group of its creator's token that may own objects,
// which a process of another user cannot forge. (The
// server process's id, GetNamedPipeServerProcessId, came only after Windows XP, and the
// service's process is not known to a client run by hand.)

#include "platform/status_endpoint.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/messages.h"
#include "platform/win/windows_api.h"

#include <aclapi.h>
#include <sddl.h>

namespace platform {
namespace {

constexpr std::uint32_t kRequestMessage = kWmUser + 1;  // wparam: the client's number
constexpr std::uint32_t kMisuseMessage = kWmUser + 2;   // wparam: the Misuse
constexpr DWORD kOutBuffer = 64 * 1024;

// Paths compare without regard to letter case on Windows.
std::string PipeName(const std::string& directory) {
  std::string key = directory;
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return "\\\\.\\pipe\\" + detail::StatusEndpointName(key);
}

// One connection of the pipe, from its wait for a client to its end.
struct Instance {
  enum State { kConnecting, kReading, kAnswering, kWriting, kEnding };

  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED overlapped{};
  bool pending = false;  // an overlapped call is under way
  State state = kConnecting;
  std::uintptr_t number = 0;
  StatusEndpoint::Clock::time_point deadline = StatusEndpoint::Clock::time_point::max();
  std::string request;
  char buffer[StatusEndpoint::kMaxRequest + 1];
  std::string out;
  std::size_t sent = 0;

  ~Instance() {
    if (pending) {
      ::CancelIo(pipe);
      DWORD ignored = 0;
      ::GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
    }
    if (pipe != INVALID_HANDLE_VALUE) {
      ::DisconnectNamedPipe(pipe);
      ::CloseHandle(pipe);
    }
    if (event) ::CloseHandle(event);
  }
};

}  // namespace

class StatusEndpoint::Impl {
 public:
  Impl(const std::string& directory, Answerer answer, MisuseReport misuse)
      : name_(PipeName(directory)), answer_(std::move(answer)), misuse_(std::move(misuse)) {
    window_ = CreateNotificationWindow([this](const Message& message) -> std::intptr_t {
      if (message.id == kRequestMessage) Answer(message.wparam);
      if (message.id == kMisuseMessage && misuse_) misuse_(static_cast<Misuse>(message.wparam));
      return 0;
    });
    // Denied to the network's logons; granted to SYSTEM and the Administrators.
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)",
                                                                SDDL_REVISION_1, &security_, nullptr)) {
      error_ = static_cast<int>(::GetLastError());
      return;
    }
    stop_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    answered_ = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    // Made here, so that a name another instance holds fails the open; its wait for a client
    // is started by the pipe's thread, which alone can cancel what it started.
    std::unique_ptr<Instance> first = MakeInstance(true);
    if (!first) return;
    thread_ = std::thread([this, first = std::move(first)]() mutable {
      std::vector<std::unique_ptr<Instance>> instances;
      if (WaitForClient(*first)) instances.push_back(std::move(first));
      Serve(std::move(instances));
    });
  }

  ~Impl() {
    if (thread_.joinable()) {
      ::SetEvent(stop_);
      thread_.join();
    }
    DestroyNotificationWindow(window_);
    for (HANDLE h : {stop_, answered_}) {
      if (h) ::CloseHandle(h);
    }
    if (security_) ::LocalFree(security_);
  }

  int error() const { return error_; }

 private:
  // ---- The owning thread ----

  void Answer(std::uintptr_t number) {
    std::string request;
    {
      std::lock_guard<std::mutex> hold(lock_);
      auto it = requests_.find(number);
      if (it == requests_.end()) return;
      request = std::move(it->second);
      requests_.erase(it);
    }
    std::string frame = detail::AnswerFrame(answer_(request));
    {
      std::lock_guard<std::mutex> hold(lock_);
      answers_[number] = std::move(frame);
    }
    ::SetEvent(answered_);
  }

  // ---- The pipe's thread ----

  // A new instance of the pipe that waits for a client; null when it cannot be made.
  std::unique_ptr<Instance> Listen() {
    std::unique_ptr<Instance> instance = MakeInstance(false);
    return instance && WaitForClient(*instance) ? std::move(instance) : nullptr;
  }

  std::unique_ptr<Instance> MakeInstance(bool first) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security_, FALSE};
    auto instance = std::make_unique<Instance>();
    instance->pipe = ::CreateNamedPipeA(
        name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, kOutBuffer, kMaxRequest + 1, 0,
        &attributes);
    instance->event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (instance->pipe == INVALID_HANDLE_VALUE || !instance->event) {
      if (first) error_ = static_cast<int>(::GetLastError());
      return nullptr;
    }
    instance->number = ++next_number_;
    instance->overlapped.hEvent = instance->event;
    return instance;
  }

  // The pipe's thread: starts the instance's wait for a client.
  static bool WaitForClient(Instance& instance) {
    if (::ConnectNamedPipe(instance.pipe, &instance.overlapped) || ::GetLastError() == ERROR_IO_PENDING) {
      instance.pending = true;
    } else if (::GetLastError() == ERROR_PIPE_CONNECTED) {
      ::SetEvent(instance.event);  // a client came before the wait: handled as a connect
    } else {
      return false;
    }
    return true;
  }

  void Serve(std::vector<std::unique_ptr<Instance>> instances) {
    while (true) {
      if (std::none_of(instances.begin(), instances.end(), [](const auto& i) { return i->state == Instance::kConnecting; })) {
        if (auto instance = Listen()) instances.push_back(std::move(instance));
      }
      std::vector<HANDLE> handles{stop_, answered_};
      auto next = Clock::time_point::max();
      for (const auto& instance : instances) {
        handles.push_back(instance->event);
        next = std::min(next, instance->deadline);
      }
      DWORD wait = INFINITE;
      if (next != Clock::time_point::max()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        wait = static_cast<DWORD>(std::clamp<long long>(left + 1, 0, 60000));
      }
      const DWORD woke = ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, wait);
      if (woke == WAIT_OBJECT_0) return;
      if (woke == WAIT_OBJECT_0 + 1) TakeAnswers(instances);
      if (woke >= WAIT_OBJECT_0 + 2 && woke < WAIT_OBJECT_0 + handles.size()) {
        Instance& instance = *instances[woke - WAIT_OBJECT_0 - 2];
        ::ResetEvent(instance.event);
        Advance(instance, Busy(instances));
      }
      const auto now = Clock::now();
      for (auto& instance : instances) {
        if (instance->deadline > now) continue;
        if (instance->state == Instance::kReading) Report(Misuse::kSilent);
        if (instance->state == Instance::kWriting) Report(Misuse::kNotReading);
        instance.reset();
      }
      instances.erase(std::remove(instances.begin(), instances.end(), nullptr), instances.end());
      for (auto& instance : instances) {
        if (instance->pipe == INVALID_HANDLE_VALUE) instance.reset();  // ended
      }
      instances.erase(std::remove(instances.begin(), instances.end(), nullptr), instances.end());
    }
  }

  static int Busy(const std::vector<std::unique_ptr<Instance>>& instances) {
    return static_cast<int>(std::count_if(instances.begin(), instances.end(),
                                          [](const auto& i) { return i->state != Instance::kConnecting; }));
  }

  // The instance's overlapped call completed (or the client came at once): the next step.
  void Advance(Instance& instance, int busy) {
    DWORD done = 0;
    const bool ok = !instance.pending || ::GetOverlappedResult(instance.pipe, &instance.overlapped, &done, FALSE);
    instance.pending = false;
    switch (instance.state) {
      case Instance::kConnecting:
        if (!ok) return End(instance);
        if (busy >= kMaxClients) {
          // Told so, the client asks again later.
          Report(Misuse::kTooMany);
          instance.out = detail::kBusyFrame;
          instance.state = Instance::kWriting;
          instance.deadline = Clock::now() + kClientTimeout;
          return Write(instance);
        }
        instance.state = Instance::kReading;
        instance.deadline = Clock::now() + kClientTimeout;
        return Read(instance);
      case Instance::kReading:
        if (!ok || done == 0) {
          // The client ended its side: what came is the request.
          if (instance.request.empty()) return End(instance);
          return Request(instance);
        }
        instance.request.append(instance.buffer, done);
        if (const std::size_t end = instance.request.find('\n'); end != std::string::npos) {
          instance.request.resize(end);
          return Request(instance);
        }
        if (instance.request.size() > kMaxRequest) {
          Report(Misuse::kTooLong);
          return End(instance);
        }
        return Read(instance);
      case Instance::kWriting:
        if (!ok) return End(instance);
        instance.sent += done;
        instance.deadline = Clock::now() + kClientTimeout;
        return Write(instance);
      case Instance::kEnding:
      case Instance::kAnswering:
        return End(instance);  // the client closed, or sent more than its request
    }
  }

  void Read(Instance& instance) {
    const DWORD room = static_cast<DWORD>(kMaxRequest + 1 - instance.request.size());
    Start(instance, ::ReadFile(instance.pipe, instance.buffer, room, nullptr, &instance.overlapped));
  }

  void Write(Instance& instance) {
    if (instance.sent >= instance.out.size()) {
      // Whole: the client reads it and closes; the end of its side ends the instance.
      instance.state = Instance::kEnding;
      return Start(instance, ::ReadFile(instance.pipe, instance.buffer, 1, nullptr, &instance.overlapped));
    }
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(instance.out.size() - instance.sent, kOutBuffer));
    Start(instance, ::WriteFile(instance.pipe, instance.out.data() + instance.sent, size, nullptr, &instance.overlapped));
  }

  // After an overlapped call: its completion signals the instance's event either way.
  void Start(Instance& instance, BOOL completed) {
    if (completed || ::GetLastError() == ERROR_IO_PENDING) {
      instance.pending = true;
    } else {
      End(instance);
    }
  }

  void Request(Instance& instance) {
    if (!instance.request.empty() && instance.request.back() == '\r') instance.request.pop_back();
    instance.state = Instance::kAnswering;
    {
      std::lock_guard<std::mutex> hold(lock_);
      requests_[instance.number] = std::move(instance.request);
    }
    if (!PostMessageTo(window_, kRequestMessage, instance.number, 0)) End(instance);
  }

  void TakeAnswers(std::vector<std::unique_ptr<Instance>>& instances) {
    std::map<std::uintptr_t, std::string> answers;
    {
      std::lock_guard<std::mutex> hold(lock_);
      answers.swap(answers_);
    }
    for (auto& instance : instances) {
      auto it = answers.find(instance->number);
      if (it == answers.end() || instance->state != Instance::kAnswering) continue;
      instance->out = std::move(it->second);
      instance->state = Instance::kWriting;
      instance->deadline = Clock::now() + kClientTimeout;
      Write(*instance);
    }
  }

  // Marks the instance for its end, which Serve carries out.
  void End(Instance& instance) {
    if (instance.pending) {
      ::CancelIo(instance.pipe);
      DWORD ignored = 0;
      ::GetOverlappedResult(instance.pipe, &instance.overlapped, &ignored, TRUE);
      instance.pending = false;
    }
    ::DisconnectNamedPipe(instance.pipe);
    ::CloseHandle(instance.pipe);
    instance.pipe = INVALID_HANDLE_VALUE;
    std::lock_guard<std::mutex> hold(lock_);
    requests_.erase(instance.number);
  }

  void Report(Misuse why) { PostMessageTo(window_, kMisuseMessage, static_cast<std::uintptr_t>(why), 0); }

  const std::string name_;
  Answerer answer_;
  MisuseReport misuse_;
  WindowHandle window_ = 0;
  PSECURITY_DESCRIPTOR security_ = nullptr;
  HANDLE stop_ = nullptr;
  HANDLE answered_ = nullptr;  // an answer waits in answers_
  std::atomic<int> error_{0};
  std::uintptr_t next_number_ = 0;  // the pipe's thread, after the first
  std::mutex lock_;                 // guards requests_ and answers_
  std::map<std::uintptr_t, std::string> requests_;
  std::map<std::uintptr_t, std::string> answers_;
  std::thread thread_;
};

StatusEndpoint::StatusEndpoint(const std::string& directory, Answerer answer, MisuseReport misuse)
    : impl_(std::make_unique<Impl>(directory, std::move(answer), std::move(misuse))) {}
StatusEndpoint::~StatusEndpoint() = default;
int StatusEndpoint::Error() const { return impl_->error(); }
// Windows does not tell who created a pipe whose name is taken.
std::string StatusEndpoint::Holder() const { return std::string(); }
// The pipe's thread keeps the time-outs itself.
bool StatusEndpoint::Serving() const { return false; }
void StatusEndpoint::Tick(Clock::time_point) {}

namespace {

// Waits for the overlapped call on `pipe` that `issued` started, until `deadline`; answers the
// bytes it moved, or -1 when it failed or the time is up (the call is then cancelled).
long Complete(HANDLE pipe, OVERLAPPED& overlapped, BOOL issued, StatusEndpoint::Clock::time_point deadline) {
  if (!issued && ::GetLastError() != ERROR_IO_PENDING) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - StatusEndpoint::Clock::now());
  DWORD done = 0;
  if (::WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(std::max<long long>(left.count(), 0))) !=
      WAIT_OBJECT_0) {
    ::CancelIo(pipe);
    ::GetOverlappedResult(pipe, &overlapped, &done, TRUE);
    return -1;
  }
  return ::GetOverlappedResult(pipe, &overlapped, &done, FALSE) ? static_cast<long>(done) : -1;
}

// Who owns the pipe, when it is not SYSTEM, the Administrators or the caller's own user;
// empty when the pipe is to be believed.
std::string ForeignOwner(HANDLE pipe) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
    return "an owner that cannot be read";
  }
  bool trusted = ::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
  // The caller's own user, or the owner its own objects get (the same user, or the
  // Administrators, on Windows; Wine gives a group of the user's).
  HANDLE token = nullptr;
  if (!trusted && ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    alignas(TOKEN_USER) char buffer[256];
    DWORD size = 0;
    trusted = (::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
               ::EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid)) ||
              (::GetTokenInformation(token, TokenOwner, buffer, sizeof buffer, &size) &&
               ::EqualSid(owner, reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner));
    ::CloseHandle(token);
  }
  std::string who;
  char* text = nullptr;
  if (!trusted) {
    who = ::ConvertSidToStringSidA(owner, &text) ? std::string("a process of user ") + text : "a process of another user";
  }
  if (text) ::LocalFree(text);
  ::LocalFree(descriptor);
  return who;
}

// One attempt on an open pipe; kBusy when the service was reached but gave no answer.
StatusReply Ask(HANDLE pipe, const std::string& request, StatusEndpoint::Clock::time_point deadline) {
  StatusReply reply;
  reply.holder = ForeignOwner(pipe);
  if (!reply.holder.empty()) {
    reply.result = StatusAsk::kForeign;
    return reply;
  }
  OVERLAPPED overlapped{};
  overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const std::string line = request + "\n";
  // A refusal or a full house may have ended the connection already: read what it said.
  Complete(pipe, overlapped, ::WriteFile(pipe, line.data(), static_cast<DWORD>(line.size()), nullptr, &overlapped),
           deadline);
  std::string received;
  bool broken = false;
  while (true) {
    char buffer[65536];
    ::ResetEvent(overlapped.hEvent);
    const long n = Complete(pipe, overlapped, ::ReadFile(pipe, buffer, sizeof buffer, nullptr, &overlapped), deadline);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
    reply = detail::ReadFrame(received, broken);
    if (broken || reply.result != StatusAsk::kNoService) break;
  }
  ::CloseHandle(overlapped.hEvent);
  if (!broken && reply.result == StatusAsk::kNoService) reply.result = StatusAsk::kBusy;
  return reply;
}

}  // namespace

StatusReply AskStatusEndpoint(const std::string& directory, const std::string& request,
                              std::chrono::milliseconds timeout) {
  const std::string name = PipeName(directory);
  const auto deadline = StatusEndpoint::Clock::now() + timeout;
  DWORD pause_ms = 10;
  while (true) {
    // Identification only: the server may learn who asks, but cannot act as the client.
    HANDLE pipe = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    StatusReply reply;
    if (pipe != INVALID_HANDLE_VALUE) {
      reply = Ask(pipe, request, deadline);
      ::CloseHandle(pipe);
    } else if (::GetLastError() == ERROR_ACCESS_DENIED) {
      reply.result = StatusAsk::kRefused;
    } else if (::GetLastError() == ERROR_PIPE_BUSY) {
      reply.result = StatusAsk::kBusy;  // every instance busy: wait for one
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - StatusEndpoint::Clock::now()).count();
    if (reply.result != StatusAsk::kBusy || left <= 0) return reply;
    if (pipe == INVALID_HANDLE_VALUE) {
      ::WaitNamedPipeA(name.c_str(), static_cast<DWORD>(std::min<long long>(100, left)));
    } else {
      ::Sleep(static_cast<DWORD>(std::min<long long>(pause_ms, left)));
      pause_ms = std::min<DWORD>(pause_ms * 2, 200);
    }
  }
}

}  // namespace platform

#include "bench_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace bench {

Process::Process(const std::vector<std::string>& argv, const std::string& directory,
                 const std::string& output) {
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);  // its own group, so that Stop also ends what it forked
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // and it ends with a benchmark that was killed
    if (!directory.empty() && chdir(directory.c_str()) != 0) _exit(127);
    int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (pid_ > 0) setpgid(pid_, pid_);  // also here: a Stop may come before the child ran
}

Process::~Process() { Stop(); }

bool Process::Running() {
  if (pid_ <= 0) return false;
  if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void Process::Stop() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  for (int i = 0; i < 500; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(-pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int BindDatagramSocket(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  unlink(path.c_str());
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

StatusListener::StatusListener(std::string path) : path_(std::move(path)) {
  fd_ = BindDatagramSocket(path_);
  thread_ = std::thread([this] { Run(); });
}

StatusListener::~StatusListener() {
  stop_ = true;
  thread_.join();
  close(fd_);
  unlink(path_.c_str());
}

std::vector<Clock::time_point> StatusListener::RunningReportsSince(Clock::time_point from) {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<Clock::time_point> out;
  for (auto t : running_reports_)
    if (t >= from) out.push_back(t);
  return out;
}

void StatusListener::Run() {
  char buffer[1024];
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    ssize_t n = recv(fd_, buffer, sizeof buffer - 1, 0);
    if (n <= 0) continue;
    buffer[n] = '\0';
    if (std::strstr(buffer, "X_STATE=4\n")) {
      std::lock_guard<std::mutex> hold(lock_);
      running_reports_.push_back(Clock::now());
    }
  }
}

int ConnectLoopback(int port, int receive_buffer) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receive_buffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

int ConnectWithRetry(int port, std::chrono::milliseconds timeout) {
  auto end = Clock::now() + timeout;
  while (Clock::now() < end) {
    int fd = ConnectLoopback(port);
    if (fd >= 0) return fd;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReceiveExactly(int fd, char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = recv(fd, data, size, 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool TimedRoundTrips(int fd, int rounds, std::vector<double>* times_ms) {
  static const char request[8] = {1, 3, 0, 0, 0, 10, 'x', 'y'};
  char reply[8];
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    if (!SendAll(fd, request, sizeof request) || !ReceiveExactly(fd, reply, sizeof reply)) return false;
    if (times_ms) times_ms->push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return true;
}

std::pair<double, double> MedianAndP99(std::vector<double> times_ms) {
  if (times_ms.empty()) return {-1, -1};
  std::sort(times_ms.begin(), times_ms.end());
  return {times_ms[times_ms.size() / 2], times_ms[times_ms.size() * 99 / 100]};
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

std::pair<int, int> FreePortPair() {
  while (true) {
    int a = FreePort(), b = FreePort();
    if (a != b) return {a, b};
  }
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

short WaitFor(int fd, short events, Clock::time_point deadline) {
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
    if (n > 0) return p.revents;
    if (n < 0 && errno != EINTR) return 0;
  }
}

bool WriteAllUntil(int fd, const char* data, std::size_t size, Clock::time_point deadline) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      short ready = WaitFor(fd, POLLOUT, deadline);
      if (ready == 0) return false;
      // A hang-up without room to write: do not spin on it.
      if (!(ready & POLLOUT)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } else {
      return false;
    }
  }
  return true;
}

double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return 0;
  std::istringstream fields(text.substr(close_paren + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

namespace {

// The number after `key` in a "key: number unit" file of /proc; 0 when it has none.
long ProcField(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  std::string word;
  long value = 0;
  std::string rest;
  while (in >> word) {
    if (word == key) {
      in >> value;
      return value;
    }
    std::getline(in, rest);
  }
  return 0;
}

}  // namespace

long PssKiB(pid_t pid) { return ProcField("/proc/" + std::to_string(pid) + "/smaps_rollup", "Pss:"); }

long RssKiB(pid_t pid) { return ProcField("/proc/" + std::to_string(pid) + "/status", "VmRSS:"); }

std::vector<pid_t> ChildrenOf(pid_t pid) {
  std::vector<pid_t> out;
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  pid_t child;
  while (in >> child) out.push_back(child);
  return out;
}

ConsoleRelay::ConsoleRelay(const std::string& exe, const std::string& channel_file) : dir_(MakeTempDir()) {
  WriteFile(dir_ + "/cnf_port.cfg", channel_file);
  std::filesystem::copy_file(exe, dir_ + "/tcp_port_serv");
  process_ = std::make_unique<Process>(std::vector<std::string>{dir_ + "/tcp_port_serv", "-console"}, dir_,
                                       dir_ + "/console.txt");
}

ConsoleRelay::~ConsoleRelay() {
  process_.reset();
  RemoveTree(dir_);
}

std::string ConsoleRelay::Console() const {
  std::ifstream in(dir_ + "/console.txt", std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string TcpChannelLine(int device, int server) {
  return std::to_string(device) + ";0;2;" + std::to_string(server) + ";bench\r\n";
}

std::string ParseBenchArguments(int argc, char** argv, const BenchOptions& options, const char* usage) {
  std::string exe;
  bool ok = true;
  for (int i = 1; i < argc && ok; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (auto number = options.numbers.find(arg); number != options.numbers.end() && has_value) {
      *number->second = std::atoi(argv[++i]);
      ok = *number->second > 0;
    } else if (auto text = options.texts.find(arg); text != options.texts.end() && has_value) {
      *text->second = argv[++i];
    } else if (auto flag = options.switches.find(arg); flag != options.switches.end()) {
      *flag->second = true;
    } else if (arg == "--earlier" && options.earlier && has_value) {
      *options.earlier = std::filesystem::absolute(argv[++i]).string();
    } else if (exe.empty() && !arg.empty() && arg[0] != '-') {
      exe = std::filesystem::absolute(arg).string();
    } else {
      ok = false;
    }
  }
  if (!ok || exe.empty()) {
    std::fprintf(stderr, "usage: %s <tcp_port_serv> %s\n", argv[0], usage);
    std::exit(2);
  }
  return exe;
}

bool Selected(const std::string& only, const char* part) {
  return only.empty() || ("," + only + ",").find(std::string(",") + part + ",") != std::string::npos;
}

void RaiseFileLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

std::string MakeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "korvenet-bench-XXXXXX").string();
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
}

std::string RelayExecutableArgument(int argc, char** argv, const char* more_usage) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <path to tcp_port_serv>%s\n", argv[0], more_usage);
    std::exit(2);
  }
  return std::filesystem::absolute(argv[1]).string();
}

void Row(const char* name, const char* unit, double ours, double theirs, bool higher_is_better, int decimals) {
  const double ratio = (ours > 0 && theirs > 0) ? (higher_is_better ? ours / theirs : theirs / ours) : 0;
  std::printf("| %-34s | %10.*f | %10.*f | %-6s | %5.2fx |\n", name, decimals, ours, decimals, theirs, unit, ratio);
}

}  // namespace bench

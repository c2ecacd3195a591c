// Opening and closing ports on pseudo-terminals.
#include <errno.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <fstream>

#include <gtest/gtest.h>

#include "serial/com_port.h"
#include "serial/com_thread.h"
#include "tests/serial/serial_test_support.h"

extern char** environ;

namespace serial_test {
std::uint32_t OutputRateOf(int fd);
}

namespace {

using serial_test::ComErrorOf;
using serial_test::PtyPair;

// When started as a child with this variable set, the test program only tries to open the
// named port and reports the outcome as its exit code: 0 opened, 10 code 1, 11 another code.
[[maybe_unused]] const int child_open_result = [] {
  const char* name = std::getenv("KORVENET_SERIAL_CHILD_OPEN");
  if (!name) return 0;
  int result = 0;
  try {
    TComPort port;
    port.SetEvents({});
    port.SetPort(name);
    port.SetConnected(true);
  } catch (const EComPort& e) {
    result = e.ComErrorCode() == 1 ? 10 : 11;
  } catch (...) {
    result = 12;
  }
  std::_Exit(result);
}();

// Runs this program as a child that tries to open `name`; answers its exit code.
int OpenFromAnotherProcess(const std::string& name) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) env_strings.emplace_back(*e);
  env_strings.push_back("KORVENET_SERIAL_CHILD_OPEN=" + name);
  std::vector<char*> env;
  for (auto& s : env_strings) env.push_back(s.data());
  env.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, nullptr};
  pid_t pid;
  if (posix_spawn(&pid, self, nullptr, nullptr, argv, env.data()) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class SerialOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    main_thread::SetMainThread();
    ASSERT_TRUE(pty.ok());
  }
  PtyPair pty;
};

TEST_F(SerialOpen, DefaultSettingsReachTheTerminal) {
  TComPort port;
  port.SetPort(pty.slave());
  port.SetConnected(true);
  ASSERT_TRUE(port.Connected());
  ASSERT_NE(port.EventThread(), nullptr);

  termios t = pty.Settings();
  EXPECT_EQ(cfgetospeed(&t), B9600);
  EXPECT_EQ(cfgetispeed(&t), B9600);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | INPCK | ICRNL | ISTRIP));
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_TRUE(t.c_cflag & (CLOCAL | CREAD));

  port.SetConnected(false);
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(port.EventThread(), nullptr);
}

TEST_F(SerialOpen, LineSettingsChangedWhileOpenAreAppliedAtOnce) {
  // A pseudo-terminal keeps speed, stop bits and flow control (it forces 8 data bits and no
  // parity, so those are checked on the control block only).
  TComPort port;
  port.SetEvents({});
  port.SetPort(pty.slave());
  port.SetConnected(true);
  port.SetBaudRate(br19200);
  port.SetStopBits(sbTwoStopBits);
  port.FlowControl().SetFlowControl(fcSoftware);
  termios t = pty.Settings();
  EXPECT_EQ(cfgetospeed(&t), B19200);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE((t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF));
  EXPECT_EQ(t.c_cc[VSTART], 17);
  EXPECT_EQ(t.c_cc[VSTOP], 19);

  port.FlowControl().SetFlowControl(fcHardware);
  port.SetStopBits(sbOneStopBit);
  t = pty.Settings();
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));

  // A rate without a standard speed constant is accepted as well.
  port.SetBaudRate(brCustom);
  port.SetCustomBaudRate(14400);
  EXPECT_EQ(serial_test::OutputRateOf(pty.master()), 14400u);
  port.SetBaudRate(br115200);
  EXPECT_EQ(serial_test::OutputRateOf(pty.master()), 115200u);
  port.Buffer().SetInputSize(4097);  // accepted while open
  EXPECT_EQ(port.Buffer().InputSize(), 4096);
}

TEST_F(SerialOpen, RefusedLineSettingKeepsTheValueAndThePortOpen) {
  TComPort port;
  port.SetEvents({});
  port.SetPort(pty.slave());
  port.SetBaudRate(brCustom);
  port.SetConnected(true);
  auto [code, system_code] = ComErrorOf([&] { port.SetCustomBaudRate(0); });
  EXPECT_EQ(code, 7);
  EXPECT_EQ(system_code, EINVAL);
  EXPECT_EQ(port.CustomBaudRate(), 0);
  EXPECT_TRUE(port.Connected());
  port.SetConnected(false);

  // The same refusal while opening releases the device and leaves the port closed.
  EXPECT_EQ(ComErrorOf([&] { port.SetConnected(true); }).first, 7);
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(OpenFromAnotherProcess(pty.slave()), 0);
}

// An open whose after-open steps raise (the after-open hook, or the last step: the carrier
// line's state, as when the modem lines cannot be read) leaves nothing behind: the port is
// closed, no event thread runs, the device and its lock are free for another opener, and bytes
// that waited on the line are never delivered.
TEST_F(SerialOpen, OpenThatFailsAfterTheDeviceOpenedLeavesNothingBehind) {
  const auto raise = [](TObject*, auto...) { throw EComPort(CError_ModemStatFailed, EIO); };
  for (const bool at_last_step : {true, false}) {
    SCOPED_TRACE(at_last_step ? "last step" : "after-open hook");
    TComPort port;
    std::atomic<int> delivered{0};
    port.OnRxChar = TRxCharEvent::FromFunction([&](TObject*, std::int32_t count) { delivered += count; });
    if (at_last_step) {
      port.OnRLSDChange = TComSignalEvent::FromFunction(raise);
    } else {
      port.OnAfterOpen = TNotifyEvent::FromFunction(raise);
    }
    ASSERT_TRUE(pty.Write("waiting"));
    port.SetPort(pty.slave());
    EXPECT_EQ(ComErrorOf([&] { port.SetConnected(true); }), std::make_pair(11, EIO));
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.EventThread(), nullptr);
    EXPECT_EQ(OpenFromAnotherProcess(pty.slave()), 0) << "the device or its lock is still held";
    EXPECT_FALSE(serial_test::ServeMainThreadUntil([&] { return delivered > 0; }, std::chrono::milliseconds(300)));
    EXPECT_EQ(ComErrorOf([&] { port.PortWrite(ByteString(std::string("x"))); }).first, 2);
  }
}

TEST_F(SerialOpen, BadNamesFailWithCodeOneAndLeaveThePortClosed) {
  test::TempDir dir;
  { std::ofstream(dir.file("plain")) << "not a device"; }
  const std::string names[] = {"/dev/korvenet-no-such-device", "", "COM1 ", " " + pty.slave(),
                               dir.path().string(), dir.file("plain"), "korvenet-no-such"};
  for (const std::string& name : names) {
    TComPort port;
    int before_open = 0;
    port.OnBeforeOpen = TNotifyEvent::FromFunction([&](TObject*) { ++before_open; });
    port.SetPort(name);
    auto [code, system_code] = ComErrorOf([&] { port.SetConnected(true); });
    EXPECT_EQ(code, 1) << "'" << name << "'";
    EXPECT_GT(system_code, 0) << "'" << name << "'";
    EXPECT_EQ(before_open, 1);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.EventThread(), nullptr);
    // A port that failed to open refuses reads and writes.
    EXPECT_EQ(ComErrorOf([&] { port.PortWrite(ByteString(std::string("x"))); }).first, 2);
    ByteString data;
    EXPECT_EQ(ComErrorOf([&] { port.PortRead(data, 4); }).first, 3);
  }
}

TEST_F(SerialOpen, OpeningIsExclusive) {
  TComPort first;
  first.SetPort(pty.slave());
  first.SetConnected(true);

  TComPort second;
  second.SetPort(pty.slave());
  try {
    second.SetConnected(true);
    FAIL() << "second open succeeded";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ComErrorCode(), 1);
    EXPECT_EQ(e.WinErrorCode(), EBUSY);
    EXPECT_EQ(e.Message(), "Unable to open com port (win error code: " + std::to_string(EBUSY) + ")");
  }
  EXPECT_FALSE(second.Connected());
  EXPECT_EQ(OpenFromAnotherProcess(pty.slave()), 10);

  // The failed opens took nothing away from the first port, and closing frees the device.
  EXPECT_EQ(first.PortWrite(ByteString(std::string("ok"))), 2);
  EXPECT_EQ(pty.Read(2), "ok");
  first.SetConnected(false);
  EXPECT_EQ(OpenFromAnotherProcess(pty.slave()), 0);
  second.SetConnected(true);
  EXPECT_TRUE(second.Connected());
}

int LockOwner(const std::string& lock) {
  std::ifstream in(lock);
  int pid = 0;
  in >> pid;
  return pid;
}

// Opens of a path as the system reports them (inotify), so a test sees whether a refused
// port touched the device at all: an open raises DTR and RTS on a real line.
class OpenWatch {
 public:
  explicit OpenWatch(const std::string& path) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0) ::inotify_add_watch(fd_, path.c_str(), IN_OPEN);
  }
  ~OpenWatch() { ::close(fd_); }
  // Opens seen since the last call.
  int Opens() {
    int opens = 0;
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) {
      for (char* at = buffer; at < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(at);
        opens += (event->mask & IN_OPEN) != 0;
        at += sizeof(inotify_event) + event->len;
      }
    }
    return opens;
  }

 private:
  int fd_ = -1;
};

TEST_F(SerialOpen, ARefusedOpenNeverOpensTheDevice) {
  if (::access("/run/lock", W_OK) != 0) GTEST_SKIP() << "no lock directory to write here";
  OpenWatch watch(pty.slave());
  TComPort first;
  first.SetPort(pty.slave());
  first.SetConnected(true);
  EXPECT_GE(watch.Opens(), 1);  // the watch sees opens
  const std::string lock = "/run/lock/LCK.." + pty.slave().substr(5).replace(3, 1, "_");
  EXPECT_EQ(LockOwner(lock), getpid()) << lock;

  TComPort second;
  second.SetPort(pty.slave());
  EXPECT_EQ(ComErrorOf([&] { second.SetConnected(true); }), std::make_pair(1, EBUSY));
  EXPECT_EQ(watch.Opens(), 0) << "the refused port opened the device";
  EXPECT_EQ(OpenFromAnotherProcess(pty.slave()), 10);
  EXPECT_EQ(watch.Opens(), 0) << "the refused process opened the device";

  first.SetConnected(false);
  EXPECT_FALSE(std::filesystem::exists(lock));
}

TEST_F(SerialOpen, AStaleLockIsTakenOver) {
  const std::string lock = "/run/lock/LCK.." + pty.slave().substr(5).replace(3, 1, "_");
  // A process that has ended: this one's child, reaped.
  pid_t gone = ::fork();
  if (gone == 0) std::_Exit(0);
  ASSERT_GT(gone, 0);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  if (::access("/run/lock", W_OK) != 0) GTEST_SKIP() << "no lock directory to write here";
  {
    std::ofstream stale(lock, std::ios::binary);
    stale << std::string(10 - std::to_string(gone).size(), ' ') << gone << "\n";
  }
  TComPort port;
  port.SetPort(pty.slave());
  port.SetConnected(true);
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(LockOwner(lock), getpid());
  port.SetConnected(false);
  EXPECT_FALSE(std::filesystem::exists(lock));
}

TEST_F(SerialOpen, ConnectedAndPortChangesOpenAndCloseOnlyWhenNeeded) {
  TComPort port;
  int opened = 0, closed = 0;
  port.OnAfterOpen = TNotifyEvent::FromFunction([&](TObject*) { ++opened; });
  port.OnAfterClose = TNotifyEvent::FromFunction([&](TObject*) { ++closed; });
  port.SetConnected(false);
  EXPECT_EQ(closed, 0);
  port.SetPort(pty.slave());
  port.SetConnected(true);
  port.SetConnected(true);
  EXPECT_EQ(opened, 1);
  port.SetPort(pty.slave());  // same name: nothing
  EXPECT_EQ(opened, 1);

  PtyPair other;
  ASSERT_TRUE(other.ok());
  port.SetPort(other.slave());  // another name: closed and opened again
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(opened, 2);
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(OpenFromAnotherProcess(pty.slave()), 0);  // the first device was released
}

TEST_F(SerialOpen, OpenAndCloseHooksAndLineStatesInOrder) {
  TComPort port;
  std::vector<std::string> calls;
  auto note = [&](const char* what) { return TNotifyEvent::FromFunction([&, what](TObject*) { calls.push_back(what); }); };
  auto line = [&](const char* what) {
    return TComSignalEvent::FromFunction(
        [&, what](TObject*, bool on) { calls.push_back(std::string(what) + (on ? "+" : "-")); });
  };
  port.OnBeforeOpen = note("before-open");
  port.OnAfterOpen = note("after-open");
  port.OnBeforeClose = note("before-close");
  port.OnAfterClose = note("after-close");
  port.OnCTSChange = line("cts");
  port.OnDSRChange = line("dsr");
  port.OnRLSDChange = line("rlsd");
  port.SetPort(pty.slave());
  port.SetConnected(true);
  port.SetConnected(false);
  // A pseudo-terminal has no modem lines: all read as off.
  std::vector<std::string> expected = {"before-open", "after-open", "cts-",        "dsr-",       "rlsd-",
                                       "cts-",        "dsr-",       "rlsd-",       "before-close", "after-close"};
  EXPECT_EQ(calls, expected);
}

TEST_F(SerialOpen, SyncMethodCannotChangeWhileOpen) {
  TComPort port;
  port.SetPort(pty.slave());
  port.SetConnected(true);
  try {
    port.SetSyncMethod(smNone);
    FAIL() << "no exception";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ComErrorCode(), 14);
    EXPECT_EQ(e.WinErrorCode(), -1);
    EXPECT_EQ(e.Message(), "Cannot set property while connected");
  }
  EXPECT_EQ(port.SyncMethod(), smThreadSync);
  port.SetSyncMethod(smThreadSync);  // the same value is no change
  port.SetConnected(false);
  port.SetSyncMethod(smNone);
  EXPECT_EQ(port.SyncMethod(), smNone);
}

TEST_F(SerialOpen, EmptyEventSetStartsNoThread) {
  TComPort port;
  port.SetEvents({});
  port.SetPort(pty.slave());
  port.SetConnected(true);
  EXPECT_EQ(port.EventThread(), nullptr);
  port.SetConnected(false);
  EXPECT_FALSE(port.Connected());
}

TEST_F(SerialOpen, LoadingStoresConnectedAndOpensWhenLoaded) {
  serial_test::RoutedExceptions routed;
  TComPort port;
  port.BeginLoading();
  port.SetPort(pty.slave());
  port.SetConnected(true);
  EXPECT_EQ(port.EventThread(), nullptr);  // only stored
  port.Loaded();
  EXPECT_TRUE(port.Connected());
  EXPECT_NE(port.EventThread(), nullptr);

  TComPort broken;
  broken.BeginLoading();
  broken.SetPort("/dev/korvenet-no-such-device");
  broken.SetConnected(true);
  broken.Loaded();  // the failure goes to the routing
  EXPECT_FALSE(broken.Connected());
  ASSERT_EQ(routed.Count(), 1u);
  EXPECT_EQ(routed.Sender(0), &broken);
}

TEST_F(SerialOpen, DestroyingAnOpenPortReleasesTheDevice) {
  {
    TComPort port;
    port.SetPort(pty.slave());
    port.SetConnected(true);
  }
  EXPECT_EQ(OpenFromAnotherProcess(pty.slave()), 0);
}

}  // namespace

// The real executable in a temporary directory: a start by hand, a run under a test-bound
// notify socket with signals as control codes, the foreground run, install and uninstall.

#include <signal.h>

#include "tests/service/service_test_support.h"

namespace {

using Env = std::map<std::string, std::string>;
using Fields = std::map<std::string, std::string>;

class MainThreadServiceProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = test::CopyExecutable(dir_.path() / "bin");
    ASSERT_TRUE(notify_.bound());
    ASSERT_TRUE(log_.bound());
  }
  Env ServiceEnv() { return {{"NOTIFY_SOCKET", notify_.path()}, {"KORVENET_EVENTLOG", log_.path()}}; }

  Fields Next() {
    auto datagram = notify_.Receive();
    EXPECT_TRUE(datagram.has_value()) << "no status report";
    return datagram ? test::ParseNotify(*datagram) : Fields{};
  }
  void ExpectState(const Fields& f, const char* state, const char* check_point) {
    EXPECT_EQ(f.at("X_STATE"), state);
    EXPECT_EQ(f.at("X_CHECKPOINT"), check_point) << "state " << state;
  }

  test::TempDir dir_;
  std::string exe_;
  test::DatagramListener notify_{dir_.file("notify")};
  test::DatagramListener log_{dir_.file("log")};
};

TEST_F(MainThreadServiceProcess, StartedByHandLogsTheConnectErrorAndExitsZero) {
  test::ChildProcess child(exe_, {}, {{"NOTIFY_SOCKET", ""}, {"KORVENET_EVENTLOG", log_.path()}});
  ASSERT_TRUE(child.Wait());
  EXPECT_TRUE(child.ExitedNormally());
  EXPECT_EQ(child.ExitCode(), 0);
  test::ExpectSyslogEntry(log_.Receive(), 27, "tcp_port_serv", child.pid(),
                          "The service process could not connect to the service controller");
  EXPECT_FALSE(log_.Receive(std::chrono::milliseconds(0)).has_value());
  EXPECT_EQ(child.Stdout(), "");
  // Besides the entry, the person at the terminal is told what to do instead.
  EXPECT_NE(child.Stderr().find("-console"), std::string::npos) << child.Stderr();
}

TEST_F(MainThreadServiceProcess, ArgumentsThatAreNoSwitchesRunTheService) {
  test::ChildProcess child(exe_, {"-", "/", "", "--install", "install", "-installs"},
                           {{"NOTIFY_SOCKET", ""}, {"KORVENET_EVENTLOG", log_.path()},
                            {"KORVENET_UNIT_DIR", dir_.path().string()}});
  ASSERT_TRUE(child.Wait());
  EXPECT_EQ(child.ExitCode(), 0);
  test::ExpectSyslogEntry(log_.Receive(), 27, "tcp_port_serv", child.pid(),
                          "The service process could not connect to the service controller");
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "Rodivo_vedodaraz.service"));
}

TEST_F(MainThreadServiceProcess, ReportsEachStatusAndStopsOnTerm) {
  test::ChildProcess child(exe_, {}, ServiceEnv());
  Fields f = Next();
  EXPECT_EQ(f["STATUS"], "SERVICE_START_PENDING");
  ExpectState(f, "2", "1");
  EXPECT_EQ(f["X_CONTROLS_ACCEPTED"], "0");
  EXPECT_EQ(f["X_WAIT_HINT"], "5000");
  EXPECT_EQ(f["WATCHDOG"], "1");
  EXPECT_EQ(f.count("READY"), 0u);
  ExpectState(Next(), "2", "2");
  f = Next();
  // While running, the summary of the channels (here no channel file) in place of the name.
  EXPECT_EQ(f["STATUS"], "0 channels: 0 open; 0 devices, 0 servers; 0 bytes relayed");
  ExpectState(f, "4", "0");
  EXPECT_EQ(f["READY"], "1");
  EXPECT_EQ(f["X_CONTROLS_ACCEPTED"], "5");
  EXPECT_EQ(f["X_WAIT_HINT"], "5000");

  child.Signal(SIGHUP);  // interrogate: the same status again
  f = Next();
  ExpectState(f, "4", "0");
  EXPECT_EQ(f["READY"], "1");

  child.Signal(SIGTERM);
  f = Next();
  EXPECT_EQ(f["STATUS"], "SERVICE_STOP_PENDING");
  ExpectState(f, "3", "0");
  EXPECT_EQ(f["STOPPING"], "1");
  EXPECT_EQ(f.count("READY"), 0u);
  f = Next();
  EXPECT_EQ(f["STATUS"], "SERVICE_STOPPED");
  ExpectState(f, "1", "0");
  EXPECT_EQ(f.count("STOPPING"), 0u);
  ASSERT_TRUE(child.Wait());
  EXPECT_TRUE(child.ExitedNormally());
  EXPECT_EQ(child.ExitCode(), 0);
  test::ExpectStartEntry(log_.Receive(std::chrono::milliseconds(0)), child.pid());
  EXPECT_FALSE(log_.Receive(std::chrono::milliseconds(0)).has_value());
}

TEST_F(MainThreadServiceProcess, TermRightAfterTheStartIsNeverLost) {
  for (int signal_number : {SIGTERM, SIGINT, SIGPWR}) {
    test::ChildProcess child(exe_, {}, ServiceEnv());
    Fields f = Next();  // the process has reached the service's start
    ExpectState(f, "2", "1");
    child.Signal(signal_number);
    std::vector<std::string> states;
    while (states.empty() || states.back() != "1") {
      auto datagram = notify_.Receive();
      ASSERT_TRUE(datagram.has_value()) << "signal " << signal_number;
      states.push_back(test::ParseNotify(*datagram)["X_STATE"]);
    }
    EXPECT_EQ(states, (std::vector<std::string>{"2", "4", "3", "1"})) << "signal " << signal_number;
    ASSERT_TRUE(child.Wait());
    EXPECT_EQ(child.ExitCode(), 0);
  }
}

TEST_F(MainThreadServiceProcess, ForegroundRunPrintsStatusAndStopsOnInterrupt) {
  test::ChildProcess child(exe_, {"/CONSOLE"}, {{"NOTIFY_SOCKET", ""}, {"KORVENET_EVENTLOG", log_.path()}});
  ASSERT_TRUE(test::WaitUntil([&] { return child.Stderr().find("SERVICE_RUNNING") != std::string::npos; }));
  child.Signal(SIGINT);
  ASSERT_TRUE(child.Wait());
  EXPECT_EQ(child.ExitCode(), 0);
  EXPECT_EQ(child.Stderr(),
            "Rodivo_vedodaraz: SERVICE_START_PENDING (checkpoint 1, wait hint 5000 ms, controls accepted 0)\n"
            "Rodivo_vedodaraz: SERVICE_START_PENDING (checkpoint 2, wait hint 5000 ms, controls accepted 0)\n"
            "Rodivo_vedodaraz (information): C\xD1\x82\xD0\xB0\xD1\x80\xD1\x82 "
            "\xD1\x81\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB8\xD1\x81\xD0\xB0 \"Sarvelo\"\n"
            "Rodivo_vedodaraz: SERVICE_RUNNING (checkpoint 0, wait hint 5000 ms, controls accepted 5)\n"
            "Rodivo_vedodaraz: SERVICE_STOP_PENDING (checkpoint 0, wait hint 5000 ms, controls accepted 5)\n"
            "Rodivo_vedodaraz: SERVICE_STOPPED (checkpoint 0, wait hint 5000 ms, controls accepted 5)\n");
  test::ExpectStartEntry(log_.Receive(std::chrono::milliseconds(0)), child.pid());
  EXPECT_FALSE(log_.Receive(std::chrono::milliseconds(0)).has_value());
}

// ---- Install and uninstall ----

class Install : public ::testing::Test {
 protected:
  void SetUp() override { exe_ = test::CopyExecutable(dir_.path() / "bin"); }

  std::unique_ptr<test::ChildProcess> Run(const std::vector<std::string>& arguments) {
    auto child = std::make_unique<test::ChildProcess>(exe_, arguments,
                                                      Env{{"KORVENET_UNIT_DIR", units_.string()}});
    EXPECT_TRUE(child->Wait());
    return child;
  }
  std::string Unit() { return test::ReadFile((units_ / "Rodivo_vedodaraz.service").string()); }
  // Runs a command of the shell; its exit status and what it wrote to either output.
  static std::pair<int, std::string> Shell(const std::string& command) {
    FILE* run = ::popen((command + " 2>&1").c_str(), "r");
    if (!run) return {-1, ""};
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, run)) > 0;) output.append(buffer, n);
    const int status = ::pclose(run);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
  }
  // The unit of an executable in a temporary directory: hidden home directories, the
  // temporary directory left shared (a private one would hide the executable).
  std::string ExpectedUnit() {
    const std::string directory = std::filesystem::path(exe_).parent_path().string();
    return "[Unit]\nDescription=Korvenet\nDocumentation=man:tcp_port_serv(8)\nAfter=network-online.target\n"
           "Wants=network-online.target\n\n[Service]\nType=notify\nNotifyAccess=main\nExecStart=\":" + exe_ +
           "\"\nRestart=on-failure\nRestartSec=2s\nWatchdogSec=10s\nLimitNOFILE=65536\nNoNewPrivileges=yes\n"
           "CapabilityBoundingSet=CAP_NET_BIND_SERVICE CAP_DAC_OVERRIDE\nProtectSystem=strict\n"
           "ReadWritePaths=\"" + directory + "\"\nReadWritePaths=-/run/lock\nProtectHome=yes\nPrivateTmp=no\nDevicePolicy=closed\n"
           "DeviceAllow=char-tty* rw\nDeviceAllow=char-pts rw\nDeviceAllow=char-rfcomm rw\n"
           "ProtectKernelTunables=yes\nProtectKernelModules=yes\nProtectKernelLogs=yes\nProtectControlGroups=yes\n"
           "ProtectClock=yes\nProtectHostname=yes\nProtectProc=invisible\nProcSubset=pid\n"
           "RestrictAddressFamilies=AF_INET AF_UNIX\nRestrictNamespaces=yes\nRestrictRealtime=yes\n"
           "RestrictSUIDSGID=yes\nLockPersonality=yes\nMemoryDenyWriteExecute=yes\nSystemCallArchitectures=native\n"
           "SystemCallFilter=@system-service\nSystemCallFilter=~@privileged @resources\nSystemCallErrorNumber=EPERM\n"
           "\n[Install]\nWantedBy=multi-user.target\n";
  }

  test::TempDir dir_;
  std::filesystem::path units_ = [this] {
    auto p = dir_.path() / "units";
    std::filesystem::create_directories(p);
    return p;
  }();
  std::string exe_;
};

TEST_F(Install, InstallWritesTheUnitAndReportsSuccess) {
  auto child = Run({"-install"});
  EXPECT_EQ(child->ExitCode(), 0);
  EXPECT_EQ(child->Stdout(), "Information: Service installed successfully\n");
  EXPECT_EQ(child->Stderr(), "");
  EXPECT_EQ(Unit(), ExpectedUnit());
}

TEST_F(Install, SecondInstallFailsWithServiceExists) {
  ASSERT_EQ(Run({"/INSTALL", "/silent"})->ExitCode(), 0);
  auto child = Run({"-Install"});
  EXPECT_EQ(child->ExitCode(), 1);
  EXPECT_EQ(child->Stdout(), "");
  EXPECT_EQ(child->Stderr(),
            "Error: Service \"Korvenet\" failed to install with error: \"System Error.  Code: 1073.\r\n"
            "The specified service already exists\"\n");
  EXPECT_EQ(Unit(), ExpectedUnit());  // the first unit stays as it was
}

TEST_F(Install, SilentInstallShowsNothing) {
  auto child = Run({"-install", "-SILENT"});
  EXPECT_EQ(child->ExitCode(), 0);
  EXPECT_EQ(child->Stdout(), "");
  EXPECT_EQ(child->Stderr(), "");
  EXPECT_EQ(Unit(), ExpectedUnit());
}

TEST_F(Install, UninstallRemovesTheUnitAndAMissingOneFails) {
  ASSERT_EQ(Run({"-install", "-silent"})->ExitCode(), 0);
  auto removed = Run({"-uninstall"});
  EXPECT_EQ(removed->ExitCode(), 0);
  EXPECT_EQ(removed->Stdout(), "Information: Service uninstalled successfully\n");
  EXPECT_FALSE(std::filesystem::exists(units_ / "Rodivo_vedodaraz.service"));

  auto missing = Run({"/uninstall", "/silent"});
  EXPECT_EQ(missing->ExitCode(), 1);
  EXPECT_EQ(missing->Stdout(), "");
  EXPECT_EQ(missing->Stderr(),
            "Error: Service \"Korvenet\" failed to uninstall with error: \"System Error.  Code: 1060.\r\n"
            "The specified service does not exist as an installed service\"\n");
}

TEST_F(Install, InstallWinsOverUninstall) {
  auto child = Run({"-uninstall", "-install"});
  EXPECT_EQ(child->ExitCode(), 0);
  EXPECT_EQ(child->Stdout(), "Information: Service installed successfully\n");
  EXPECT_EQ(Unit(), ExpectedUnit());
}

TEST_F(Install, PathWithBlanksIsQuoted) {
  exe_ = test::CopyExecutable(dir_.path() / "with blank dir");
  ASSERT_EQ(Run({"-install", "-silent"})->ExitCode(), 0);
  EXPECT_NE(Unit().find("ExecStart=\":" + exe_ + "\"\n"), std::string::npos) << Unit();
  EXPECT_NE(Unit().find("ReadWritePaths=\"" + (dir_.path() / "with blank dir").string() + "\"\n"), std::string::npos)
      << Unit();
}

// Directory names that unit files read in their own ways: the unit starts the executable where
// it lies, as systemd-analyze verify finds where the machine has it.
TEST_F(Install, UnitStartsTheExecutableFromAnyDirectoryName) {
  const bool verify = ::access("/usr/bin/systemd-analyze", X_OK) == 0;
  for (const auto& [name, in_unit] : std::vector<std::pair<std::string, std::string>>{
           {"do$HOME$$", "do$HOME$$"}, {"50% $x", "50%% $x"},
           {"!#&;()*?[]{}|<>~`-@:+\xD0\x96", "!#&;()*?[]{}|<>~`-@:+\xD0\x96"}}) {
    SCOPED_TRACE(name);
    std::filesystem::remove(units_ / "Rodivo_vedodaraz.service");
    exe_ = test::CopyExecutable(dir_.path() / name);
    ASSERT_EQ(Run({"-install", "-silent"})->ExitCode(), 0);
    const std::string directory = (dir_.path() / in_unit).string();
    EXPECT_NE(Unit().find("\nExecStart=\":" + directory + "/tcp_port_serv\"\n"), std::string::npos) << Unit();
    EXPECT_NE(Unit().find("\nReadWritePaths=\"" + directory + "\"\n"), std::string::npos) << Unit();
    if (verify) {
      const std::string unit = (units_ / "Rodivo_vedodaraz.service").string();
      EXPECT_EQ(Shell("/usr/bin/systemd-analyze verify --man=no '" + unit + "'"), std::make_pair(0, std::string()));
    }
  }
}

// systemd starts no program from a path with a quote, a backslash, a control character or
// bytes that are not UTF-8: the install says which it found, and writes nothing.
TEST_F(Install, PathSystemdCannotStartFromIsRefused) {
  for (const auto& [name, flaw] : std::vector<std::pair<std::string, std::string>>{
           {"q\"uote", "a double quote (\")"}, {"apo'strophe", "a single quote (')"}, {"back\\slash", "a backslash (\\)"},
           {"line\nbreak", "a control character (0x0A)"}, {"\xC0\xFF", "bytes that are not UTF-8"}}) {
    SCOPED_TRACE(name);
    exe_ = test::CopyExecutable(dir_.path() / name);
    auto child = Run({"-install"});
    EXPECT_EQ(child->ExitCode(), 1);
    EXPECT_EQ(child->Stderr(), "Error: Service \"Korvenet\" failed to install with error: \"System Error.  Code: "
                               "536870913.\r\nThe executable's path holds " + flaw +
                                   ", which systemd does not take in the path of a service's program: move or "
                                   "rename it\"\n");
    EXPECT_FALSE(std::filesystem::exists(units_ / "Rodivo_vedodaraz.service"));
  }
}

// Under systemd, a unit that systemctl cannot disable stays enabled and the uninstall fails; a
// retry succeeds. The real systemctl on the files alone (SYSTEMD_OFFLINE), in a mount namespace
// where systemd's unit and run directories are empty ones in memory.
TEST_F(Install, UninstallThatCannotDisableFailsAndLeavesNoLinkDangling) {
  if (::geteuid() != 0 || ::access("/usr/bin/unshare", X_OK) != 0 || ::access("/usr/bin/systemctl", X_OK) != 0) {
    GTEST_SKIP() << "needs root, unshare and systemctl";
  }
  const std::string script = R"(
    units=/etc/systemd/system wants=/etc/systemd/system/multi-user.target.wants
    mount -t tmpfs tmpfs $units && mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system || exit 9
    "$0" -install -silent && mount --bind $wants $wants && mount -o remount,bind,ro $wants || exit 9
    "$0" -uninstall -silent; echo "refused $?"
    test -f $units/Rodivo_vedodaraz.service && test -e $wants/Rodivo_vedodaraz.service && echo "kept"
    mount -o remount,bind,rw $wants && "$0" -uninstall -silent; echo "retried $?"
    test -e $units/Rodivo_vedodaraz.service || test -L $wants/Rodivo_vedodaraz.service || echo "gone")";
  test::ChildProcess child("/usr/bin/unshare", {"--mount", "--propagation", "private", "sh", "-c", script, exe_},
                           {{"SYSTEMD_OFFLINE", "1"}, {"KORVENET_UNIT_DIR", ""}}, dir_.path().string());
  ASSERT_TRUE(child.Wait());
  EXPECT_EQ(child.Stdout(), "refused 1\nkept\nretried 0\ngone\n") << child.Stderr();
  EXPECT_NE(child.Stderr().find("failed to uninstall with error: \"System Error.  Code: 536870914.\r\n\"systemctl "
                                "disable Rodivo_vedodaraz.service\" failed (exit status 1)\"\n"),
            std::string::npos)
      << child.Stderr();
}

// The written unit as systemd itself rates it (exposure 0.0 safe .. 10.0 unsafe), where the
// machine has systemd-analyze.
TEST_F(Install, UnitIsRatedWellConfined) {
  if (::access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "no systemd-analyze";
  ASSERT_EQ(Run({"-install", "-silent"})->ExitCode(), 0);
  const std::string unit = (units_ / "Rodivo_vedodaraz.service").string();
  // --threshold=50 makes it fail above exposure 5.0.
  const auto [status, report] = Shell("/usr/bin/systemd-analyze security --offline=true --threshold=50 '" + unit + "'");
  EXPECT_EQ(status, 0) << report;
  EXPECT_NE(report.find("Overall exposure level for Rodivo_vedodaraz.service: "), std::string::npos) << report;
}

TEST_F(Install, UnreachableManagerIsAnApplicationError) {
  units_ = dir_.path() / "missing";
  auto child = Run({"-install"});
  EXPECT_EQ(child->ExitCode(), 1);
  EXPECT_EQ(child->Stdout(), "");
  const std::string err = child->Stderr();
  EXPECT_EQ(err.rfind("Application Error: Exception EOSError in module tcp_port_serv at ", 0), 0u) << err;
  EXPECT_NE(err.find(".\r\nSystem Error.  Code: 2.\r\nNo such file or directory.\r\n\n"), std::string::npos) << err;
}

// Names from the file system are shown as the file system gives them: a directory and an
// executable named with a Cyrillic letter (UTF-8 here) are not read as code page 1251.
TEST_F(Install, NamesFromTheFileSystemAreShownAsTheyAre) {
  const std::string zhe = "\xD0\x96";
  const std::filesystem::path dir = dir_.path() / ("dir_" + zhe);
  std::filesystem::create_directories(dir);
  exe_ = (dir / ("tcp_" + zhe + "_serv")).string();
  std::filesystem::copy_file(test::CopyExecutable(dir_.path() / "plain"), exe_);
  units_ = dir_.path() / "missing";
  auto child = Run({"-install"});
  EXPECT_EQ(child->ExitCode(), 1);
  const std::string err = child->Stderr();
  EXPECT_EQ(err.rfind("Application Error: Exception EOSError in module tcp_" + zhe + "_serv at ", 0), 0u) << err;
}

}  // namespace

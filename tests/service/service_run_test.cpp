// The service run inside the test process: the service thread, control codes and the status
// reports, received through the notify protocol by a test-bound socket.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "platform/event_log.h"
#include "service/service.h"
#include "tests/service/service_test_support.h"

namespace {

using Fields = std::map<std::string, std::string>;

class TTestService : public TService {
 public:
  TTestService() {
    SetName("TestSvc");
    SetAllowPause(false);
  }
  std::function<void()> before_run;       // runs where RunServiceThread begins
  std::function<void(std::uint32_t)> on_custom;

 protected:
  void RunServiceThread() override {
    if (before_run) before_run();
    TService::RunServiceThread();
  }
  bool HandleCustomCode(std::uint32_t code) override {
    if (on_custom) on_custom(code);
    return true;
  }
};

// Pumps without waiting until a stop is requested, as the relay's run loop does.
void PumpingExecute(TService* sender) {
  while (!sender->StopRequested()) {
    sender->PumpRequests(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

class MainThreadServiceRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(notify_.bound());
    ASSERT_TRUE(log_.bound());
    setenv("NOTIFY_SOCKET", notify_.path().c_str(), 1);
    setenv("KORVENET_EVENTLOG", log_.path().c_str(), 1);
    SetServiceModule(&service_);
  }
  void TearDown() override {
    if (runner_.joinable()) {
      for (int i = 0; i < 3 && !ended_; ++i) service_.PostControlCode(kControlStop);
      runner_.join();
    }
    SetServiceModule(nullptr);
    unsetenv("NOTIFY_SOCKET");
    unsetenv("KORVENET_EVENTLOG");
  }

  void Start() {
    runner_ = std::thread([this] {
      char name[] = "TestSvc";
      char* argv[] = {name, nullptr};
      service_.ServiceEntry(1, argv);
      ended_ = true;
    });
  }
  bool WaitForEnd() {
    bool ended = test::WaitUntil([this] { return ended_.load(); });
    if (ended) runner_.join();
    return ended;
  }

  Fields Next() {
    auto datagram = notify_.Receive();
    EXPECT_TRUE(datagram.has_value()) << "no status report";
    return datagram ? test::ParseNotify(*datagram) : Fields{};
  }
  // The next report has this state and check point (and the fixed fields of every report).
  void ExpectReport(int state, int check_point, const char* name) {
    Fields f = Next();
    EXPECT_EQ(f["STATUS"], name);
    EXPECT_EQ(f["X_STATE"], std::to_string(state));
    EXPECT_EQ(f["X_CHECKPOINT"], std::to_string(check_point)) << name;
    EXPECT_EQ(f["X_WAIT_HINT"], "5000");
    EXPECT_EQ(f["X_CONTROLS_ACCEPTED"], state == 2 ? "0" : "5") << name;
    EXPECT_EQ(f["WATCHDOG"], "1");
    EXPECT_EQ(f.count("READY"), state == 4 ? 1u : 0u) << name;
    EXPECT_EQ(f.count("STOPPING"), state == 3 ? 1u : 0u) << name;
  }
  void ExpectNormalStart() {
    ExpectReport(2, 1, "SERVICE_START_PENDING");
    ExpectReport(2, 2, "SERVICE_START_PENDING");
    ExpectReport(4, 0, "SERVICE_RUNNING");
  }
  void ExpectNormalStop() {
    ExpectReport(3, 0, "SERVICE_STOP_PENDING");
    ExpectReport(1, 0, "SERVICE_STOPPED");
    EXPECT_TRUE(WaitForEnd());
  }
  void ExpectEntry(const std::string& text) { test::ExpectSyslogEntry(log_.Receive(), 27, "TestSvc", getpid(), text); }
  void ExpectNoEntry() {
    EXPECT_TRUE(platform::FlushEventLog(20000));  // entries are written by a thread of their own
    EXPECT_FALSE(log_.Receive(std::chrono::milliseconds(0)).has_value());
  }

  test::TempDir dir_;
  test::DatagramListener notify_{dir_.file("notify")};
  test::DatagramListener log_{dir_.file("log")};
  TTestService service_;
  std::thread runner_;
  std::atomic<bool> ended_{false};
};

TEST_F(MainThreadServiceRun, StartRunStopReportsEachStatus) {
  std::atomic<bool> stop_ran_on_service_thread{false};
  const auto test_thread = std::this_thread::get_id();
  service_.SetOnStart(TStartEvent::FromFunction([](TService* sender, bool& started) {
    EXPECT_TRUE(started);
    sender->SendStatus();  // a further start-pending report counts on
  }));
  service_.SetOnExecute(TServiceEvent::FromFunction(PumpingExecute));
  service_.SetOnStop(TStopEvent::FromFunction([&](TService* sender, bool& stopped) {
    EXPECT_TRUE(stopped);
    EXPECT_EQ(sender->Status(), csStopPending);
    stop_ran_on_service_thread = std::this_thread::get_id() != test_thread;
  }));
  Start();
  ExpectReport(2, 1, "SERVICE_START_PENDING");
  ExpectReport(2, 2, "SERVICE_START_PENDING");
  ExpectReport(2, 3, "SERVICE_START_PENDING");
  ExpectReport(4, 0, "SERVICE_RUNNING");
  EXPECT_TRUE(service_.StopRequested() == false);
  service_.PostControlCode(kControlInterrogate);
  ExpectReport(4, 0, "SERVICE_RUNNING");
  service_.PostControlCode(kControlStop);
  ExpectNormalStop();
  EXPECT_TRUE(stop_ran_on_service_thread);
  EXPECT_FALSE(service_.StopRequested());
  EXPECT_EQ(service_.StartArguments(), std::vector<std::string>{"TestSvc"});
  ExpectNoEntry();
}

TEST_F(MainThreadServiceRun, OnlyRunningReportsCarryTheRunningLineOnOneLineThatFitsADatagram) {
  std::atomic<int> asked{0};
  service_.SetRunningStatusLine([&] { return ++asked, "2 channels:\n" + std::string(3000, 'x'); });
  Start();
  ExpectReport(2, 1, "SERVICE_START_PENDING");
  ExpectReport(2, 2, "SERVICE_START_PENDING");
  ExpectReport(4, 0, ("2 channels:\\x0A" + std::string(3000, 'x')).substr(0, 1024).c_str());
  service_.PostControlCode(kControlStop);
  ExpectNormalStop();
  EXPECT_EQ(asked, 1);
}

TEST_F(MainThreadServiceRun, StopBeforeTheServiceThreadExistsIsKept) {
  int stops = 0;
  service_.before_run = [this] { service_.PostControlCode(kControlStop); };
  service_.SetOnStop(TStopEvent::FromFunction([&](TService*, bool&) { ++stops; }));
  Start();
  ExpectNormalStart();
  ExpectNormalStop();
  EXPECT_EQ(stops, 1);
}

TEST_F(MainThreadServiceRun, StopDuringStartIsHandledAfterRunningWasReported) {
  service_.SetOnStart(TStartEvent::FromFunction([](TService* sender, bool&) {
    std::thread([sender] { sender->PostControlCode(kControlStop); }).join();
  }));
  service_.SetOnExecute(TServiceEvent::FromFunction(PumpingExecute));
  Start();
  ExpectNormalStart();
  ExpectNormalStop();
}

TEST_F(MainThreadServiceRun, RefusedOrFailedStopKeepsTheServiceRunning) {
  int calls = 0;
  service_.SetOnStop(TStopEvent::FromFunction([&](TService*, bool& stopped) {
    ++calls;
    if (calls == 1) throw Exception("boom");
    if (calls == 2) stopped = false;
  }));
  Start();
  ExpectNormalStart();
  service_.PostControlCode(kControlStop);
  ExpectReport(3, 0, "SERVICE_STOP_PENDING");
  ExpectReport(4, 0, "SERVICE_RUNNING");
  ExpectEntry("Service failed on stop: boom");
  service_.PostControlCode(kControlStop);
  ExpectReport(3, 0, "SERVICE_STOP_PENDING");
  ExpectReport(4, 0, "SERVICE_RUNNING");
  ExpectNoEntry();
  service_.PostControlCode(kControlStop);
  ExpectNormalStop();
  EXPECT_EQ(calls, 3);
}

TEST_F(MainThreadServiceRun, FailedShutdownStillEndsWithoutOnStop) {
  bool stop_called = false;
  service_.SetOnStop(TStopEvent::FromFunction([&](TService*, bool&) { stop_called = true; }));
  service_.SetOnShutdown(TServiceEvent::FromFunction([](TService*) { throw Exception("power"); }));
  Start();
  ExpectNormalStart();
  service_.PostControlCode(kControlShutdown);
  ExpectReport(3, 0, "SERVICE_STOP_PENDING");
  ExpectReport(1, 0, "SERVICE_STOPPED");
  EXPECT_TRUE(WaitForEnd());
  ExpectEntry("Service failed on shutdown: power");
  EXPECT_FALSE(stop_called);
}

TEST_F(MainThreadServiceRun, CustomCodesChangeNothingUnlessTheyFail) {
  service_.on_custom = [](std::uint32_t code) {
    if (code == 201) throw Exception("odd");
  };
  Start();
  ExpectNormalStart();
  service_.PostControlCode(200);                  // no report, no entry
  service_.PostControlCode(kControlInterrogate);  // one report
  service_.PostControlCode(201);                  // fails: the status is set back and reported
  service_.PostControlCode(kControlStop);
  ExpectReport(4, 0, "SERVICE_RUNNING");
  ExpectReport(4, 0, "SERVICE_RUNNING");
  ExpectNormalStop();
  ExpectEntry("Service failed in custom message(201): odd");
  ExpectNoEntry();
}

TEST_F(MainThreadServiceRun, FailedOrDeclinedStartEndsTheService) {
  service_.SetOnStart(TStartEvent::FromFunction([](TService*, bool&) { throw Exception("no file"); }));
  Start();
  ExpectReport(2, 1, "SERVICE_START_PENDING");
  ExpectReport(2, 2, "SERVICE_START_PENDING");
  ExpectReport(1, 0, "SERVICE_STOPPED");
  EXPECT_TRUE(WaitForEnd());
  ExpectEntry("Service failed on start: no file");
}

TEST_F(MainThreadServiceRun, DeclinedStartEndsSilently) {
  service_.SetOnStart(TStartEvent::FromFunction([](TService*, bool& started) { started = false; }));
  Start();
  ExpectReport(2, 1, "SERVICE_START_PENDING");
  ExpectReport(2, 2, "SERVICE_START_PENDING");
  ExpectReport(1, 0, "SERVICE_STOPPED");
  EXPECT_TRUE(WaitForEnd());
  EXPECT_FALSE(service_.EndedOnFailure());
  ExpectNoEntry();
}

TEST_F(MainThreadServiceRun, FailedExecuteIsLoggedAndEndsTheService) {
  service_.SetOnExecute(TServiceEvent::FromFunction([](TService*) { throw Exception("loop broke"); }));
  Start();
  ExpectNormalStart();
  ExpectReport(1, 0, "SERVICE_STOPPED");
  EXPECT_TRUE(WaitForEnd());
  EXPECT_TRUE(service_.EndedOnFailure());
  ExpectEntry("Service failed on execute: loop broke");
}

// Failures that are not Exception objects are failures all the same: the entry carries their
// text and the status reports are those of an Exception at the same place.
TEST_F(MainThreadServiceRun, StartFailureThatIsNoExceptionIsLoggedWithItsText) {
  service_.SetOnStart(TStartEvent::FromFunction([](TService*, bool&) { throw std::bad_alloc(); }));
  Start();
  ExpectReport(2, 1, "SERVICE_START_PENDING");
  ExpectReport(2, 2, "SERVICE_START_PENDING");
  ExpectReport(1, 0, "SERVICE_STOPPED");
  EXPECT_TRUE(WaitForEnd());
  ExpectEntry("Service failed on start: std::bad_alloc");
}

TEST_F(MainThreadServiceRun, ExecuteFailureThatIsNoExceptionIsLoggedWithItsText) {
  service_.SetOnExecute(TServiceEvent::FromFunction([](TService*) { throw std::length_error("too long"); }));
  Start();
  ExpectNormalStart();
  ExpectReport(1, 0, "SERVICE_STOPPED");
  EXPECT_TRUE(WaitForEnd());
  ExpectEntry("Service failed on execute: too long");
}

TEST_F(MainThreadServiceRun, ControlHandlerFailuresThatAreNoExceptionsKeepTheServiceRunning) {
  int stops = 0;
  service_.SetOnStop(TStopEvent::FromFunction([&](TService*, bool&) {
    if (++stops == 1) throw std::system_error(std::make_error_code(std::errc::no_buffer_space), "stopping");
  }));
  service_.on_custom = [](std::uint32_t) { throw 7; };
  Start();
  ExpectNormalStart();
  service_.PostControlCode(kControlStop);
  ExpectReport(3, 0, "SERVICE_STOP_PENDING");
  ExpectReport(4, 0, "SERVICE_RUNNING");
  ExpectEntry("Service failed on stop: stopping: " + std::make_error_code(std::errc::no_buffer_space).message());
  service_.PostControlCode(130);
  ExpectReport(4, 0, "SERVICE_RUNNING");  // set back and reported again
  ExpectEntry("Service failed in custom message(130): unknown exception");
  service_.PostControlCode(kControlStop);
  ExpectNormalStop();
}

// A service thread that cannot make its control queue (no descriptor left) ends the service
// with the start's failure entry, as any failure of the start does: the process goes on.
TEST_F(MainThreadServiceRun, AControlQueueThatCannotBeMadeEndsTheServiceWithAnEntry) {
  // A first entry makes the process's connection to the log while descriptors are free.
  service_.WriteEventLog("before");
  ExpectEntry("before");
  std::vector<int> held;
  auto release = [&] {
    for (int fd : held) ::close(fd);
    held.clear();
  };
  // The service thread starts with the descriptor table full; status reports fail too then,
  // each with an entry of its own.
  service_.before_run = [&] {
    for (int fd; (fd = ::dup(2)) >= 0;) held.push_back(fd);
  };
  Start();
  const bool ended = WaitForEnd();
  release();
  ASSERT_TRUE(ended);
  ASSERT_TRUE(platform::FlushEventLog(20000));
  std::vector<std::string> texts;
  while (auto datagram = log_.Receive(std::chrono::milliseconds(0))) {
    texts.push_back(datagram->substr(datagram->find("]: ") + 3));
  }
  const std::string failure = "Service failed on start: cannot create a message queue";
  EXPECT_EQ(std::count(texts.begin(), texts.end(), failure), 1) << ::testing::PrintToString(texts);
  for (const std::string& text : texts) {
    if (text != failure) {
      EXPECT_EQ(text, std::strerror(EMFILE)) << "an entry other than failed reports";
    }
  }
}

// A status report that the manager does not take is an error entry with the system's text;
// the service goes on (and ends) as usual.
TEST_F(MainThreadServiceRun, AFailedStatusReportWritesAnErrorEntry) {
  setenv("NOTIFY_SOCKET", dir_.file("nobody-listens").c_str(), 1);
  service_.before_run = [this] { service_.PostControlCode(kControlStop); };
  service_.SetOnExecute(TServiceEvent::FromFunction(PumpingExecute));
  Start();
  EXPECT_TRUE(WaitForEnd());
  for (const char* state : {"start pending", "start pending", "running", "stop pending", "stopped"}) {
    ExpectEntry("No such file or directory");
    (void)state;
  }
  ExpectNoEntry();
  EXPECT_FALSE(notify_.Receive(std::chrono::milliseconds(0)).has_value());
}

TEST_F(MainThreadServiceRun, PauseSuspendsUntilContinue) {
  service_.SetOnPause(TPauseEvent::FromFunction([](TService*, bool&) {}));
  Start();
  ExpectReport(2, 1, "SERVICE_START_PENDING");
  ExpectReport(2, 2, "SERVICE_START_PENDING");
  Fields running = Next();
  EXPECT_EQ(running["X_CONTROLS_ACCEPTED"], "7");
  service_.PostControlCode(kControlPause);
  EXPECT_EQ(Next()["X_STATE"], "6");
  Fields paused = Next();
  EXPECT_EQ(paused["X_STATE"], "7");
  EXPECT_EQ(paused["X_CHECKPOINT"], "0");
  service_.PostControlCode(kControlContinue);
  Fields resuming = Next();
  EXPECT_EQ(resuming["X_STATE"], "5");
  EXPECT_EQ(resuming["X_CHECKPOINT"], "0");
  EXPECT_EQ(Next()["X_STATE"], "4");
  service_.PostControlCode(kControlStop);
  EXPECT_EQ(Next()["X_STATE"], "3");
  EXPECT_EQ(Next()["X_STATE"], "1");
  EXPECT_TRUE(WaitForEnd());
}

TEST_F(MainThreadServiceRun, CodesAfterTheEndAreDropped) {
  service_.before_run = [this] { service_.PostControlCode(kControlStop); };
  Start();
  ExpectNormalStart();
  ExpectNormalStop();
  service_.PostControlCode(kControlStop);
  EXPECT_FALSE(notify_.Receive(std::chrono::milliseconds(50)).has_value());
}

}  // namespace

namespace {

TEST(MainThreadServiceNotify, AbstractNotifySocketIsReached) {
  test::TempDir dir;
  test::DatagramListener notify("@korvenet-notify-" + std::to_string(getpid()));
  ASSERT_TRUE(notify.bound());
  setenv("NOTIFY_SOCKET", notify.path().c_str(), 1);
  setenv("KORVENET_EVENTLOG", dir.file("log").c_str(), 1);
  TTestService service;
  SetServiceModule(&service);
  service.before_run = [&] { service.PostControlCode(kControlStop); };
  std::thread runner([&] {
    char name[] = "TestSvc";
    char* argv[] = {name, nullptr};
    service.ServiceEntry(1, argv);
  });
  std::vector<std::string> states;
  while (states.empty() || states.back() != "1") {
    auto datagram = notify.Receive();
    if (!datagram) break;
    states.push_back(test::ParseNotify(*datagram)["X_STATE"]);
  }
  runner.join();
  SetServiceModule(nullptr);
  unsetenv("NOTIFY_SOCKET");
  unsetenv("KORVENET_EVENTLOG");
  EXPECT_EQ(states, (std::vector<std::string>{"2", "2", "4", "3", "1"}));
}

}  // namespace

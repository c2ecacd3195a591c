// The run loop's cadence, on a real service thread whose status reports arrive through the
// notify protocol at a socket the test binds. The loop runs in virtual time: its waits jump to
// their deadline unless a message waits, so every pass is counted exactly and nothing depends
// on how fast the machine is. Each report is stamped with the virtual time it was sent at.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/messages.h"
#include "relay/run_loop.h"
#include "service/service.h"
#include "tests/service/service_test_support.h"

namespace {

using run_loop::Clock;
using namespace std::chrono_literals;

// Virtual time for the loop, on the service thread. A wait with a message waiting returns at
// once; otherwise the time jumps to the first scheduled action or to the deadline.
class VirtualPacer : public run_loop::Pacer {
 public:
  explicit VirtualPacer(test::DatagramListener& notify) : notify_(notify) {}

  Clock::time_point Now() override { return now_; }
  bool WaitMessageUntil(Clock::time_point deadline) override {
    Collect();
    if (platform::WaitMessageFor(0)) return true;
    ++sleeps;
    if (!actions_.empty() && actions_.begin()->first < Ms(deadline)) {
      auto action = actions_.begin();
      now_ = kStart + std::chrono::milliseconds(action->first);
      auto run = std::move(action->second);
      actions_.erase(action);
      run();
      return platform::WaitMessageFor(0);
    }
    now_ = deadline + late;
    return false;
  }
  // Time spent handling something.
  void Spend(std::chrono::milliseconds time) { now_ += time; }

  // Runs `action` on the service thread when the virtual time reaches `ms`.
  void At(std::int64_t ms, std::function<void()> action) { actions_.emplace(ms, std::move(action)); }
  std::int64_t Ms() const { return Ms(now_); }
  // Reports sent since the last wait; they were sent at the current virtual time.
  void Collect() {
    while (auto datagram = notify_.Receive(0ms)) reports.push_back({Ms(), test::ParseNotify(*datagram)["X_STATE"]});
  }

  struct Report {
    std::int64_t ms;
    std::string state;
  };
  std::vector<Report> reports;
  int sleeps = 0;  // waits that found no message: the times the loop would have slept
  std::chrono::milliseconds late{0};  // how late a wait that times out returns

 private:
  static constexpr Clock::time_point kStart = Clock::time_point() + 1h;
  static std::int64_t Ms(Clock::time_point t) { return (t - kStart) / 1ms; }

  test::DatagramListener& notify_;
  Clock::time_point now_ = kStart;
  std::multimap<std::int64_t, std::function<void()>> actions_;
};

class TLoopService : public TService {
 public:
  explicit TLoopService(VirtualPacer& pacer) : pacer_(pacer) {
    SetName("LoopSvc");
    SetAllowPause(false);
    SetOnExecute(TServiceEvent::Bind(this, &TLoopService::Execute));
  }
  bool busy = false;
  std::vector<std::int64_t> passes_seen;  // the virtual times of the duties' calls
  std::int64_t ended_at = -1;

 protected:
  // A user-defined code that takes 100 ms to handle.
  bool HandleCustomCode(std::uint32_t code) override {
    if (code == kSlowCode) pacer_.Spend(100ms);
    return true;
  }

 public:
  static constexpr std::uint32_t kSlowCode = 201;

 private:
  void Execute(TService*) {
    run_loop::Run(run_loop::CallsOf(*this), pacer_,
                  {[this] { return busy; }, [this](Clock::time_point) { passes_seen.push_back(pacer_.Ms()); }});
    ended_at = pacer_.Ms();
    pacer_.Collect();
  }
  VirtualPacer& pacer_;
};

class RunLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(notify_.bound());
    setenv("NOTIFY_SOCKET", notify_.path().c_str(), 1);
    setenv("KORVENET_EVENTLOG", dir_.file("no-log").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("NOTIFY_SOCKET");
    unsetenv("KORVENET_EVENTLOG");
  }

  // Runs the service until it ends; the stop must be one of the scheduled actions.
  void RunService() {
    std::thread runner([this] {
      char name[] = "LoopSvc";
      char* argv[] = {name, nullptr};
      service_.ServiceEntry(1, argv);
    });
    runner.join();
    while (auto datagram = notify_.Receive(0ms)) {
      after_end_.push_back(test::ParseNotify(*datagram)["X_STATE"]);
    }
  }
  void StopAt(std::int64_t ms) {
    pacer_.At(ms, [this] { service_.PostControlCode(kControlStop); });
  }

  // The virtual times of the running reports the loop sent (not the one before it started).
  std::vector<std::int64_t> LoopReports() const {
    std::vector<std::int64_t> out;
    bool first = true;
    for (const auto& report : pacer_.reports) {
      if (report.state != "4") continue;
      if (!first) out.push_back(report.ms);
      first = false;
    }
    return out;
  }
  // Every report in order, running ones as "4@ms".
  std::vector<std::string> States() const {
    std::vector<std::string> out;
    for (const auto& report : pacer_.reports) {
      out.push_back(report.state == "4" ? "4@" + std::to_string(report.ms) : report.state);
    }
    out.insert(out.end(), after_end_.begin(), after_end_.end());
    return out;
  }

  test::TempDir dir_;
  test::DatagramListener notify_{dir_.file("notify")};
  VirtualPacer pacer_{notify_};
  TLoopService service_{pacer_};
  std::vector<std::string> after_end_;
};

// Report times of passes 40, 80, ... after the first pause of 100 ms.
std::vector<std::int64_t> EveryFortiethPass(int last_pass) {
  std::vector<std::int64_t> out;
  for (int pass = 40; pass <= last_pass; pass += 40) out.push_back(100 + 20 * pass);
  return out;
}

std::vector<std::int64_t> Range(std::int64_t from, std::int64_t to, std::int64_t step) {
  std::vector<std::int64_t> out;
  for (std::int64_t t = from; t <= to; t += step) out.push_back(t);
  return out;
}

TEST_F(RunLoop, IdleLoopSleepsFromReportToReportAndStopsTheMomentAStopArrives) {
  StopAt(4400);
  RunService();
  EXPECT_EQ(States(), (std::vector<std::string>{"2", "2", "4@0", "4@900", "4@1700", "4@2500", "4@3300", "4@4100",
                                                "3", "1"}));
  EXPECT_EQ(service_.ended_at, 4400);
  // The first pause, one sleep per report, and the one the stop cut short.
  EXPECT_EQ(pacer_.sleeps, 7);
  EXPECT_EQ(service_.passes_seen, (std::vector<std::int64_t>{900, 1700, 2500, 3300, 4100, 4400}));
}

TEST_F(RunLoop, StopDuringTheFirstPauseEndsTheLoopWithoutAReport) {
  StopAt(50);
  RunService();
  EXPECT_EQ(States(), (std::vector<std::string>{"2", "2", "4@0", "3", "1"}));
  EXPECT_EQ(service_.ended_at, 50);
}

TEST_F(RunLoop, BusyDutiesRunEveryPassAndReportsKeepTheirPasses) {
  service_.busy = true;
  StopAt(1710);
  RunService();
  EXPECT_EQ(LoopReports(), EveryFortiethPass(80));
  std::vector<std::int64_t> every_pass = Range(120, 1700, 20);
  every_pass.push_back(1710);
  EXPECT_EQ(service_.passes_seen, every_pass);
}

TEST_F(RunLoop, WorkThatArrivesDuringASleepEndsItWithThePassInProgress) {
  // A message handled at 1010 gives the duties work; at 2000 they are done again.
  pacer_.At(1010, [this] {
    service_.busy = true;
    service_.PostControlCode(200);  // a user-defined code: handled, changes nothing
  });
  pacer_.At(2000, [this] { service_.busy = false; });
  StopAt(2600);
  RunService();
  EXPECT_EQ(LoopReports(), EveryFortiethPass(120));
  std::vector<std::int64_t> expected{900};
  for (std::int64_t t : Range(1020, 2020, 20)) expected.push_back(t);
  expected.push_back(2500);
  expected.push_back(2600);
  EXPECT_EQ(service_.passes_seen, expected);
}

TEST_F(RunLoop, LateWakesDoNotShiftTheReports) {
  pacer_.late = 1ms;
  StopAt(2600);
  RunService();
  // The passes are timed from the end of the first pause (101); every wake is 1 ms late.
  EXPECT_EQ(LoopReports(), (std::vector<std::int64_t>{902, 1702, 2502}));
}

TEST_F(RunLoop, HandlingThatOverrunsPassesKeepsTheirSchedule) {
  service_.busy = true;
  pacer_.At(1010, [this] { service_.PostControlCode(TLoopService::kSlowCode); });
  pacer_.At(1650, [this] { service_.PostControlCode(TLoopService::kSlowCode); });
  StopAt(2610);
  RunService();
  // Each handling takes 100 ms: the passes it covered have gone by when it ends (at 1110 and
  // 1750), the report of pass 80 (due at 1700) is sent then, and pass 120 reports on time.
  EXPECT_EQ(LoopReports(), (std::vector<std::int64_t>{900, 1750, 2500}));
  std::vector<std::int64_t> expected = Range(120, 1000, 20);
  expected.push_back(1110);
  for (std::int64_t t : Range(1120, 1640, 20)) expected.push_back(t);
  expected.push_back(1750);
  for (std::int64_t t : Range(1760, 2600, 20)) expected.push_back(t);
  expected.push_back(2610);
  EXPECT_EQ(service_.passes_seen, expected);
}

TEST_F(RunLoop, CounterWrapsPast65000WithTwoReportsInARow) {
  // Pass 65000 reports, the next sets the counter to 0 and reports too, then 40 passes later.
  const std::int64_t wrap = 100 + 20 * 65000;
  StopAt(wrap + 20 * 41 + 10);
  RunService();
  std::vector<std::int64_t> expected = EveryFortiethPass(65000);
  expected.push_back(wrap + 20);
  expected.push_back(wrap + 20 * 41);
  const std::vector<std::int64_t> reports = LoopReports();
  EXPECT_EQ(reports.size(), expected.size());
  EXPECT_TRUE(reports == expected) << "the reports differ from the passes 40, 80, ..., 65000, 65001, 65041";
  EXPECT_LE(pacer_.sleeps, static_cast<int>(expected.size()) + 2);
}

TEST_F(RunLoop, FloodThatNeverEmptiesTheQueueKeepsTheBeatAndTheStop) {
  // From 1000 three windows, like connections that always have bytes, re-post their message
  // each time it is handled, which takes 1 ms, until a stop came (it closes the connections).
  // One of them asks for the stop at 3010.
  service_.busy = true;
  std::vector<int> handled(3, 0);
  std::vector<platform::WindowHandle> windows(3);
  auto post = [&](int i) { platform::PostMessageTo(windows[i], platform::kWmUser, 0, 0); };
  pacer_.At(1000, [&] {
    for (int i = 0; i < 3; ++i) {
      windows[i] = platform::CreateNotificationWindow([&, i](const platform::Message&) {
        pacer_.Spend(1ms);
        ++handled[i];
        if (pacer_.Ms() == 3010) service_.PostControlCode(kControlStop);
        if (!service_.StopRequested()) post(i);
        return std::intptr_t{0};
      });
      post(i);
    }
  });
  RunService();
  EXPECT_EQ(LoopReports(), EveryFortiethPass(120));
  std::vector<std::int64_t> every_pass = Range(120, 3000, 20);
  ASSERT_GT(service_.passes_seen.size(), every_pass.size());
  EXPECT_EQ(std::vector<std::int64_t>(service_.passes_seen.begin(), service_.passes_seen.begin() + every_pass.size()),
            every_pass);
  // The stop ended the loop within its pass, and the flood was served in turns.
  EXPECT_LT(service_.ended_at, 3020);
  EXPECT_LE(*std::max_element(handled.begin(), handled.end()) - *std::min_element(handled.begin(), handled.end()), 1);
}

}  // namespace

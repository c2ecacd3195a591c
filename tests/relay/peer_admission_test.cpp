// A listener's rule (every list of the channels on its port must admit a peer; the lowest limit
// counts) and the refusal log's pace: the first refusal told at once, the rest of a minute
// together at its end, by the first of them and a count.

#include "relay/peer_admission.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(PeerAdmission, EveryListOfThePortMustAdmitAndTheLowestLimitCounts) {
  TAllowList plant, one_host;
  plant.networks = {{0x0A000000u, 8}};  // 10.0.0.0/8
  plant.lines = {1};
  one_host.networks = {{0x0A000005u, 32}, {0xC0A80000u, 16}};  // 10.0.0.5, 192.168.0.0/16
  one_host.lines = {2};
  PeerRule open;
  open.Add(TSideAccess{}, 1);
  EXPECT_FALSE(open.Restricts());
  EXPECT_EQ(open.Judge(0x01020304u, 1000), std::nullopt);

  PeerRule rule;
  TSideAccess first, second;
  first.allow = &plant;
  first.limit = 5;
  second.allow = &one_host;
  second.limit = 2;
  rule.Add(first, 1);
  rule.Add(second, 2);
  EXPECT_TRUE(rule.Restricts());
  EXPECT_EQ(rule.Limit(), 2);
  EXPECT_EQ(rule.Judge(0x0A000005u, 1), std::nullopt);
  EXPECT_EQ(rule.Judge(0x0A000006u, 0), rfNotAllowed);  // in one list only
  EXPECT_EQ(rule.Judge(0xC0A80101u, 0), rfNotAllowed);
  EXPECT_EQ(rule.Judge(0x0A000005u, 2), rfOverLimit);
}

TEST(PeerAdmission, RefusalsAreToldOnceAMinute) {
  const RefusalLog::Clock::time_point t0{};
  RefusalLog log;
  EXPECT_EQ(log.DueAt(), RefusalLog::Clock::time_point::max());
  struct Step {
    std::chrono::seconds at;
    IPv4Address peer;  // 0: no refusal, only the question whether an entry is due
    bool told;
    IPv4Address first;
    std::uint64_t more;
  };
  const Step steps[] = {
      {0s, 1, true, 1, 0},     // the first is told at once
      {1s, 2, false, 0, 0},    // the rest of the minute waits
      {2s, 3, false, 0, 0},
      {59s, 0, false, 0, 0},
      {60s, 0, true, 2, 1},    // the minute is over: the first of them and one more
      {61s, 4, false, 0, 0},   // a minute from that entry
      {120s, 5, true, 4, 1},   // a refusal at the end of it tells both
      {200s, 0, false, 0, 0},  // nothing waits
      {300s, 6, true, 6, 0},   // after a quiet while, at once again
  };
  for (const Step& step : steps) {
    const auto now = t0 + step.at;
    const std::optional<RefusalLog::Entry> entry = step.peer ? log.Note(step.peer, now) : log.Due(now);
    ASSERT_EQ(entry.has_value(), step.told) << "at " << step.at.count() << " s";
    if (entry) {
      EXPECT_EQ(entry->first, step.first) << "at " << step.at.count() << " s";
      EXPECT_EQ(entry->more, step.more) << "at " << step.at.count() << " s";
    }
  }
  EXPECT_EQ(log.Count(), 6u);
}

}  // namespace

// The fault matrix: every row is one scenario against the real executable (see matrix.h for
// what each one ends with). The counts are scaled down under the sanitizers (matrix_support.h).

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/matrix/matrix.h"

namespace matrix {
namespace {

struct Row {
  std::string name;
  std::function<void(Matrix&)> run;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

std::vector<Row> Rows() {
  std::vector<Row> rows = {
      {"DeviceResetMidStream", DeviceResetMidStream},
      {"ServerResetMidStream", ServerResetMidStream},
      {"DeviceHalfCloseInFlight", DeviceHalfCloseInFlight},
      {"ServerHalfCloseInFlight", ServerHalfCloseInFlight},
      {"ServersComeAndGoDuringAStream", ServersComeAndGoDuringAStream},
      {"MixedTrafficBothWays", MixedTrafficBothWays},
      {"BusyServerPortDropsDeviceBytes", BusyServerPortDropsDeviceBytes},
      {"SerialDeviceHalfClose", SerialDeviceHalfClose},
      {"SerialDeviceResetDuringWrite", SerialDeviceResetDuringWrite},
      {"SerialFarEndClosesMidStream", SerialFarEndClosesMidStream},
      {"StalledReaderBesideHealthy", StalledReaderBesideHealthy},
      {"StuckSerialLine", StuckSerialLine},
      {"FiftyDevicesFloodOneServer", FiftyDevicesFloodOneServer},
      {"DevicesFloodWithoutPause", DevicesFloodWithoutPause},
      {"TenThousandConnectionsComeAndGo", TenThousandConnectionsComeAndGo},
      {"TwoThousandIdleConnections", TwoThousandIdleConnections},
      {"FourHundredChannels", FourHundredChannels},
      {"DescriptorsRunOut", DescriptorsRunOut},
      {"DeviceChurnAgainstASlowReader", DeviceChurnAgainstASlowReader},
      {"StalledServerThatSendsFast", StalledServerThatSendsFast},
      {"BurstySourceToReadersOfTwoPaces", BurstySourceToReadersOfTwoPaces},
      {"SteadySourceToReadersOfTwoPaces", SteadySourceToReadersOfTwoPaces},
      {"InterrogateBySighup", InterrogateBySighup},
      {"ShutdownBySigpwr", ShutdownBySigpwr},
      {"EventLogNeverReads", EventLogNeverReads},
      {"NotifySocketNeverReads", NotifySocketNeverReads},
      {"LogDirectoryTurnsReadOnly", LogDirectoryTurnsReadOnly},
      {"ChannelFileReplacedWhileRunning", ChannelFileReplacedWhileRunning},
      {"TwoInstancesInOneDirectory", TwoInstancesInOneDirectory},
      {"StatusNameTakenByAnotherUser", StatusNameTakenByAnotherUser},
  };
  for (int moment = 0; moment < kStopMoments; ++moment) {
    rows.push_back({"StopDuringStartUp" + std::to_string(moment), [moment](Matrix& m) { StopDuringStartUp(m, moment); }});
  }
  for (int moment = 0; moment < kStopMoments; ++moment) {
    rows.push_back({"StopDuringTransfer" + std::to_string(moment), [moment](Matrix& m) { StopDuringTransfer(m, moment); }});
  }
  return rows;
}

class FaultMatrix : public ::testing::TestWithParam<Row> {};

TEST_P(FaultMatrix, Scenario) {
  Matrix m;
  GetParam().run(m);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultMatrix, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
}  // namespace matrix

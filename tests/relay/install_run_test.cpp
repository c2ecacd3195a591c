// An installation run of the relay's program: an exception routed meanwhile reaches the
// module's ApplicationEvents1 and lands in error_s.log beside the executable, as one line of
// the documented form; the installation goes on.

#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/socket_error.h"
#include "relay/text_log.h"
#include "tests/service/service_test_support.h"

namespace {

// The C locale's stamp of a moment: "mm/dd/yy", then " hh:mm:ss" unless it is midnight.
std::string CStamp(std::time_t t) {
  std::tm tm{};
  ::localtime_r(&t, &tm);
  const bool midnight = tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0;
  char text[32];
  return std::string(text, std::strftime(text, sizeof text, midnight ? "%m/%d/%y" : "%m/%d/%y %H:%M:%S", &tm));
}

TEST(InstallRun, RoutedExceptionLandsInTheErrorLogBesideTheExecutable) {
  test::TempDir dir;
  const auto bin = dir.path() / "bin";
  const auto units = dir.path() / "units";
  std::filesystem::create_directories(bin);
  std::filesystem::create_directories(units);
  const std::string exe = (bin / "tcp_port_serv").string();
  std::filesystem::copy_file(KORVENET_INSTALL_PROBE, exe);

  const std::time_t before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  test::ChildProcess child(exe, {"-install", "-silent"},
                           {{"KORVENET_UNIT_DIR", units.string()}, {"LC_ALL", "C"}, {"LANG", ""}, {"LC_TIME", ""}});
  ASSERT_TRUE(child.Wait());
  const std::time_t after = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());

  // The exception was handled: the installation went on and nothing was shown.
  EXPECT_EQ(child.ExitCode(), 0);
  EXPECT_EQ(child.Stdout(), "");
  EXPECT_EQ(child.Stderr(), "");
  EXPECT_TRUE(std::filesystem::exists(units / "Rodivo_vedodaraz.service"));

  // "<stamp>: <message> . Class Name = <class>", once, in error_s.log; nothing in the service log.
  const std::string message = SocketCallError(104, "recv").Message();
  std::set<std::string> possible;
  for (std::time_t t = before; t <= after; ++t) {
    possible.insert(CStamp(t) + ": " + message + " . Class Name = ESocketError\r\n");
  }
  const std::string log = test::ReadFile((bin / kErrorLogFileName).string());
  EXPECT_EQ(possible.count(log), 1u) << "error_s.log holds:\n" << ::testing::PrintToString(log)
                                     << "\nwhere one of these was expected:\n" << ::testing::PrintToString(possible);
  EXPECT_FALSE(std::filesystem::exists(bin / kServiceLogFileName));
}

}  // namespace

// Channels that heal, through the real executable on Linux: a serial device that goes away and
// comes back behind the same link, an options file with bad lines, whatever cannot be read as
// an options file, and what waiting retries cost (wake-ups, the stop).

#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <filesystem>
#include <functional>
#include <fstream>

#include "relay/log_texts.h"
#include "tests/e2e/linux/notify_service_fixture.h"
#include "tests/serial/serial_test_support.h"

namespace {

using namespace std::chrono_literals;
using test::Client;

// A relay built with a sanitizer carries the sanitizer's own threads, which wake as they please.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr int kWarning = 3 * 8 + 4;  // daemon facility, warning severity
constexpr int kInformation = 3 * 8 + 6;
constexpr int kError = 3 * 8 + 3;

std::string Channel(const std::string& device_port, const std::string& type, const std::string& partner,
                    const std::string& label) {
  return device_port + ";0;" + type + ";" + partner + ";" + label + "\r\n";
}

// The times every thread of the process went to sleep so far: each ends in a wake-up. (Being
// preempted, a nonvoluntary switch, is the machine's doing, not a wake-up.)
long long WakeUps(int pid) {
  long long total = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks)) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stoll(line.substr(line.find(':') + 1));
    }
  }
  return total;
}

class HealingLinux : public e2e::NotifyServiceProcess {
 protected:
  void WriteOptions(const std::string& text) {
    std::filesystem::create_directories(dir_.path() / bin_);
    std::ofstream(bin_file("cnf_options.cfg"), std::ios::binary) << text;
  }
  // The text of the next entry, which must be of `severity` and from the service.
  std::string NextEntry(int severity) {
    const std::optional<std::string> datagram = log_.Receive();
    if (!datagram) return "(no entry)";
    EXPECT_EQ(datagram->rfind("<" + std::to_string(severity) + ">", 0), 0u) << *datagram;
    const std::size_t text = datagram->find("]: ");
    return text == std::string::npos ? *datagram : datagram->substr(text + 3);
  }
  void ExpectNoMoreEntries() { EXPECT_FALSE(log_.Receive(0ms).has_value()); }
};

TEST_F(HealingLinux, SerialDeviceThatGoesAwayIsReopenedUnderItsLinkWhileTheDevicesStay) {
  auto line = std::make_unique<serial_test::PtyPair>();
  ASSERT_TRUE(line->ok());
  const std::string link = dir_.file("usb-meter-if00");  // as /dev/serial/by-id/ names a device
  ASSERT_EQ(::symlink(line->slave().c_str(), link.c_str()), 0);
  const std::string lock = "/run/lock/LCK.." + line->slave().substr(5, 3) + "_" + line->slave().substr(9);
  const int device_port = test::FreePort();
  WriteOptions("retry 1\n");
  Start(Channel(std::to_string(device_port), "1", link, "meter"));
  EXPECT_EQ(NextEntry(kInformation).substr(0, 1), "C");  // the start entry
  Client d1(device_port), d2(device_port);
  auto sync_line = [&] {
    return e2e::Sync([&](const std::string& bytes) { return line->Write(bytes); }, {&d1, &d2});
  };
  ASSERT_TRUE(sync_line());
  ASSERT_TRUE(d1.SendAll("before"));
  ASSERT_EQ(line->Read(6), "before");
  const bool locked = std::filesystem::exists(lock);  // where /run/lock takes lock files

  // The device goes away, and its link with it.
  line.reset();
  ASSERT_EQ(::unlink(link.c_str()), 0);
  const std::string naming = "Channel 1 \"meter\", serial side: serial port \"" + link + "\"";
  EXPECT_EQ(NextEntry(kWarning), naming + " went away: Input/output error; tried again every 1 s");
  if (locked) {
    EXPECT_FALSE(std::filesystem::exists(lock)) << "the lock file outlived the closed port";
  }
  // What the devices send meanwhile is read and dropped.
  ASSERT_TRUE(d1.SendAll("lost"));
  ASSERT_TRUE(d2.SendAll("dropped"));
  ASSERT_TRUE(test::WaitUntil([&] {
    return test::RelayUnread(device_port, d1.LocalPort()) == 0 && test::RelayUnread(device_port, d2.LocalPort()) == 0;
  }));

  // A new device behind the same link: the channel relays both ways again, to the devices that
  // stayed connected.
  line = std::make_unique<serial_test::PtyPair>();
  ASSERT_TRUE(line->ok());
  ASSERT_EQ(::symlink(line->slave().c_str(), link.c_str()), 0);
  const std::string back = NextEntry(kInformation);
  EXPECT_EQ(back.substr(0, naming.size() + 15), naming + " is back after ") << back;
  EXPECT_EQ(back.substr(back.find(';')), "; 11 bytes from the devices were dropped while it was away") << back;
  ASSERT_TRUE(sync_line());
  ASSERT_TRUE(d2.SendAll("after"));
  EXPECT_EQ(line->Read(5), "after");  // the bytes of the gap never came later
  ASSERT_TRUE(line->Write("to both"));
  EXPECT_EQ(d1.Receive(7), "to both");
  EXPECT_EQ(d2.Receive(7), "to both");
  Stop();
  ExpectNoMoreEntries();
  EXPECT_EQ(ServiceLogTexts(), (std::vector<std::string>{kServiceStartText, kServiceExecuteText}));
  ::unlink(link.c_str());
}

// Lines the reader cannot read keep every listener closed, the first five told in error entries
// and the rest counted; the good retry line counts (the file is read again at each retry), and
// what waits for its retry costs no wake-up of its own and does not hold up the stop.
TEST_F(HealingLinux, BadOptionLinesAreToldUpToFiveAndWaitingRetriesCostNothing) {
  WriteOptions(
      "# what goes beyond the channels\r\n"  // 1
      "\r\n"                                 // 2
      "  Retry\t2   # with a comment\r\n"    // 3: counts
      "retry 5\r\n"                          // 4: a second time
      "retyr 3\r\n"                          // 5
      "retry 0\r\n"                          // 6
      "retry 3601\r\n"                       // 7
      "retry 2s\r\n"                         // 8
      "retry\r\n"                            // 9
      "retry 1 2\r\n"                        // 10
      "listen device 127.0.0.1\n");          // 11: no keyword
  const std::string missing = dir_.file("no-such-tty");
  const int device_port = test::FreePort(), server_port = test::FreePort(), serial_port = test::FreePort();
  Start(Channel(std::to_string(device_port), "2", std::to_string(server_port), "tcp") +
        Channel(std::to_string(serial_port), "1", missing, "serial"));
  EXPECT_EQ(NextEntry(kInformation).substr(0, 1), "C");
  const std::string file = "Options file \"" + bin_file("cnf_options.cfg") + "\"";
  const std::string closed = "; no listener opens";
  const std::string wanted = "retry takes one value, the seconds between tries, from 1 to 3600";
  for (const std::string& problem : std::vector<std::string>{
           ", line 4: retry is given a second time: line 3 counts" + closed,
           ", line 5: unknown keyword \"retyr\"" + closed,
           ", line 6: " + wanted + ", not \"0\"" + closed,
           ", line 7: " + wanted + ", not \"3601\"" + closed,
           ", line 8: " + wanted + ", not \"2s\"" + closed,
           ": 3 more lines cannot be read" + closed + "; the file is read again every 2 s",
       }) {
    EXPECT_EQ(NextEntry(kError), file + problem);
  }
  EXPECT_FALSE(Client().Connect(device_port));
  EXPECT_FALSE(Client().Connect(server_port));

  // Waiting for their retries, the channels cost no more than an idle relay's reports.
  while (notify_.Receive(0ms)) {
  }
  const long long before = WakeUps(child_->pid());
  const auto start = test::Clock::now();
  for (int reports = 0; reports < 8;) {  // 6.4 s
    if (notify_.Receive()) ++reports;
  }
  const double seconds = std::chrono::duration<double>(test::Clock::now() - start).count();
  const double per_second = static_cast<double>(WakeUps(child_->pid()) - before) / seconds;
  if (!kSanitized) {
    EXPECT_LE(per_second, 2.0) << "wake-ups per second while the options file waits to be read again";
  }

  const auto stop = test::Clock::now();
  Stop();
  EXPECT_LE(test::Clock::now() - stop, 2s) << "the stop waited for the retries";
  ExpectNoMoreEntries();
  EXPECT_EQ(ServiceLogTexts(), (std::vector<std::string>{kServiceStartText,
                                                         kSocketOpenFailedText + std::to_string(device_port),
                                                         kSocketOpenFailedText + std::to_string(serial_port),
                                                         kSocketOpenFailedText + std::to_string(server_port),
                                                         kServiceExecuteText}));
}

// Whatever stands at the options file's path that cannot be read as a file keeps every listener
// closed (it may have said who may connect: nobody is let in rather than everybody), and
// -status says why of every side.
TEST_F(HealingLinux, OptionsFileThatCannotBeReadKeepsEveryListenerClosed) {
  const std::string path = bin_file("cnf_options.cfg");
  const struct {
    const char* name;
    std::function<void()> make;
    std::string why;
  } cases[] = {
      {"a directory", [&] { std::filesystem::create_directories(path); }, "it is not a regular file"},
      {"a FIFO without a writer", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0); }, "it is not a regular file"},
      {"an endless device", [&] { ASSERT_EQ(::symlink("/dev/zero", path.c_str()), 0); }, "it is not a regular file"},
      {"a file larger than 1 MiB", [&] { WriteOptions(std::string((1u << 20) + 1, '#')); }, "it is larger than 1 MiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int device_port = test::FreePort(), server_port = test::FreePort();
    std::filesystem::create_directories(dir_.path() / bin_);
    c.make();
    Start(Channel(std::to_string(device_port), "2", std::to_string(server_port), "tcp"));
    EXPECT_EQ(NextEntry(kInformation).substr(0, 1), "C");
    EXPECT_EQ(NextEntry(kError), "Options file \"" + path + "\" cannot be read: " + c.why + "; no listener opens");
    EXPECT_FALSE(test::Client().Connect(device_port));
    EXPECT_FALSE(test::Client().Connect(server_port));
    test::ChildProcess status(exe_, {"-status"}, {{"NOTIFY_SOCKET", ""}}, dir_.path().string());
    ASSERT_TRUE(status.Wait());
    const std::string reason = "options file cannot be read: " + c.why;
    const std::string out = status.Stdout();
    std::size_t sides = 0;
    for (std::size_t at = out.find(reason); at != std::string::npos; at = out.find(reason, at + 1)) ++sides;
    EXPECT_EQ(sides, 2u) << out;
    Stop();
    ExpectNoMoreEntries();
    std::filesystem::remove_all(path);
    std::filesystem::remove(bin_file("log_service.txt"));
  }
}

}  // namespace

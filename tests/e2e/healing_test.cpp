// Channels that heal, through the real executable: a listener whose port another program
// holds at start opens once the port is free when the options file sets retry, and never
// without it. Run on Linux and under Wine alike (launcher.h).

#include <fstream>
#include <thread>

#include "relay/log_texts.h"
#include "tests/e2e/relay_fixture.h"

namespace {

using namespace std::chrono_literals;
using test::Client;

class Healing : public e2e::RelayProcess {
 protected:
  bool Connects(int port, std::chrono::milliseconds within) {
    return test::WaitUntil([&] { return Client().Connect(port); }, within);
  }
};

TEST_F(Healing, ListenerHeldAtStartOpensOnceFreeOnlyWithRetry) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  const std::string channel =
      std::to_string(device_port) + ";0;2;" + std::to_string(server_port) + ";north gate\r\n";
  const std::string failed_line = kSocketOpenFailedText + std::to_string(server_port);
  const std::string head = "Channel 1 \"north gate\", server side: ";
  const std::string failed = head + "cannot listen on TCP port " + std::to_string(server_port) + ": " +
                             launcher_->PortInUseText();

  // Without the options file: a port freed after the start stays closed for the run, and its
  // warning says nothing of a retry.
  {
    e2e::PortHolder holder(server_port);
    Start(channel);
    holder.Release();
    EXPECT_FALSE(Connects(server_port, 3s)) << "the listener opened without retry";
  }
  const auto first = launcher_->EventEntries(2, 300ms);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[1].text, failed);
  Stop();

  // With retry 1: held for a while after the start, then the channel relays within 1 + 2 s.
  std::ofstream(bin_file("cnf_options.cfg"), std::ios::binary) << "# heal\r\nretry 1\r\n";
  e2e::PortHolder holder(server_port);
  Start(channel);
  // -status tells that the side waits, with the reason.
  const std::string waiting = "server port " + std::to_string(server_port) + " waiting (" + launcher_->PortInUseText();
  e2e::HandRun status;
  std::vector<e2e::EventEntry> entries;  // the service's, as the hand runs pick them up
  ASSERT_TRUE(test::WaitUntil([&] {
    status = launcher_->RunByHand({"-status"});
    entries.insert(entries.end(), status.entries.begin(), status.entries.end());
    return status.out.find(waiting) != std::string::npos;
  })) << status.out << status.err;
  std::this_thread::sleep_for(2500ms);  // the other program's while: a few retries fail
  holder.Release();
  ASSERT_TRUE(Connects(server_port, 3s)) << "the listener did not open within the retry period and 2 s";
  Client server, device(device_port);
  ASSERT_TRUE(server.Connect(server_port));
  ASSERT_TRUE(e2e::Sync(device, {&server}));
  ASSERT_TRUE(e2e::Sync(server, {&device}));
  Stop();

  // One failed-open line per start; the retries write nothing there.
  EXPECT_EQ(ServiceLogTexts(), (std::vector<std::string>{kServiceStartText, failed_line, kServiceExecuteText,
                                                         kServiceStartText, failed_line, kServiceExecuteText}));
  for (const auto& entry : launcher_->EventEntries(3 - std::min<std::size_t>(entries.size(), 3), 300ms)) {
    entries.push_back(entry);
  }
  ASSERT_EQ(entries.size(), 3u) << (entries.empty() ? std::string("none") : entries.back().text);
  EXPECT_EQ(entries[1].type, 2);
  EXPECT_EQ(entries[1].text, failed + "; tried again every 1 s");
  EXPECT_EQ(entries[2].type, 4);
  const std::string opened = head + "listening on TCP port " + std::to_string(server_port) + " after ";
  EXPECT_EQ(entries[2].text.substr(0, opened.size()), opened) << entries[2].text;
  EXPECT_GE(std::atoi(entries[2].text.substr(opened.size()).c_str()), 2) << entries[2].text;
}

}  // namespace

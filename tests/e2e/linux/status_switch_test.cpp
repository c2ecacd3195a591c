// -status against the real service: the state of each kind of side, peers and bytes that
// follow connections and traffic, the peers' addresses, the JSON form read back; the exit codes
// of no service and of a refused user; and clients that misuse the endpoint while a channel
// relays.

#include <sys/socket.h>
#include <sys/un.h>

#include <thread>

#include "platform/status_endpoint.h"
#include "tests/e2e/linux/notify_service_fixture.h"
#include "tests/serial/serial_test_support.h"
#include "tests/support/json_reader.h"

namespace {

using test::Client;

class StatusSwitch : public e2e::NotifyServiceProcess {
 protected:
  // Runs the executable with `arguments`, as the user `uid` when it is not root.
  e2e::HandRun Status(const std::vector<std::string>& arguments, int uid = 0) {
    std::vector<std::string> command = arguments;
    std::string program = exe_;
    if (uid != 0) {
      const std::string id = std::to_string(uid);
      command.insert(command.begin(), {"--reuid=" + id, "--regid=" + id, "--clear-groups", exe_});
      program = "setpriv";
    }
    test::ChildProcess child(program, command, {{"NOTIFY_SOCKET", ""}}, dir_.path().string());
    e2e::HandRun run;
    run.ended = child.Wait();
    run.exit_code = child.ExitCode();
    run.out = child.Stdout();
    run.err = child.Stderr();
    return run;
  }

  std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      lines.push_back(text.substr(at, end - at));
    }
    return lines;
  }

  // Waits until the line of channel `k` reads `line`; answers the last one seen.
  std::string WaitForChannelLine(int k, const std::string& line) {
    std::string seen;
    test::WaitUntil([&] {
      const std::vector<std::string> lines = Lines(Status({"-status"}).out);
      seen = lines.size() > static_cast<std::size_t>(k) ? lines[k] : std::string();
      return seen == line;
    });
    return seen;
  }

  // A client of the endpoint of the service's directory, connected and nothing else; -1 when
  // the backlog is full (for a while, with `wait`).
  int Connect(bool wait = true) {
    const std::string name = platform::detail::StatusEndpointName(bin_file(""));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name.copy(address.sun_path + 1, name.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const bool connected = test::WaitUntil(
        [&] {
          return ::connect(fd, reinterpret_cast<sockaddr*>(&address),
                           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())) == 0 || !wait;
        },
        std::chrono::seconds(2));
    if (connected) return fd;
    ::close(fd);
    return -1;
  }

  // What a client receives until the service closes, or nothing when it stays open past `timeout`.
  std::optional<std::string> ReceiveToEnd(int fd, std::chrono::milliseconds timeout) {
    std::string received;
    const bool ended = test::WaitUntil(
        [&] {
          char buffer[4096];
          const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
          if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
          return n == 0 || (n < 0 && errno == ECONNRESET);
        },
        timeout);
    return ended ? std::optional<std::string>(received) : std::nullopt;
  }

  int EntriesAbout(const std::string& text) {
    int count = 0;
    while (auto datagram = log_.Receive(std::chrono::milliseconds(0))) count += datagram->find(text) != std::string::npos;
    return count;
  }
};

std::string Channel(int device, int type, const std::string& partner, const std::string& label) {
  return std::to_string(device) + ";0;" + std::to_string(type) + ";" + partner + ";" + label + "\r\n";
}

TEST_F(StatusSwitch, TellsEachSideItsPeersAndTheirBytesInEveryForm) {
  serial_test::PtyPair line;
  e2e::PortHolder holder;
  const int d1 = test::FreePort(), s1 = test::FreePort(), s2 = test::FreePort(), d3 = test::FreePort(),
            d4 = test::FreePort();
  Start(Channel(d1, 2, std::to_string(s1), "one") + Channel(holder.port(), 2, std::to_string(s2), "two") +
        Channel(d3, 1, line.slave(), "three") + Channel(d4, 1, "/dev/korvenet-no-such-port", "four"));
  const std::string bytes_none = "0 bytes from devices, 0 bytes to devices";
  e2e::HandRun run = Status({"-status"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.err, "");
  std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 5u) << run.out;
  EXPECT_EQ(lines[0].find("Korvenet "), 0u);
  EXPECT_NE(lines[0].find(", process " + std::to_string(child_->pid()) + ", started "), std::string::npos);
  EXPECT_NE(lines[0].find("Z, 4 channels"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1], "channel 1 \"one\": device port " + std::to_string(d1) + " listening, 0 devices; server port " +
                          std::to_string(s1) + " listening, 0 servers; " + bytes_none);
  EXPECT_EQ(lines[2], "channel 2 \"two\": device port " + std::to_string(holder.port()) +
                          " failed (Address already in use), 0 devices; server port " + std::to_string(s2) +
                          " listening, 0 servers; " + bytes_none);
  EXPECT_EQ(lines[3], "channel 3 \"three\": device port " + std::to_string(d3) + " listening, 0 devices; serial " +
                          line.slave() + " open; " + bytes_none);
  EXPECT_EQ(lines[4], "channel 4 \"four\": device port " + std::to_string(d4) +
                          " listening, 0 devices; serial /dev/korvenet-no-such-port failed (No such file or "
                          "directory); " + bytes_none);

  // Peers and bytes follow the connections and the traffic, both ways, a leaver's included.
  Client device(d1), leaver(d1), server(s1), on_line(d3);
  const std::string one_peers = "channel 1 \"one\": device port " + std::to_string(d1) + " listening, 2 devices; " +
                                "server port " + std::to_string(s1) + " listening, 1 server; ";
  EXPECT_EQ(WaitForChannelLine(1, one_peers + bytes_none), one_peers + bytes_none);
  ASSERT_TRUE(device.SendAll("hello"));
  EXPECT_EQ(server.Receive(5), "hello");
  ASSERT_TRUE(server.SendAll("world!"));
  EXPECT_EQ(device.Receive(6), "world!");
  EXPECT_EQ(leaver.Receive(6), "world!");
  const std::string three = "channel 3 \"three\": device port " + std::to_string(d3) + " listening, 1 device; serial " +
                            line.slave() + " open; " + bytes_none;
  EXPECT_EQ(WaitForChannelLine(3, three), three);
  ASSERT_TRUE(on_line.SendAll("abc"));
  EXPECT_EQ(line.Read(3), "abc");
  ASSERT_TRUE(line.Write("xyzw"));
  EXPECT_EQ(on_line.Receive(4), "xyzw");

  lines = Lines(Status({"-status", "-peers"}).out);
  ASSERT_EQ(lines.size(), 9u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[1], one_peers + "5 bytes from devices, 12 bytes to devices");
  auto peer_line = [&](const std::string& line_text, const Client& client, const char* side, const char* bytes) {
    const std::string head = "  127.0.0.1:" + std::to_string(client.LocalPort()) + " " + side + ", connected since ";
    EXPECT_EQ(line_text.substr(0, head.size()), head);
    EXPECT_EQ(line_text.substr(line_text.find("Z, ") + 1), std::string(", ") + bytes);
  };
  peer_line(lines[2], device, "device", "5 bytes in, 6 bytes out");
  peer_line(lines[3], leaver, "device", "0 bytes in, 6 bytes out");
  peer_line(lines[4], server, "server", "6 bytes in, 5 bytes out");
  EXPECT_EQ(lines[5].substr(0, 12), "channel 2 \"t");
  EXPECT_EQ(lines[6].substr(lines[6].find("; 3 bytes")), "; 3 bytes from devices, 4 bytes to devices");
  peer_line(lines[7], on_line, "device", "3 bytes in, 4 bytes out");

  leaver.Close();
  const std::string one_left = "channel 1 \"one\": device port " + std::to_string(d1) + " listening, 1 device; " +
                               "server port " + std::to_string(s1) + " listening, 1 server; " +
                               "5 bytes from devices, 12 bytes to devices";
  EXPECT_EQ(WaitForChannelLine(1, one_left), one_left);

  run = Status({"-STATUS", "/json"});
  EXPECT_EQ(run.exit_code, 0);
  const std::optional<test::Json> json = test::ReadJson(run.out);
  ASSERT_TRUE(json) << run.out;
  EXPECT_EQ((*json)["pid"].integer(), static_cast<std::uint64_t>(child_->pid()));
  const test::Json& one = (*json)["channels"][0];
  EXPECT_EQ(one["type"].integer(), 2u);
  EXPECT_EQ(one["bytes_from_devices"].integer(), 5u);
  EXPECT_EQ(one["bytes_to_devices"].integer(), 12u);
  EXPECT_EQ(one["device"]["peers"].items.size(), 1u);
  EXPECT_EQ(one["device"]["peers"][0]["port"].integer(), static_cast<std::uint64_t>(device.LocalPort()));
  EXPECT_EQ(one["server"]["peers"][0]["bytes_in"].integer(), 6u);
  EXPECT_EQ((*json)["channels"][1]["device"]["state"].text, "failed");
  EXPECT_EQ((*json)["channels"][1]["device"]["reason"].text, "Address already in use");
  const test::Json& serial = (*json)["channels"][2];
  EXPECT_EQ(serial["serial"]["state"].text, "open");
  EXPECT_EQ(serial["serial"]["since"].text.size(), 20u);
  EXPECT_TRUE(serial["server"].is_null());
  EXPECT_EQ((*json)["channels"][3]["serial"]["state"].text, "failed");
  EXPECT_TRUE((*json)["channels"][3]["serial"]["since"].is_null());
  Stop();
}

TEST_F(StatusSwitch, TheServiceManagersLineFollowsTheFigures) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Launch(Channel(device_port, 2, std::to_string(server_port), "one") +
         Channel(test::FreePort(), 1, "/dev/korvenet-no-such-port", "two"));
  // The STATUS of each report, up to one of `state` that reads `line`.
  auto reports_until = [&](const std::string& state, const std::string& line) {
    std::vector<std::string> seen;
    const auto end = test::Clock::now() + test::kDeadline;
    while (auto datagram = test::Clock::now() < end ? notify_.Receive() : std::nullopt) {
      auto fields = test::ParseNotify(*datagram);
      seen.push_back(fields["STATUS"]);
      if (fields["X_STATE"] == state && fields["STATUS"] == line) break;
    }
    return seen;
  };
  const std::string head = "2 channels: 1 open, 1 failed (channel 2: serial /dev/korvenet-no-such-port failed); ";
  EXPECT_EQ(reports_until("4", head + "0 devices, 0 servers; 0 bytes relayed"),
            (std::vector<std::string>{"SERVICE_START_PENDING", "SERVICE_START_PENDING",
                                      head + "0 devices, 0 servers; 0 bytes relayed"}));
  Client device(device_port), server(server_port);
  ASSERT_TRUE(e2e::Sync(device, {&server}));
  ASSERT_TRUE(device.SendAll(std::string(20000, 'x')));
  EXPECT_EQ(server.Receive(20000).size(), 20000u);
  EXPECT_EQ(reports_until("4", head + "1 device, 1 server; 20 kB relayed").back(),
            head + "1 device, 1 server; 20 kB relayed");
  child_->Signal(SIGTERM);
  const std::vector<std::string> stopping = reports_until("1", "SERVICE_STOPPED");
  EXPECT_EQ(std::vector<std::string>(stopping.end() - 2, stopping.end()),
            (std::vector<std::string>{"SERVICE_STOP_PENDING", "SERVICE_STOPPED"}));
  EXPECT_TRUE(child_->Wait());
}

TEST_F(StatusSwitch, NoServiceIsExitCode3AndARefusedUserExitCode4) {
  exe_ = test::CopyExecutable(dir_.path() / bin_);
  e2e::HandRun run = Status({"-status"});
  EXPECT_EQ(run.exit_code, 3);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "tcp_port_serv: no service of " + bin_file("") +
                         " answers; start it with: systemctl start Rodivo_vedodaraz\n");

  Start(Channel(test::FreePort(), 2, std::to_string(test::FreePort()), "one"));
  run = Status({"-status"}, 65534);
  EXPECT_EQ(run.exit_code, 4);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "tcp_port_serv: permission denied\n");
  ASSERT_TRUE(test::WaitUntil([&] { return log_.Receive(std::chrono::milliseconds(100)).value_or("").find(
                                               "Status endpoint: a client was turned away (its user is not "
                                               "served)") != std::string::npos; }));
  Stop();
}

TEST_F(StatusSwitch, AClientThatFindsEveryPlaceTakenWaitsForOne) {
  Start(Channel(test::FreePort(), 2, std::to_string(test::FreePort()), "one"));
  std::vector<int> holders;
  for (int i = 0; i < platform::StatusEndpoint::kMaxClients; ++i) holders.push_back(Connect());
  e2e::HandRun run;
  std::thread asking([&] { run = Status({"-status"}); });
  EXPECT_TRUE(test::WaitUntil([&] { return EntriesAbout("(over the limit of 8 at once)") > 0; }));
  for (int fd : holders) ::close(fd);
  asking.join();
  EXPECT_EQ(run.exit_code, 0) << run.err;
  Stop();
}

TEST_F(StatusSwitch, ClientsThatMisuseTheEndpointAreDroppedWhileAChannelRelays) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, 2, std::to_string(server_port), "busy"));
  Client device(device_port), server(server_port);
  ASSERT_TRUE(e2e::Sync(device, {&server}));
  const int garbage = Connect(), flood = Connect();
  ASSERT_TRUE(garbage >= 0 && flood >= 0);
  const std::string stream = e2e::Pattern(8 << 20, 7);
  std::thread sender([&] { device.SendAll(stream); });

  // One that sends garbage, one a megabyte, ten that send nothing (four of them over the limit),
  // a thousand at once.
  ::send(garbage, "garbage\n", 8, MSG_NOSIGNAL);
  std::thread megabyte([&] {
    const std::string bytes(1 << 20, 'x');
    for (std::size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = ::send(flood, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN) return;
      sent += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    }
  });
  std::vector<int> silent;
  for (int i = 0; i < 10; ++i) silent.push_back(Connect());
  std::vector<int> crowd;
  for (int i = 0; i < 1000; ++i) crowd.push_back(Connect(false));
  for (int fd : crowd) ::close(fd);

  EXPECT_EQ(server.Receive(stream.size()), stream) << "the channel relayed the whole stream meanwhile";
  const auto deadline = std::chrono::seconds(5) + std::chrono::seconds(3);
  for (int fd : silent) EXPECT_TRUE(ReceiveToEnd(fd, deadline)) << "a silent client was dropped in time";
  EXPECT_TRUE(ReceiveToEnd(flood, deadline));
  megabyte.join();
  const std::optional<std::string> answer = ReceiveToEnd(garbage, deadline);
  EXPECT_TRUE(answer == "OK 16\nunknown request\n" || answer == "") << answer.value_or("(none)");
  for (int fd : silent) ::close(fd);
  ::close(flood);
  ::close(garbage);
  sender.join();

  EXPECT_EQ(Status({"-status"}).exit_code, 0) << "the endpoint answers again";
  EXPECT_EQ(EntriesAbout("Status endpoint: "), 1) << "one entry about it in the minute";
  Stop();
}

}  // namespace

// Scenarios of the process: stops at many moments, the interrogate and shutdown signals, an
// event log and a notify socket that stop reading, a log directory that turns read-only, a
// channel file replaced while running, two instances in one directory, and a status endpoint
// whose name another user took first.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "relay/log_texts.h"
#include "tests/matrix/matrix.h"
#include "tests/support/linux/status_squatter.h"

namespace matrix {
namespace {

bool SyncFromLine(SerialLine& line, const std::vector<Peer*>& devices) {
  return Sync([&](const std::string& bytes) { return line.Write(bytes); }, devices);
}

bool AnyDatagram(const std::string&) { return true; }

}  // namespace

void StopDuringStartUp(Matrix& m, int moment) {
  // Enough channels that the start takes a while, and a serial line.
  SerialLine line;
  ASSERT_TRUE(line.ok());
  std::string channels;
  for (int k = 0; k < 200; ++k) channels += TcpChannel(TakePort(), TakePort());
  channels += SerialChannel(TakePort(), line.name());
  m.installation().WriteChannels(channels);
  {
    RelayRun run(m.installation(), "early");
    ASSERT_TRUE(run.launched());
    // Moments after the start, from before the program runs to the running report.
    constexpr int kMicroseconds[kStopMoments] = {0, 500, 1000, 2000, 4000, 8000, 16000, -1, 40000, -2};
    const int at = kMicroseconds[moment];
    if (at == -1) {
      EXPECT_TRUE(run.notify().WaitFor(AnyDatagram).has_value()) << "no first report";
    } else if (at == -2) {
      EXPECT_TRUE(run.WaitRunning());
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(at));  // the moment itself
    }
    run.Signal(SIGTERM);
    ASSERT_TRUE(run.WaitExit()) << "SIGTERM did not end the starting relay";
    if (WIFSIGNALED(run.status()) && WTERMSIG(run.status()) == SIGTERM) {
      // Only before the program has taken the stop signals in hand, and then it has reported
      // nothing.
      EXPECT_EQ(run.notify().Count(), 0u) << "the relay reported, then died of SIGTERM";
      ::testing::Test::RecordProperty("ended_before_it_ran", 1);
    } else {
      EXPECT_TRUE(run.ExitedCleanly());
      const auto states = run.States();
      if (!states.empty()) {
        EXPECT_EQ(states.back(), "1") << "the last report is not stopped";
      }
    }
  }
  // Nothing of it stays behind: the next run opens every port and the serial line.
  RelayRun again(m.installation(), "again");
  ASSERT_TRUE(again.WaitRunning());
  EXPECT_TRUE(EveryChannelOpened(m.installation()));
  EXPECT_TRUE(again.StopCleanly());
}

void StopDuringTransfer(Matrix& m, int moment) {
  SerialLine line;
  ASSERT_TRUE(line.ok());
  const int device_port = TakePort(), server_port = TakePort(), serial_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(
      m.Begin(TcpChannel(device_port, server_port) + SerialChannel(serial_port, line.name())));
  Peer server(server_port), device(device_port), serial_device(serial_port);
  ASSERT_TRUE(Sync(device, {&server}));
  ASSERT_TRUE(Sync(server, {&device}));
  ASSERT_TRUE(SyncFromLine(line, {&serial_device}));

  const std::string up = Pattern(static_cast<std::size_t>(Scaled(16 << 20, 4 << 20)), 40 + moment);
  const std::string down = Pattern(1 << 20, 50 + moment);
  const std::string serial = Pattern(256 << 10, 60 + moment);
  const bool server_stalls = moment == 4;
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> sent_up{0}, got_up_size{0}, serial_written{0};
  std::string got_up, got_down, got_serial;
  bool up_closed = false, down_closed = false, serial_closed = false;
  std::vector<Peer> crowd;
  crowd.reserve(64);
  {
    Background send_up([&] {
      for (std::size_t at = 0; at < up.size() && device.SendAll(up.substr(at, 65536)); at += 65536) sent_up = at;
    });
    Background send_down([&] { server.SendAll(down); });
    Background receive_down([&] { got_down = device.ReceiveUntilClosed(down_closed); });
    Background receive_up([&] {
      if (server_stalls) {
        while (!stop) std::this_thread::sleep_for(milliseconds(5));
      }
      while (true) {
        std::string more = server.ReceiveSome();
        if (more.empty()) break;
        got_up += more;
        got_up_size = got_up.size();
      }
      up_closed = true;
    });
    Background write_line([&] {
      for (std::size_t at = 0; at < serial.size() && !stop; at += 4096) {
        if (!line.Write(serial.substr(at, 4096), milliseconds(500))) break;
        serial_written = at + 4096;
      }
    });
    Background receive_serial([&] { got_serial = serial_device.ReceiveUntilClosed(serial_closed); });
    std::string line_got;
    Background read_line([&] {
      while (!stop) line_got += line.ReadSome(milliseconds(50));
    });
    std::unique_ptr<Background> extra;

    switch (moment) {
      case 0:  // a device has just connected, before the relay could accept it
        crowd.emplace_back(device_port);
        break;
      case 1:  // the first bytes are through
        EXPECT_TRUE(WaitUntil([&] { return got_up_size > 0; }));
        break;
      case 2:
        EXPECT_TRUE(WaitUntil([&] { return got_up_size >= up.size() / 4; }));
        break;
      case 3:
        EXPECT_TRUE(WaitUntil([&] { return got_up_size >= up.size() * 3 / 4; }));
        break;
      case 4: {  // the server reads nothing: the relay keeps bytes and has paused the device
        std::size_t last = 0;
        EXPECT_TRUE(WaitUntil([&] {
          std::size_t now = sent_up;
          bool still = now == last && now > 0;
          last = now;
          if (!still) std::this_thread::sleep_for(milliseconds(100));
          return still;
        }));
        break;
      }
      case 5:  // connections come and go
        extra = std::make_unique<Background>([&] {
          for (int i = 0; !stop; ++i) {
            Peer churner(i % 2 ? server_port : device_port);
            if (i % 3 == 0) churner.Reset();
          }
        });
        std::this_thread::sleep_for(milliseconds(100));
        break;
      case 6:  // many devices arrive at once
        for (int i = 0; i < 12; ++i) crowd.emplace_back(device_port);
        break;
      case 7:  // the serial line is busy both ways
        extra = std::make_unique<Background>([&] {
          while (!stop && serial_device.SendAll(std::string(4096, 's'))) {
          }
        });
        EXPECT_TRUE(WaitUntil([&] { return serial_written >= 64 * 1024; }));
        break;
      case 8: {  // a device resets in the same instant
        Peer leaving(device_port);
        EXPECT_TRUE(m.WaitForExtraDescriptors(4));  // accepted, beside the three peers
        leaving.Reset();
        break;
      }
      case 9:  // interrogations come in a burst
        for (int i = 0; i < 20; ++i) m.relay().Signal(SIGHUP);
        break;
    }
    m.heartbeat().End();
    m.relay().Signal(SIGTERM);
    EXPECT_TRUE(m.relay().WaitForState("1")) << "no stopped report";
    if (!m.relay().WaitExit()) {
      ADD_FAILURE() << "SIGTERM did not end the relay";
      m.relay().Signal(SIGKILL);  // so that the peers' threads end
      m.relay().WaitExit();
    }
    EXPECT_TRUE(m.relay().ExitedCleanly());
    stop = true;
    read_line.Join();
    EXPECT_EQ(line_got.find_first_not_of('s'), std::string::npos) << "the line received other bytes";
  }
  // Every peer was closed by the stop, and what each received is the start of what was sent.
  EXPECT_TRUE(up_closed && down_closed && serial_closed);
  EXPECT_TRUE(IsPrefix(got_up, up)) << "the server's stream is not the device's";
  EXPECT_TRUE(IsPrefix(got_down, down)) << "the device's stream is not the server's";
  EXPECT_TRUE(IsPrefix(got_serial, serial)) << "the device's stream is not the line's";
  for (Peer& peer : crowd) EXPECT_TRUE(peer.ClosedByPeer());
}

void InterrogateBySighup(Matrix& m) {
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  {
    Peer server(server_port), device(device_port);
    ASSERT_TRUE(Sync(device, {&server}));
    const std::string payload = Pattern(static_cast<std::size_t>(Scaled(4 << 20, 1 << 20)), 70);
    Background sender([&] { EXPECT_TRUE(device.SendAll(payload)); });
    std::string got;
    Background receiver([&] { got = server.Receive(payload.size()); });

    // Each SIGHUP is answered by a report at once: far more reports come than the periodic
    // ones alone (one per 0.8 s) could make.
    constexpr int kSignals = 20;
    const std::size_t before = m.relay().notify().Count();
    const auto started = Clock::now();
    for (int i = 0; i < kSignals; ++i) {
      const std::size_t seen = m.relay().notify().Count();
      m.relay().Signal(SIGHUP);
      ASSERT_TRUE(m.relay().notify().WaitFor(AnyDatagram, seen).has_value());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    const auto datagrams = m.relay().notify().Datagrams();
    const int reports = static_cast<int>(datagrams.size() - before);
    const int periodic = static_cast<int>(seconds / 0.8) + 2;
    EXPECT_GE(reports, kSignals) << reports << " reports in " << seconds << " s";
    EXPECT_GT(reports, periodic + kSignals / 2) << reports << " reports in " << seconds << " s";
    for (std::size_t i = before; i < datagrams.size(); ++i) {
      EXPECT_EQ(ParseNotify(datagrams[i])["X_STATE"], "4") << "an interrogation changed the state";
    }
    receiver.Join();
    EXPECT_TRUE(got == payload) << got.size() << " of " << payload.size() << " bytes, or not in order";
  }
  m.Conclude();
}

void ShutdownBySigpwr(Matrix& m) {
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  const std::string log_before = ReadFile(m.installation().file("log_service.txt"));
  Peer server(server_port), device(device_port);
  ASSERT_TRUE(Sync(device, {&server}));
  const std::string payload = Pattern(static_cast<std::size_t>(Scaled(16 << 20, 4 << 20)), 71);
  std::atomic<std::size_t> received{0};
  std::string got;
  bool closed = false;
  {
    Background sender([&] { device.SendAll(payload); });
    Background receiver([&] {
      while (true) {
        std::string more = server.ReceiveSome();
        if (more.empty()) break;
        got += more;
        received = got.size();
      }
      closed = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return received > 0; }));
    m.heartbeat().End();
    m.relay().Signal(SIGPWR);
    EXPECT_TRUE(m.relay().WaitForState("1"));
    EXPECT_TRUE(m.relay().WaitExit()) << "the shutdown did not end the relay";
  }
  EXPECT_TRUE(m.relay().ExitedCleanly());
  const auto states = m.relay().States();
  ASSERT_GE(states.size(), 2u);
  EXPECT_EQ(states[states.size() - 2], "3") << "no stop-pending report before the stopped one";
  EXPECT_TRUE(closed);
  EXPECT_TRUE(IsPrefix(got, payload));
  EXPECT_EQ(ReadFile(m.installation().file("log_service.txt")), log_before);
}

void EventLogNeverReads(Matrix& m) {
  const int device_port = TakePort(), server_port = TakePort();
  LaunchOptions options;
  options.read_event_log = false;
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port), options));
  {
    // Every reset makes an entry the log never takes; a burst of them.
    std::vector<Peer> doomed;
    doomed.reserve(256);
    ASSERT_TRUE(m.ConnectPaced(device_port, Scaled(200, 60), doomed, 0));
    for (Peer& peer : doomed) peer.Reset();
    EXPECT_TRUE(m.WaitForExtraDescriptors(0)) << "the relay did not let the reset peers go";
    EXPECT_TRUE(m.heartbeat().Healthy()) << "the relay waited for the event log";
    Peer server(server_port), device(device_port);
    ASSERT_TRUE(Sync(device, {&server}));
  }
  m.relay().event_log().StartReading();
  m.Conclude();
}

void NotifySocketNeverReads(Matrix& m) {
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  m.relay().notify().StopReading();
  // Interrogations fill the socket's queue faster than the periodic reports do.
  for (int i = 0; i < 30; ++i) {
    m.relay().Signal(SIGHUP);
    m.heartbeat().Mark();
    ASSERT_TRUE(m.heartbeat().Healthy(1)) << "the relay waited for the notify socket";
  }
  {
    Peer server(server_port), device(device_port);
    ASSERT_TRUE(Sync(device, {&server}));
  }
  EXPECT_TRUE(m.relay().BackToBaseline());
  m.heartbeat().End();
  m.relay().Signal(SIGTERM);
  EXPECT_TRUE(m.relay().WaitExit()) << "SIGTERM did not end the relay";
  EXPECT_TRUE(m.relay().ExitedCleanly());
}

void LogDirectoryTurnsReadOnly(Matrix& m) {
  // The superuser writes where permissions say no: the relay runs as nobody then.
  LaunchOptions options;
  Installation& installation = m.installation();
  if (::geteuid() == 0) {
    options.user = 65534;
    ASSERT_EQ(::chown(installation.directory().c_str(), 65534, 65534), 0);
  }
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port), options));
  const std::string log_path = installation.file("log_service.txt");
  const std::string log_before = ReadFile(log_path);
  EXPECT_EQ(installation.ServiceLogTexts(), (std::vector<std::string>{kServiceStartText, kServiceExecuteText}));
  ASSERT_EQ(::chmod(log_path.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(installation.directory().c_str(), 0555), 0);
  {
    Peer server(server_port), device(device_port);
    ASSERT_TRUE(Sync(device, {&server}));
    const std::string payload = Pattern(1 << 20, 72);
    Background sender([&] { EXPECT_TRUE(device.SendAll(payload)); });
    EXPECT_TRUE(server.Receive(payload.size()) == payload);
    for (int i = 0; i < 10; ++i) Peer(device_port).Reset();
  }
  m.Conclude();
  EXPECT_EQ(ReadFile(log_path), log_before);

  // A start in the read-only directory runs all the same; its lines are lost.
  RelayRun again(installation, "again", options);
  ASSERT_TRUE(again.WaitRunning());
  {
    Peer server(server_port), device(device_port);
    EXPECT_TRUE(Sync(device, {&server}));
  }
  EXPECT_TRUE(again.StopCleanly());
  EXPECT_EQ(ReadFile(log_path), log_before);
}

void ChannelFileReplacedWhileRunning(Matrix& m) {
  const int old_device = TakePort(), old_server = TakePort();
  const int new_device = TakePort(), new_server = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(old_device, old_server)));
  Installation& installation = m.installation();
  const std::string replacement = m.heartbeat_channel() + TcpChannel(new_device, new_server);
  auto still_the_old_channels = [&] {
    EXPECT_FALSE(Peer().Connect(new_device)) << "a channel of the new file opened while running";
    EXPECT_FALSE(Peer().Connect(new_server));
    Peer server(old_server), device(old_device);
    EXPECT_TRUE(Sync(device, {&server}));
    EXPECT_TRUE(Sync(server, {&device}));
  };
  // Replaced by another file, then rewritten in place with more lines.
  WriteFile(installation.file("cnf_port.cfg.new"), replacement);
  ASSERT_EQ(::rename(installation.file("cnf_port.cfg.new").c_str(), installation.file("cnf_port.cfg").c_str()), 0);
  still_the_old_channels();
  WriteFile(installation.file("cnf_port.cfg"), replacement + TcpChannel(TakePort(), TakePort()));
  still_the_old_channels();
  m.Conclude();

  // The next start takes the new file.
  WriteFile(installation.file("cnf_port.cfg"), replacement);
  RelayRun next(installation, "next");
  ASSERT_TRUE(next.WaitRunning());
  EXPECT_FALSE(Peer().Connect(old_device));
  {
    Peer server(new_server), device(new_device);
    EXPECT_TRUE(Sync(device, {&server}));
  }
  EXPECT_TRUE(next.StopCleanly());
}

void TwoInstancesInOneDirectory(Matrix& m) {
  SerialLine line;
  ASSERT_TRUE(line.ok());
  const int device_port = TakePort(), server_port = TakePort(), serial_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(
      m.Begin(TcpChannel(device_port, server_port) + SerialChannel(serial_port, line.name())));
  Installation& installation = m.installation();
  RelayRun second(installation, "second");
  ASSERT_TRUE(second.WaitRunning());
  auto first_relays = [&] {
    Peer server(server_port), device(device_port), serial_device(serial_port);
    EXPECT_TRUE(Sync(device, {&server}));
    EXPECT_TRUE(Sync(server, {&device}));
    EXPECT_TRUE(SyncFromLine(line, {&serial_device}));
    EXPECT_TRUE(serial_device.SendAll("to the line"));
    EXPECT_EQ(line.Read(11), "to the line");
  };
  first_relays();

  // The second instance opened nothing (every port and the line are the first's), and both
  // wrote whole lines to the one log (the second's last line comes after its running report).
  std::vector<std::string> expected = {kServiceStartText, kServiceExecuteText, kServiceStartText,
                                       kServiceExecuteText, kComPortOpenFailedText + line.name()};
  for (int port : {m.heartbeat_device_port(), device_port, serial_port, m.heartbeat_server_port(), server_port}) {
    expected.push_back(kSocketOpenFailedText + std::to_string(port));
  }
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> texts;
  EXPECT_TRUE(WaitUntil([&] {
    texts = installation.ServiceLogTexts();
    std::sort(texts.begin(), texts.end());
    return texts == expected;
  })) << "the log does not hold the two starts' lines, each whole:\n"
      << ReadFile(installation.file("log_service.txt"));

  EXPECT_TRUE(second.StopCleanly());
  first_relays();
  m.Conclude();
}

void StatusNameTakenByAnotherUser(Matrix& m) {
  // Before the relay starts, a process of user 65534 takes its status endpoint's name and
  // answers every question with a forged "all fine".
  test::StatusSquatter squatter(std::filesystem::canonical(m.installation().directory()).string() + "/", 65534,
                                "OK 9\nall fine\n");
  ASSERT_TRUE(squatter.holding());
  auto entry = [&](const std::string& text) {
    return m.relay().event_log().WaitFor([&](const std::string& d) { return d.find(text) != std::string::npos; });
  };
  auto status = [&](const std::string& run_name) {
    RelayRun run(m.installation(), run_name, StatusSwitch());
    EXPECT_TRUE(run.WaitExit());
    return std::make_pair(WIFEXITED(run.status()) ? WEXITSTATUS(run.status()) : -1, run.Stderr());
  };
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(TakePort(), TakePort())));
  const std::string holder = "process " + std::to_string(squatter.pid()) + " of user 65534";
  EXPECT_TRUE(entry("Status endpoint: cannot answer status requests: Address already in use (the name is held by " +
                    holder + ")"));
  const auto [code, error] = status("forged");
  EXPECT_EQ(code, 1) << "-status took the forged answer";
  EXPECT_NE(error.find("is held by " + holder + ", not by the service"), std::string::npos) << error;

  // Once the name is free, the relay takes it on its passes.
  squatter.Leave();
  EXPECT_TRUE(entry("Status endpoint: answers status requests now"));
  EXPECT_EQ(status("true").first, 0);
  m.relay().TakeBaseline();  // the endpoint's own descriptors
  m.Conclude();
}

}  // namespace matrix

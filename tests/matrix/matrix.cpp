#include "tests/matrix/matrix.h"

#include "relay/log_texts.h"

#include <algorithm>

namespace matrix {

Matrix::Matrix() { RaiseFileLimit(); }

Matrix::~Matrix() {
  heartbeat_.reset();
  relay_.reset();
  ReleasePorts();
}

Installation& Matrix::installation() {
  if (!installation_) installation_ = std::make_unique<Installation>(dir_.path() / "bin");
  return *installation_;
}

std::unique_ptr<Installation> Matrix::NewInstallation(const std::string& name) {
  return std::make_unique<Installation>(dir_.path() / name);
}

void Matrix::Begin(const std::string& channels, LaunchOptions options) {
  heartbeat_device_ = TakePort();
  heartbeat_server_ = TakePort();
  heartbeat_channel_ = TcpChannel(heartbeat_device_, heartbeat_server_, "heartbeat");
  installation().WriteChannels(heartbeat_channel_ + channels);
  const bool reads_event_log = options.read_event_log;
  relay_ = std::make_unique<RelayRun>(installation(), "relay", std::move(options));
  ASSERT_TRUE(relay_->launched());
  ASSERT_TRUE(relay_->WaitRunning()) << "the relay did not report running; standard error:\n" << relay_->Stderr();
  heartbeat_ = std::make_unique<Heartbeat>(heartbeat_device_, heartbeat_server_);
  ASSERT_TRUE(heartbeat_->started()) << "the heartbeat's channel does not relay";

  // A peer's reset writes an entry, so a log writer that opens on first use has opened. The
  // peer is reset once the relay holds it: a peer reset before that may pass unnoticed.
  const std::size_t entries = relay_->event_log().Count();
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int before = ResourcesOf(relay_->pid()).descriptors;
    Peer peer(heartbeat_device_);
    WaitUntil([&] { return ResourcesOf(relay_->pid()).descriptors > before; }, milliseconds(2000));
    peer.Reset();
    if (!reads_event_log ||
        WaitUntil([&] { return relay_->event_log().Count() > entries; }, milliseconds(1000))) {
      break;
    }
  }
  relay_->TakeBaseline();
  heartbeat_->Mark();
}

void Matrix::Conclude() {
  ASSERT_TRUE(relay_ && heartbeat_);
  EXPECT_TRUE(heartbeat_->Healthy()) << "the heartbeat channel was not served";
  EXPECT_TRUE(relay_->BackToBaseline());
  heartbeat_->End();
  ::testing::Test::RecordProperty("slowest_heartbeat_ms", static_cast<int>(heartbeat_->Slowest().count()));
  EXPECT_TRUE(relay_->StopCleanly());
}

::testing::AssertionResult Matrix::WaitForExtraDescriptors(int extra, milliseconds timeout) {
  const int want = relay_->baseline().descriptors + extra;
  int now = 0;
  if (WaitUntil([&] { return (now = ResourcesOf(relay_->pid()).descriptors) == want; }, timeout)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "the relay holds " << now << " descriptors, not " << want;
}

::testing::AssertionResult Matrix::ConnectPaced(int port, int count, std::vector<Peer>& into, int extra_before) {
  constexpr int kBatch = 4;
  for (int done = 0; done < count;) {
    const int batch = std::min(kBatch, count - done);
    for (int i = 0; i < batch; ++i) {
      into.emplace_back(port);
      if (!into.back().connected()) return ::testing::AssertionFailure() << "connection " << done + i << " failed";
    }
    done += batch;
    if (auto accepted = WaitForExtraDescriptors(extra_before + done); !accepted) return accepted;
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult EveryChannelOpened(const Installation& installation) {
  for (const std::string& text : installation.ServiceLogTexts()) {
    if (text.rfind(kSocketOpenFailedText, 0) == 0 || text.rfind(kComPortOpenFailedText, 0) == 0) {
      return ::testing::AssertionFailure() << "a channel failed to open (a port taken by another program?)";
    }
  }
  return ::testing::AssertionSuccess();
}

double CpuShareOver(pid_t pid, milliseconds window) {
  const double cpu_before = CpuSecondsOf(pid);
  const auto wall_before = Clock::now();
  std::this_thread::sleep_for(window);
  const double cpu = CpuSecondsOf(pid) - cpu_before;
  return cpu / std::chrono::duration<double>(Clock::now() - wall_before).count();
}

}  // namespace matrix

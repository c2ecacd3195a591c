// Channels that heal: the options file, what each side of a channel is doing, the retries of
// sides that failed to open, and serial lines whose device went away and comes back.

#include <algorithm>

#include "platform/serial_device.h"
#include "relay/failure_entries.h"
#include "relay/relay.h"

namespace {

using SystemClock = std::chrono::system_clock;

}  // namespace

TOptionsFile Relay::ReadOptionsFile() const {
  return LoadOptionsFile(log_.Directory(), tables_.ChannelCount,
                         [this](int k) { return tables_.ChannelTable[k].ChannelType; });
}

void Relay::LoadOptions() {
  TOptionsFile file = ReadOptionsFile();
  options_ = file.Options;
  options_rereads_ = 0;
  options_reread_at_ = Clock::time_point::max();
  options_closed_reason_ = ClosedReason(file);
  options_told_ = ToldProblems(file);
  if (file.Readable()) return;
  ScheduleOptionsReread(Clock::now());
  TellOptionsProblems(file);
}

void Relay::TellOptionsProblems(const TOptionsFile& file) {
  std::vector<platform::Text> entries =
      OptionsProblemEntries(log_.Directory() + kOptionsFileName, file, "; no listener opens");
  if (const int seconds = RetrySeconds(); seconds > 0 && !entries.empty()) {
    entries.back() += platform::Text("; the file is read again every " + std::to_string(seconds) + " s");
  }
  for (const platform::Text& entry : entries) WriteError(entry);
}

void Relay::ScheduleOptionsReread(Clock::time_point now) {
  // A few reads in the first seconds (1, 2 and 4 s apart), then at every retry.
  constexpr int kQuickRereads = 3;
  if (options_rereads_ < kQuickRereads) {
    options_reread_at_ = now + std::chrono::seconds(1 << options_rereads_);
  } else if (const int seconds = RetrySeconds(); seconds > 0) {
    options_reread_at_ = now + std::chrono::seconds(seconds);
  } else {
    options_reread_at_ = Clock::time_point::max();
  }
  next_retry_ = std::min(next_retry_, options_reread_at_);
}

void Relay::NoteClosedByOptions(TSideHealth& health) {
  health.reason = platform::Text::FromOutside(options_closed_reason_);
  health.since = SystemClock::now();
  // Not a retry of its own: the side opens when the file can be read.
  health.state = options_reread_at_ == Clock::time_point::max() ? TSideState::ssFailed : TSideState::ssWaiting;
  health.next_try = Clock::time_point::max();
}

void Relay::RereadOptions(Clock::time_point now) {
  ++options_rereads_;
  TOptionsFile file = ReadOptionsFile();
  options_ = file.Options;
  if (!file.Readable()) {
    options_closed_reason_ = ClosedReason(file);
    ScheduleOptionsReread(now);
    // A file that says something new is told again; the same problems once only.
    if (std::vector<std::string> told = ToldProblems(file); told != options_told_) {
      options_told_ = std::move(told);
      TellOptionsProblems(file);
    }
    for (int k = 1; k <= tables_.ChannelCount; ++k) {
      for (TSideHealth* side : {&health_[k].device, &health_[k].server, &health_[k].serial}) {
        if (side->state != TSideState::ssNone) NoteClosedByOptions(*side);
      }
    }
    return;
  }
  options_reread_at_ = Clock::time_point::max();
  options_closed_reason_.clear();
  options_told_.clear();
  WriteInformation(platform::Text("Options file \"") + platform::Text::FromOutside(log_.Directory() + kOptionsFileName) +
                   platform::Text("\" can be read now: the channels open"));
  OpenChannels();
}

void Relay::NoteOpened(TSideHealth& health) {
  health.state = TSideState::ssOpen;
  health.reason = platform::Text();
  health.since = SystemClock::now();
  health.retries = 0;
}

std::string Relay::NoteOpenFailed(TSideHealth& health, const platform::Text& reason, bool can_pass) {
  health.reason = reason;
  health.since = SystemClock::now();
  health.retries = 0;
  const int seconds = RetrySeconds();
  if (seconds == 0 || !can_pass) {
    health.state = TSideState::ssFailed;
    return std::string();
  }
  health.state = TSideState::ssWaiting;
  health.next_try = Clock::now() + std::chrono::seconds(seconds);
  next_retry_ = std::min(next_retry_, health.next_try);
  return RetryNote(seconds);
}

bool Relay::DeviceTakenBefore(int k) const {
  const std::string path = platform::SerialDevicePath(tables_.ChannelTable[k].ComPortName);
  for (int j = 1; j < k; ++j) {
    const TSootv& other = tables_.ChannelTable[j];
    if (other.ChannelType == ctSerial && platform::SerialDevicePath(other.ComPortName) == path) return true;
  }
  return false;
}

void Relay::RetryDue(Clock::time_point now) {
  if (options_reread_at_ <= now) RereadOptions(now);
  for (int k = 1; k <= tables_.ChannelCount; ++k) {
    TChannelHealth& channel = health_[k];
    if (channel.device.Retried() && channel.device.next_try <= now) RetryListener(lsDevice, k, now);
    if (channel.server.Retried() && channel.server.next_try <= now) RetryListener(lsServer, k, now);
    if (channel.serial.Retried() && channel.serial.next_try <= now) RetrySerial(k, now);
  }
  // Only once every due side was tried: a fault half way leaves them due for the next pass.
  Clock::time_point next = Clock::time_point::max();
  for (int k = 1; k <= tables_.ChannelCount; ++k) {
    for (const TSideHealth* side : {&health_[k].device, &health_[k].server, &health_[k].serial}) {
      if (side->Retried()) next = std::min(next, side->next_try);
    }
  }
  next_retry_ = std::min(next, options_reread_at_);
}

void Relay::Postpone(TSideHealth& health, Clock::time_point now) {
  // On the schedule of the first failure, so that the passes the run loop makes anyway do not
  // stretch the period; a tick that came late starts it anew.
  const auto period = std::chrono::seconds(RetrySeconds());
  health.next_try += period;
  if (health.next_try <= now) health.next_try = now + period;
}

void Relay::RetryListener(TListenerSide side, int k, Clock::time_point now) {
  TSideHealth& health = Health(side, k);
  TServerSocket* listener = Listeners(side)[k].Listener.get();
  ++health.retries;
  // The listener that failed stays in its entry: it is activated again, so every reference to
  // it (the flow control's, the serial receive handler's) stays good.
  std::optional<OpenFailure> failure =
      listener ? TryOpen([&] { listener->SetActive(true); }) : OpenFailure{"no listener", 0};
  if (failure) {
    health.reason = failure->reason;  // later failures write nothing
    Postpone(health, now);
    return;
  }
  const int retries = health.retries;
  NoteOpened(health);
  WriteInformation(ListenerOpenedEntry(k, tables_.ChannelTable[k], side == lsServer, retries, BindText(side)));
}

void Relay::RetrySerial(int k, Clock::time_point now) {
  TSideHealth& health = health_[k].serial;
  ++health.retries;
  // A device that is not there is not worth a port and its writer's thread: the try fails as
  // the open would, at the cost of a look at its path.
  if (platform::SerialDeviceAbsent(tables_.ChannelTable[k].ComPortName)) {
    Postpone(health, now);
    return;
  }
  // A port that opens reports its own failures from now on.
  serial_failure_reported_[k] = false;
  if (std::optional<OpenFailure> failure = TryOpen([&] { OpenSerialPort(k); }, LineSettingsText(k))) {
    serial_failure_reported_[k] = true;
    health.reason = failure->reason;
    Postpone(health, now);
    return;
  }
  const bool was_gone = health.state == TSideState::ssGone;
  const int retries = health.retries;
  const std::uint64_t dropped = health.dropped_while_away;
  NoteOpened(health);
  health.dropped_while_away = 0;
  WriteInformation(SerialOpenedEntry(k, tables_.ChannelTable[k], was_gone, retries, dropped));
}

void Relay::SerialLineFailed(int k) {
  if (k < 1 || k > tables_.ChannelCount) return;
  TSideHealth& health = health_[k].serial;
  // A report that comes after the stop finds nothing open.
  if (health.state != TSideState::ssOpen || !tables_.SerialPorts[k]) return;
  LineFailure failure;
  {
    std::lock_guard<std::mutex> hold(line_failures_lock_);
    failure = line_failures_[k];
  }
  health.reason = failure.reason;
  health.since = SystemClock::now();
  const int seconds = RetrySeconds();
  if (seconds == 0) {
    // Its warning went out when it was met; the port stays as it is.
    health.state = TSideState::ssFailed;
    return;
  }
  // Whatever failed, a port opened anew may work: a device that went away may come back, and
  // a line that failed otherwise starts from a fresh open.
  health.state = failure.gone ? TSideState::ssGone : TSideState::ssWaiting;
  health.retries = 0;
  health.dropped_while_away = 0;
  health.next_try = Clock::now() + std::chrono::seconds(seconds);
  next_retry_ = std::min(next_retry_, health.next_try);
  CloseSerialLine(k);
  const TSootv& channel = tables_.ChannelTable[k];
  WriteWarning(failure.gone ? SerialGoneEntry(k, channel, failure.reason, seconds)
                            : SerialLineFailureEntry(k, channel, failure.reason) + platform::Text(RetryNote(seconds)));
}

void Relay::CloseSerialLine(int k) {
  TSideHealth& health = health_[k].serial;
  // Out of the table first: what the flow control resumes meanwhile finds no writer, and its
  // bytes are dropped and counted.
  if (std::unique_ptr<SerialWriter> writer = std::move(serial_writers_[k])) {
    health.dropped_while_away += writer->DropKept();
    writer->Stop();
    // Everything it dropped, what it kept now and what failed writes left out included.
    health.dropped += writer->Dropped();
    flow_control_.Forget(writer.get());
  }
  // Destroying the port closes its device (the lock file goes with it) and waits for its event
  // thread, which the failure has ended or is ending.
  tables_.SerialPorts[k].reset();
}

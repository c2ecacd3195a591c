#include "operator/status_view.h"

#include <map>
#include <string>

#include "base/exception_routing.h"
#include "operator/operator_switches.h"
#include "operator/status_report.h"
#include "base/exception.h"
#include "platform/entry_rate_limit.h"
#include "platform/process.h"
#include "platform/status_endpoint.h"
#include "relay/relay.h"
#include "service/service.h"

namespace {

using Clock = std::chrono::steady_clock;
using platform::StatusEndpoint;

// How often an endpoint that could not open is tried again.
constexpr auto kReopenInterval = std::chrono::seconds(1);
constexpr char kEntryHead[] = "Status endpoint: ";
constexpr char kUnknownRequest[] = "unknown request";

std::string MisuseReason(StatusEndpoint::Misuse misuse) {
  switch (misuse) {
    case StatusEndpoint::Misuse::kRefused: return "its user is not served";
    case StatusEndpoint::Misuse::kTooMany:
      return "over the limit of " + std::to_string(StatusEndpoint::kMaxClients) + " at once";
    case StatusEndpoint::Misuse::kTooLong:
      return "request over " + std::to_string(StatusEndpoint::kMaxRequest) + " bytes";
    case StatusEndpoint::Misuse::kSilent:
      return "no request within " + std::to_string(StatusEndpoint::kClientTimeout.count()) + " s";
    case StatusEndpoint::Misuse::kNotReading:
      return "answer not taken within " + std::to_string(StatusEndpoint::kClientTimeout.count()) + " s";
  }
  return std::string();
}

// Entries about clients turned away: the first of a minute at once, the rest counted and
// written as one entry when the minute is over (platform::EntryPace).
class MisuseEntries {
 public:
  explicit MisuseEntries(TService& service) : service_(service) {}
  ~MisuseEntries() { WriteCounted(); }

  void Note(const std::string& reason, Clock::time_point now) {
    const bool first = counted_.empty();
    ++counted_[reason];
    pace_.Note();
    if (!pace_.Due(now)) return;
    if (first) {
      counted_.clear();
      Write("a client was turned away (" + reason + ")");
    } else {
      WriteCounted();
    }
  }

  void Tick(Clock::time_point now) {
    if (pace_.Due(now)) WriteCounted();
  }

 private:
  void WriteCounted() {
    if (counted_.empty()) return;
    int total = 0;
    std::string reasons;
    for (const auto& [reason, count] : counted_) {
      total += count;
      reasons += (reasons.empty() ? "" : ", ") + std::to_string(count) + " " + reason;
    }
    counted_.clear();
    Write(std::to_string(total) + (total == 1 ? " more client was" : " more clients were") +
          " turned away in the last minute (" + reasons + ")");
  }

  void Write(const std::string& text) { service_.WriteEventLog(kEntryHead + text, 2, 0, 0); }

  TService& service_;
  platform::EntryPace pace_{std::chrono::minutes(1)};
  std::map<std::string, int> counted_;
};

class StatusView : public TRelayCompanion {
 public:
  StatusView(TService& service, Relay& relay) : service_(service), relay_(relay), misuse_(service) {
    Open(Clock::now());
    if (const int error = endpoint_->Error()) {
      // Its name is held: by another instance of this directory, or by any process that took
      // it first. Said once; the endpoint is tried again on the passes until it opens.
      const std::string holder = endpoint_->Holder();
      service_.WriteEventLog(std::string(kEntryHead) + "cannot answer status requests: " + SystemErrorText(error) +
                                 (holder.empty() ? "" : " (the name is held by " + holder + ")") +
                                 "; trying again every " + std::to_string(kReopenInterval.count()) + " s",
                             1, 0, 0);
    }
    service_.SetRunningStatusLine([this] { return StatusSummary(relay_.Status(false)); });
  }

  ~StatusView() override {
    service_.SetRunningStatusLine(nullptr);
    endpoint_.reset();
  }

  bool Busy() override { return endpoint_->Serving(); }

  void Tick(Clock::time_point now) override {
    if (endpoint_->Error() && now >= next_open_) {
      Open(now);
      if (!endpoint_->Error()) service_.WriteEventLog(std::string(kEntryHead) + "answers status requests now", 4, 0, 0);
    }
    endpoint_->Tick(now);
    misuse_.Tick(now);
  }

 private:
  void Open(Clock::time_point now) {
    endpoint_.reset();
    endpoint_ = std::make_unique<StatusEndpoint>(
        platform::ExecutableDirectory(), [this](const std::string& request) { return Answer(request); },
        [this](StatusEndpoint::Misuse misuse) { misuse_.Note(MisuseReason(misuse), Clock::now()); });
    next_open_ = now + kReopenInterval;
  }

  std::string Answer(const std::string& request) {
    try {
      const StatusHead head{ProgramVersion(), platform::CurrentProcessId()};
      if (request == "json") return StatusJson(head, relay_.Status(true)) + "\n";
      if (request == "text" || request == "text peers") {
        const bool peers = request == "text peers";
        std::string text;
        for (const std::string& line : StatusTextLines(head, relay_.Status(peers), peers)) text += line + "\n";
        return text;
      }
      misuse_.Note(kUnknownRequest, Clock::now());
      return std::string(kUnknownRequest) + "\n";
    } catch (...) {
      // Building an answer from what the relay keeps does not fail: this is a fault.
      routing::RouteException(nullptr);
      return "no status: the service failed to build it\n";
    }
  }

  TService& service_;
  Relay& relay_;
  MisuseEntries misuse_;
  std::unique_ptr<StatusEndpoint> endpoint_;
  Clock::time_point next_open_{};
};

}  // namespace

std::unique_ptr<TRelayCompanion> StartStatusView(TService& service, Relay& relay) {
  return std::make_unique<StatusView>(service, relay);
}

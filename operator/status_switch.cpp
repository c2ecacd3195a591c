#include "operator/status_switch.h"

#include <chrono>

#include "platform/console.h"
#include "platform/operator_output.h"
#include "platform/process.h"
#include "platform/status_endpoint.h"
#include "service/service_application.h"

namespace {

// A service busy with a flood of work still answers within this.
constexpr std::chrono::seconds kAnswerTimeout{10};
constexpr char kServiceName[] = "Rodivo_vedodaraz";

void WriteError(const platform::Text& text) {
  platform::WriteConsoleLine(platform::Text(platform::ExecutableFileName() + ": ") + text);
}

}  // namespace

int RunStatusSwitch(const std::vector<std::string>& arguments) {
  const std::string request = FindCmdLineSwitch(arguments, "JSON")    ? "json"
                              : FindCmdLineSwitch(arguments, "PEERS") ? "text peers"
                                                                      : "text";
  const std::string directory = platform::ExecutableDirectory();
  const platform::StatusReply reply = platform::AskStatusEndpoint(directory, request, kAnswerTimeout);
  switch (reply.result) {
    case platform::StatusAsk::kNoService:
      WriteError(platform::Text("no service of ") + platform::Text::FromOutside(directory) +
                 platform::Text(" answers; start it with: " + platform::StartServiceCommand(kServiceName)));
      return kStatusNotRunning;
    case platform::StatusAsk::kRefused:
      WriteError("permission denied");
      return kStatusRefused;
    case platform::StatusAsk::kBusy:
      WriteError(platform::Text("the service of ") + platform::Text::FromOutside(directory) +
                 platform::Text(" was busy and gave no answer within " + std::to_string(kAnswerTimeout.count()) +
                                " s; try again"));
      return kStatusFailed;
    case platform::StatusAsk::kForeign:
      // Whatever it says is not shown: it is not the service's.
      WriteError(platform::Text("the status endpoint of ") + platform::Text::FromOutside(directory) +
                 platform::Text(" is held by " + reply.holder + ", not by the service; its answer is not shown"));
      return kStatusFailed;
    case platform::StatusAsk::kTooLong:
      WriteError("the answer was longer than " + std::to_string(platform::kMaxAnswer >> 20) +
                 " MiB; it is not shown");
      return kStatusFailed;
    case platform::StatusAsk::kAnswered:
      break;
  }
  for (std::size_t at = 0; at < reply.answer.size();) {
    std::size_t end = reply.answer.find('\n', at);
    if (end == std::string::npos) end = reply.answer.size();
    platform::WriteOutputLine(platform::Text::FromOutside(reply.answer.substr(at, end - at)));
    at = end + 1;
  }
  return 0;
}

// Program entry of the relay service: one service module, the relay, with the operator's
// status view beside it. The switches that only tell (help, version, the channel-file check,
// the status) run before anything of the service exists.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "relay/mb_rtu_tcp.h"
#include "operator/operator_switches.h"
#include "operator/status_view.h"
#include "service/program.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i] ? argv[i] : "");
  if (std::optional<int> code = RunOperatorSwitch(arguments)) return *code;
  return RunServiceProgram(argc, argv, [] { return std::make_unique<TRodivo_vedodaraz>(&StartStatusView); });
}

// Program entry of the relay service: one service module, the relay.

#include <memory>

#include "relay/mb_rtu_tcp.h"
#include "service/program.h"

int main(int argc, char** argv) {
  return RunServiceProgram(argc, argv, [] { return std::make_unique<TRodivo_vedodaraz>(); });
}

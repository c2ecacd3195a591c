// The relay's program for the installation-run test: the relay's own entry and module, except
// that the module, before it installs, routes a socket error the way a window procedure routes
// what escapes it. The test then looks where the installation run writes it.

#include <memory>

#include "base/exception_routing.h"
#include "net/socket_error.h"
#include "relay/mb_rtu_tcp.h"
#include "service/program.h"

int main(int argc, char** argv) {
  return RunServiceProgram(argc, argv, [] {
    auto module = std::make_unique<TRodivo_vedodaraz>();
    TRodivo_vedodaraz* routed_by = module.get();
    module->SetBeforeInstall(TServiceEvent::FromFunction([routed_by](TService*) {
      try {
        throw SocketCallError(104, "recv");
      } catch (...) {
        routing::RouteException(routed_by);
      }
    }));
    return module;
  });
}

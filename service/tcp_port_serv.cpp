// Program entry of the relay service.

#include <memory>

#include "service/program.h"
#include "service/service.h"

namespace {

// Stands in for the relay module until it is built: the service's name and registration
// settings, no callbacks.
class TPlaceholderModule : public TService {
 public:
  TPlaceholderModule() {
    SetName("Rodivo_vedodaraz");
    SetDisplayName("Korvenet");
    SetAllowPause(false);
  }
};

}  // namespace

int main(int argc, char** argv) {
  return RunServiceProgram(argc, argv, [] { return std::make_unique<TPlaceholderModule>(); });
}

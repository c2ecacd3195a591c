#include "platform/linux/harmless_signals.h"

namespace platform::linux_side {
namespace {

constexpr int kHarmless[] = {SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGXFSZ};

}  // namespace

sigset_t HarmlessSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int number : kHarmless) sigaddset(&set, number);
  return set;
}

void IgnoreHarmlessSignals() {
  for (int number : kHarmless) {
    struct sigaction now {};
    if (::sigaction(number, nullptr, &now) != 0 || now.sa_handler != SIG_DFL) continue;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(number, &ignore, nullptr);
  }
}

}  // namespace platform::linux_side

// Windows XP has no GetTickCount64, yet the toolchain's threads library calls it for its timed
// waits, which would keep the executable from loading there. Its calls go through an import
// slot of that name, and the slot is defined here, so the linker takes no such import from
// kernel32: the slot leads to the system's own function where there is one (Vista and later),
// else to a 64-bit count built on GetTickCount. The build forces this file into every Windows
// program (see CMakeLists.txt), ahead of the system's import library.

#include <atomic>
#include <cstdint>

#include "platform/win/windows_api.h"

namespace {

using TickCount64Function = ULONGLONG(WINAPI*)();

// GetTickCount wraps after 49.7 days: each wrap seen since the last call adds 2^32. The count
// never goes back, also when threads call at once.
ULONGLONG WINAPI ExtendedTickCount() {
  static std::atomic<std::uint64_t> last{0};
  std::uint64_t seen = last.load();
  while (true) {
    const DWORD now = ::GetTickCount();
    std::uint64_t high = seen & ~std::uint64_t{0xffffffff};
    if (now < static_cast<DWORD>(seen)) high += std::uint64_t{1} << 32;
    const std::uint64_t value = high | now;
    if (last.compare_exchange_weak(seen, value)) return value;
  }
}

ULONGLONG WINAPI TickCount64() {
  static std::atomic<TickCount64Function> chosen{nullptr};
  TickCount64Function function = chosen.load(std::memory_order_acquire);
  if (function == nullptr) {
    const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    const FARPROC system = kernel ? ::GetProcAddress(kernel, "GetTickCount64") : nullptr;
    function = system ? reinterpret_cast<TickCount64Function>(reinterpret_cast<void*>(system)) : &ExtendedTickCount;
    chosen.store(function, std::memory_order_release);
  }
  return function();
}

}  // namespace

// The import slot as the threads library names it (stdcall, no arguments).
extern "C" {
__attribute__((used)) TickCount64Function korvenet_tick_count_64_slot __asm__("__imp__GetTickCount64@0") =
    &TickCount64;
}

#pragma once
// What each side of a channel is doing, as an operator asks it: listening or open, waiting to
// be tried again, failed for good, or (a serial line) gone while running. The relay keeps one
// record per channel and side and changes it as it opens, retries and loses what the channel
// uses. Which thread may touch the records: see relay.h.

#include <chrono>
#include <cstdint>

#include "platform/text.h"

enum class TSideState {
  ssNone,     // nothing to open on this side (or the relay is stopped)
  ssOpen,     // a listener listens, a serial port is open
  ssWaiting,  // failed to open, or (a serial line, with healing) failed while running; tried again at next_try
  ssGone,     // a serial device went away while running; tried again at next_try
  ssFailed,   // failed to open, or a serial line failed while running without healing; never tried again
};

struct TSideHealth {
  TSideState state = TSideState::ssNone;
  platform::Text reason;  // why it is not open, in the system's words
  std::chrono::system_clock::time_point since{};  // when it came to its state
  std::chrono::steady_clock::time_point next_try{};  // waiting or gone: when it is tried again
  int retries = 0;  // tries since it failed
  // Bytes from the devices that the serial line did not get: since the start, while it was not
  // open or by the writers of its ports that closed; and since it last went away or failed to
  // open.
  std::uint64_t dropped = 0;
  std::uint64_t dropped_while_away = 0;

  bool Retried() const { return state == TSideState::ssWaiting || state == TSideState::ssGone; }
};

struct TChannelHealth {
  TSideHealth device;
  TSideHealth server;  // TCP channels
  TSideHealth serial;  // serial channels
};

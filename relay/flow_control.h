#pragma once
// Keeps a slow destination from losing bytes or holding the others back for long.
//
// Bytes a destination connection cannot take at once are kept by the connection and sent when
// it can take them. While a destination keeps more than kHighWater bytes, the listener whose
// connections fed it is paused: its read notifications are left unanswered, so the bytes wait
// in the sockets and TCP slows the senders. Once every destination of a paused listener is
// down to kLowWater, the listener resumes and its waiting bytes are read. A destination that
// takes nothing for kStallLimit while bytes wait for it is closed.

#include <chrono>
#include <cstddef>
#include <functional>

class TServerWinSocket;
class TServerClientWinSocket;

namespace flow_control {

constexpr std::size_t kHighWater = 256 * 1024;
constexpr std::size_t kLowWater = 64 * 1024;
constexpr std::chrono::seconds kStallLimit{30};

// True while reads from the connections of `source` are paused.
bool IsPaused(const TServerWinSocket* source);

// Records what a send left behind: `connection` (of listener `destination`) was just handed
// bytes read from a connection of `source` (null for a serial port, which is never paused).
// Any thread.
void NoteSend(TServerWinSocket* source, TServerWinSocket* destination, TServerClientWinSocket* connection);

// True while Tick has something to look after: a paused listener, or a destination that keeps
// bytes (and may stall). The run loop then runs every pass (service thread).
bool HasWork();

// Once per pass of the run loop (service thread): resumes paused listeners whose
// destinations drained, calling `resume` for each (in case no write notification did), and
// closes stalled destinations.
void Tick(std::chrono::steady_clock::time_point now, const std::function<void(TServerWinSocket*)>& resume);

// A connection of `destination` sent kept bytes: resumes at once the paused listeners whose
// destinations are now all drained (service thread).
void NoteDrained(TServerWinSocket* destination, const std::function<void(TServerWinSocket*)>& resume);

// Forgets every listener (before the listeners are destroyed).
void Reset();

}  // namespace flow_control

#pragma once
// The warning entries that tell an operator which part of a channel failed and why: one for
// each channel side that fails to open, one for a serial line that fails while the service
// runs, one for each peer or serial line cut for holding up the others. The texts are plain
// English apart from the channel file's own bytes (the label and a serial port's name) and
// the messages of exceptions, which carry such bytes and paths: these are bytes from outside
// (platform/text.h). No state; any thread.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "net/socket_error.h"
#include "platform/text.h"
#include "relay/arrays_vars.h"
#include "serial/com_errors.h"

// The reason given for a listener whose port lies outside 0..65535.
inline constexpr char kPortOutOfRangeReason[] = "port out of range";

// Why something failed, as the system words it: the system's text for the error code the
// exception carries ("Address already in use"), or the exception's own message when it carries
// none.
platform::Text FailureReason(const ESocketError& e);
platform::Text FailureReason(const EComPort& e);
// Anything else that was thrown: its message, or a fixed text when it has none.
platform::Text FailureReason(std::exception_ptr error);

// Channel 3 "north gate", device side: cannot listen on TCP port 41101: Address already in use
// (with "TCP port 41101 of 10.1.2.3" for a listener bound to one address, `address`).
platform::Text ListenerFailureEntry(int k, const TSootv& channel, bool server_side, const platform::Text& reason,
                                    const std::string& address = std::string());
// Channel 5 "meter", serial side: cannot open serial port "COM9" (/dev/ttyS8): No such file or directory
platform::Text SerialOpenFailureEntry(int k, const TSootv& channel, const platform::Text& reason);
// Channel 5 "meter", serial side: serial port "COM9" (/dev/ttyS8) failed while running: Input/output error
platform::Text SerialLineFailureEntry(int k, const TSootv& channel, const platform::Text& reason);
// What the warning of a failure adds when the failed part is tried again: "; tried again every 5 s".
std::string RetryNote(int seconds);
// Channel 3 "north gate", device side: listening on TCP port 41101 after 2 retries
platform::Text ListenerOpenedEntry(int k, const TSootv& channel, bool server_side, int retries,
                                   const std::string& address = std::string());
// Channel 1 "north gate", server side: refused peer 10.9.0.7: not in the allow-list
// Channel 1 "north gate", server side: refused peer 10.9.0.8 and 998 more in the last minute: over the limit of
// 2 connections
platform::Text PeerRefusedEntry(int k, const TSootv& channel, bool server_side, const std::string& first,
                                std::uint64_t more, const std::string& why);
// Channel 5 "meter", serial side: serial port "COM9" (/dev/ttyS8) went away: Input/output error; tried again every 5 s
platform::Text SerialGoneEntry(int k, const TSootv& channel, const platform::Text& reason, int seconds);
// Channel 5 "meter", serial side: serial port "COM9" (/dev/ttyS8) is back after 3 retries; 120 bytes from the
// devices were dropped while it was away
// (or "opened after 3 retries" for a port that failed to open; the dropped bytes only when there were any)
platform::Text SerialOpenedEntry(int k, const TSootv& channel, bool was_gone, int retries, std::uint64_t dropped);
// Channel 1 "north gate", server side: peer 127.0.0.1:40312 took nothing for 30 s and was disconnected
// (`what` says why: "took nothing for 30 s").
platform::Text PeerCutEntry(int k, const TSootv& channel, bool server_side, const std::string& peer,
                            const std::string& what);
// Channel 5 "meter", serial side: serial port "COM9" (/dev/ttyS8) took nothing for 30 s; 20480 bytes
// waiting for it were dropped
platform::Text SerialDropEntry(int k, const TSootv& channel, const std::string& what, std::size_t dropped);

#include "relay/failure_entries.h"

#include "platform/serial_device.h"

namespace {

// The system's text for `code`; its number when the system has no text for it.
std::string SystemReason(int code) {
  std::string text = SystemErrorText(code);
  return text.empty() ? "error " + std::to_string(code) : text;
}

platform::Text ChannelHead(int k, const TSootv& channel, const char* side) {
  return platform::Text("Channel " + std::to_string(k) + " \"") + platform::Text::FromOutside(channel.ChannelLabel) +
         platform::Text("\", " + std::string(side) + " side: ");
}

// The port's name as the file gives it (quoted, so that blanks show), and the device it
// stands for when that reads differently.
platform::Text SerialPortNaming(const TSootv& channel) {
  platform::Text naming =
      platform::Text("serial port \"") + platform::Text::FromOutside(channel.ComPortName) + platform::Text("\"");
  const std::string path = platform::SerialDevicePath(channel.ComPortName);
  if (path != channel.ComPortName) naming += platform::Text(" (") + platform::Text::FromOutside(path) + platform::Text(")");
  return naming;
}

// "TCP port 41101", "TCP port 41101 of 10.1.2.3".
std::string ListeningPort(std::int32_t port, const std::string& address) {
  return "TCP port " + std::to_string(port) + (address.empty() ? "" : " of " + address);
}

// "1 retry", "2 retries".
std::string Retries(int retries) { return std::to_string(retries) + (retries == 1 ? " retry" : " retries"); }

}  // namespace

// An exception's message names what failed in the outside's bytes (a port's name, a path).
platform::Text FailureReason(const ESocketError& e) {
  return e.ErrorCode() != 0 ? platform::Text(SystemReason(e.ErrorCode())) : platform::Text::FromOutside(e.Message());
}

platform::Text FailureReason(const EComPort& e) {
  return e.WinErrorCode() > 0 ? platform::Text(SystemReason(e.WinErrorCode()))
                              : platform::Text::FromOutside(e.Message());
}

platform::Text FailureReason(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    // Exception's what() is its message.
    if (*e.what() != '\0') return platform::Text::FromOutside(e.what());
  } catch (...) {
  }
  return "unexpected failure";
}

platform::Text ListenerFailureEntry(int k, const TSootv& channel, bool server_side, const platform::Text& reason,
                                    const std::string& address) {
  const std::int32_t port = server_side ? channel.ServerPort : channel.DevicePort;
  return ChannelHead(k, channel, server_side ? "server" : "device") +
         platform::Text("cannot listen on " + ListeningPort(port, address) + ": ") + reason;
}

platform::Text SerialOpenFailureEntry(int k, const TSootv& channel, const platform::Text& reason) {
  return ChannelHead(k, channel, "serial") + platform::Text("cannot open ") + SerialPortNaming(channel) +
         platform::Text(": ") + reason;
}

platform::Text SerialLineFailureEntry(int k, const TSootv& channel, const platform::Text& reason) {
  return ChannelHead(k, channel, "serial") + SerialPortNaming(channel) + platform::Text(" failed while running: ") +
         reason;
}

platform::Text PeerCutEntry(int k, const TSootv& channel, bool server_side, const std::string& peer,
                            const std::string& what) {
  return ChannelHead(k, channel, server_side ? "server" : "device") +
         platform::Text("peer " + peer + " " + what + " and was disconnected");
}

platform::Text SerialDropEntry(int k, const TSootv& channel, const std::string& what, std::size_t dropped) {
  return ChannelHead(k, channel, "serial") + SerialPortNaming(channel) +
         platform::Text(" " + what + "; " + std::to_string(dropped) + " bytes waiting for it were dropped");
}

std::string RetryNote(int seconds) { return "; tried again every " + std::to_string(seconds) + " s"; }

platform::Text ListenerOpenedEntry(int k, const TSootv& channel, bool server_side, int retries,
                                   const std::string& address) {
  const std::int32_t port = server_side ? channel.ServerPort : channel.DevicePort;
  return ChannelHead(k, channel, server_side ? "server" : "device") +
         platform::Text("listening on " + ListeningPort(port, address) + " after " + Retries(retries));
}

platform::Text PeerRefusedEntry(int k, const TSootv& channel, bool server_side, const std::string& first,
                                std::uint64_t more, const std::string& why) {
  std::string what = "refused peer " + first;
  if (more > 0) what += " and " + std::to_string(more) + " more in the last minute";
  return ChannelHead(k, channel, server_side ? "server" : "device") + platform::Text(what + ": " + why);
}

platform::Text SerialGoneEntry(int k, const TSootv& channel, const platform::Text& reason, int seconds) {
  return ChannelHead(k, channel, "serial") + SerialPortNaming(channel) + platform::Text(" went away: ") + reason +
         platform::Text(RetryNote(seconds));
}

platform::Text SerialOpenedEntry(int k, const TSootv& channel, bool was_gone, int retries, std::uint64_t dropped) {
  std::string what = (was_gone ? " is back after " : " opened after ") + Retries(retries);
  if (was_gone || dropped > 0) {
    what += "; " + std::to_string(dropped) + " bytes from the devices were dropped " +
            (was_gone ? "while it was away" : "meanwhile");
  }
  return ChannelHead(k, channel, "serial") + SerialPortNaming(channel) + platform::Text(what);
}

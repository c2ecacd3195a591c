#include "relay/failure_entries.h"

#include "platform/serial_device.h"

namespace {

// The system's text for `code`; its number when the system has no text for it.
std::string SystemReason(int code) {
  std::string text = SystemErrorText(code);
  return text.empty() ? "error " + std::to_string(code) : text;
}

std::string ChannelHead(int k, const TSootv& channel, const char* side) {
  return "Channel " + std::to_string(k) + " \"" + channel.ChannelLabel + "\", " + side + " side: ";
}

// The port's name as the file gives it (quoted, so that blanks show), and the device it
// stands for when that reads differently.
std::string SerialPortNaming(const TSootv& channel) {
  std::string naming = "serial port \"" + channel.ComPortName + "\"";
  const std::string path = platform::SerialDevicePath(channel.ComPortName);
  if (path != channel.ComPortName) naming += " (" + path + ")";
  return naming;
}

}  // namespace

std::string FailureReason(const ESocketError& e) {
  return e.ErrorCode() != 0 ? SystemReason(e.ErrorCode()) : e.Message();
}

std::string FailureReason(const EComPort& e) {
  return e.WinErrorCode() > 0 ? SystemReason(e.WinErrorCode()) : e.Message();
}

std::string FailureReason(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    // Exception's what() is its message.
    if (*e.what() != '\0') return e.what();
  } catch (...) {
  }
  return "unexpected failure";
}

std::string ListenerFailureEntry(int k, const TSootv& channel, bool server_side, const std::string& reason) {
  const std::int32_t port = server_side ? channel.ServerPort : channel.DevicePort;
  return ChannelHead(k, channel, server_side ? "server" : "device") + "cannot listen on TCP port " +
         std::to_string(port) + ": " + reason;
}

std::string SerialOpenFailureEntry(int k, const TSootv& channel, const std::string& reason) {
  return ChannelHead(k, channel, "serial") + "cannot open " + SerialPortNaming(channel) + ": " + reason;
}

std::string SerialLineFailureEntry(int k, const TSootv& channel, const std::string& reason) {
  return ChannelHead(k, channel, "serial") + SerialPortNaming(channel) + " failed while running: " + reason;
}

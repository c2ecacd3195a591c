#include "operator/channel_check.h"

#include <algorithm>
#include <array>
#include <map>
#include <utility>

#include "base/exception.h"
#include "base/ipv4_address.h"
#include "base/text_lines.h"
#include "net/server_socket.h"
#include "platform/files.h"
#include "platform/operator_output.h"
#include "platform/process.h"
#include "platform/serial_device.h"
#include "platform/sockets.h"
#include "platform/text.h"
#include "relay/arrays_vars.h"
#include "relay/channel_file.h"
#include "relay/peer_admission.h"
#include "relay/port_index.h"

namespace {

// A field is shown with at most this many of its bytes.
constexpr std::size_t kShownBytes = 60;

// A field as the report shows it: quoted, control characters escaped, cut after kShownBytes.
std::string Shown(std::string_view field) { return platform::QuotedField(field, kShownBytes); }

// True for a number that reads as 0 ("0", "00", "+0", "$0", "0x0"); false for text that
// reads as 0 only because it is no number at all.
bool IsWrittenZero(std::string_view text) {
  std::size_t i = text.find_first_not_of(' ');
  if (i == std::string_view::npos) return false;
  if (text[i] == '+' || text[i] == '-') ++i;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    i += 2;
  }
  return i < text.size() && text.find_first_not_of('0', i) == std::string_view::npos;
}

bool IsNoNumber(std::string_view field, std::int32_t value) { return value == 0 && !IsWrittenZero(field); }

std::string Plural(long long count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Adds the warning of a side that will fail to open, saying with healing on whether the service
// tries it again (a failure that can pass) or not.
void WarnOpenFailure(std::vector<std::string>& warnings, std::string text, bool can_pass, int retry_seconds) {
  if (retry_seconds > 0) {
    text += can_pass ? "; the service tries again every " + std::to_string(retry_seconds) + " s"
                     : "; it is never tried again";
  }
  warnings.push_back(std::move(text));
}

struct CheckedChannel {
  int number = 0;
  std::int32_t device_port = 0;
  std::int32_t type = 0;
  std::int32_t server_port = 0;  // type 2
  std::string serial_name;       // type 1, as the service opens it
  std::string label;             // shown form
  std::vector<std::string> warnings;
};

// Warnings about a port's value: no number, 0, outside 1..65535.
void CheckPortValue(const char* side, std::string_view field, std::int32_t port, std::vector<std::string>& warnings,
                    int retry_seconds) {
  const std::string name = std::string(side) + " port";
  if (port == 0) {
    std::string what = IsNoNumber(field, port) ? name + " " + Shown(field) + " is not a number: it reads as 0"
                                               : name + " is 0";
    warnings.push_back(what + ", so the listener opens a port the system picks, which no one knows");
    return;
  }
  if (port < 0 || port > 65535) {
    WarnOpenFailure(warnings, name + " " + std::to_string(port) + " is outside 1..65535: the listener fails to open",
                    false, retry_seconds);
  }
}

// Reads one line as the service does and notes what is wrong with its values alone.
CheckedChannel ReadChannel(int number, std::string_view line, int retry_seconds) {
  CheckedChannel channel;
  channel.number = number;
  if (line.find_first_not_of(' ') == std::string_view::npos) {
    // Device port 0, type 0: said once, in the terms of the line.
    channel.label = Shown(ChannelField(line, 5));
    channel.warnings.push_back("the line is blank: it is still a channel, with device port 0 (a port the system "
                               "picks) and no partner, and the channels after it count from here");
    return channel;
  }
  const std::string device_field = ChannelField(line, 1);
  channel.device_port = ParseInt(device_field);
  const std::string type_field = ChannelField(line, 3);
  channel.type = ParseInt(type_field);
  const std::string fourth = ChannelField(line, 4);
  channel.label = Shown(ChannelField(line, 5));

  CheckPortValue("device", device_field, channel.device_port, channel.warnings, retry_seconds);
  if (channel.type == 1) {
    channel.serial_name = fourth;
  } else {
    if (channel.type == 2) {
      channel.server_port = ParseInt(fourth);
      CheckPortValue("server", fourth, channel.server_port, channel.warnings, retry_seconds);
    } else if (IsNoNumber(type_field, channel.type)) {
      channel.warnings.push_back("type " + Shown(type_field) +
                                 " is not a number: it reads as 0, so the channel opens its device port only "
                                 "and drops what devices send");
    } else {
      channel.warnings.push_back("type " + std::to_string(channel.type) +
                                 " is neither 1 (serial) nor 2 (TCP): the channel opens its device port only "
                                 "and drops what devices send");
    }
  }
  return channel;
}

// The retry period the options give; 0 when they give none.
int RetrySeconds(const TRelayOptions& options) { return options.Retry.Given() ? options.Retry.value : 0; }

// The system's code for a bind of `side`'s address (0 when it can be bound, or none is given).
int BindError(const TRelayOptions& options, TListenerSide side, const ChannelCheckProbes& probes) {
  const TOptionValue<IPv4Address>& bind = options.Access.Sides[side].Bind;
  return bind.Given() && bind.value != 0 ? probes.try_listen(bind.value, 0) : 0;
}

// The listeners in the order the service opens them (every device side, then every server
// side): a port that an earlier listener takes does not open again, one that another program
// holds does not open at all. Sides that the options keep closed, or whose address is not on
// this machine (the options' part says so), are not probed.
void CheckListeners(std::vector<CheckedChannel>& channels, const ChannelCheckProbes& probes,
                    const TRelayOptions& options, const std::array<PortIndex, 2>& ports) {
  const int retry_seconds = RetrySeconds(options);
  const std::array<IPv4Address, 2> address = {options.Access.Sides[lsDevice].Bind.value,
                                              options.Access.Sides[lsServer].Bind.value};
  const std::array<int, 2> bind_error = {BindError(options, lsDevice, probes), BindError(options, lsServer, probes)};
  auto check = [&](CheckedChannel& channel, TListenerSide side, std::int32_t value) {
    // 0: the system picks a free one; outside the TCP range: fails to open, holds nothing.
    if (value <= 0 || value > 65535) return;
    const auto port = static_cast<std::uint16_t>(value);
    const std::string name = std::string(SideName(side)) + " port " + std::to_string(port);
    if (const auto first = PortOpenedBefore(options.Access, ports[lsDevice], ports[lsServer], side, channel.number, port)) {
      WarnOpenFailure(channel.warnings,
                      name + " is also the " + SideName(first->side) + " port of channel " +
                          std::to_string(first->channel) + ", which opens it first: this listener will not open",
                      false, retry_seconds);
      return;
    }
    if (options.Access.Closed || bind_error[side] != 0) return;
    if (int error = probes.try_listen(address[side], port)) {
      WarnOpenFailure(channel.warnings, name + " cannot be opened now: " + SystemErrorText(error), true,
                      retry_seconds);
    }
  };
  for (CheckedChannel& channel : channels) check(channel, lsDevice, channel.device_port);
  for (CheckedChannel& channel : channels) {
    if (channel.type == 2) check(channel, lsServer, channel.server_port);
  }
}

// "line 3", "lines 3, 5".
std::string LinesText(const std::vector<int>& lines) {
  std::string text = lines.size() == 1 ? "line " : "lines ";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(lines[i]);
  }
  return text;
}

std::string NetworksText(const TAllowList& list) {
  std::string text;
  for (const IPv4Network& network : list.networks) {
    if (!text.empty()) text += ' ';
    text += IPv4Text(network);
  }
  return text;
}

// The channels of each port, per side, as the service indexes them.
std::array<PortIndex, 2> PortsOf(const std::vector<CheckedChannel>& channels) {
  std::array<PortIndex, 2> ports;
  for (const CheckedChannel& channel : channels) {
    ports[lsDevice].Add(channel.device_port, channel.number);
    if (channel.type == 2) ports[lsServer].Add(channel.server_port, channel.number);
  }
  return ports;
}

// Who may connect to side `side` of channel k, by the rule its listener answers to: "  server
// side: listens on every address, admits 10.1.0.0/16 (line 3), at most 4 connections"; a list
// of another channel on the same port says whose it is.
std::string SideLine(const TOptionsFile& file, TListenerSide side, const CheckedChannel& channel,
                     const std::array<PortIndex, 2>& ports) {
  const TRelayOptions& options = file.Options;
  const int k = channel.number;
  std::string line = "  " + std::string(SideName(side)) + " side: ";
  if (!file.Readable()) return line + "opens no listener (" + ClosedReason(file) + ")";
  const PeerRule rule = ListenerRule(options.Access, side, k, side == lsDevice ? channel.device_port : channel.server_port,
                                     ports[side]);
  const IPv4Address bind = options.Access.Sides[side].Bind.value;
  line += "listens on " + (bind == 0 ? std::string("every address") : IPv4Text(bind)) + ", admits ";
  if (rule.Lists().empty()) line += "anyone";
  for (std::size_t i = 0; i < rule.Lists().size(); ++i) {
    const PeerRule::List& list = rule.Lists()[i];
    if (i > 0) line += " within ";
    line += NetworksText(list.list) + " (" + LinesText(list.list.lines);
    if (list.own_channel == k) line += ", its own list";
    if (list.own_channel != 0 && list.own_channel != k) {
      line += ", the own list of channel " + std::to_string(list.own_channel) + " on the same port";
    }
    line += ")";
  }
  return line + (rule.Limit() > 0 ? ", at most " + std::to_string(rule.Limit()) + " connections" : ", no limit");
}

// The serial devices of type-1 channels, in channel order; returns each one's path.
std::map<int, std::string> CheckSerialDevices(std::vector<CheckedChannel>& channels, const ChannelCheckProbes& probes,
                                              int retry_seconds) {
  std::map<int, std::string> paths;
  std::map<std::string, int> taken;  // path -> channel
  for (CheckedChannel& channel : channels) {
    if (channel.type != 1) continue;
    auto warn = [&](const std::string& text, bool can_pass) {
      WarnOpenFailure(channel.warnings, text, can_pass, retry_seconds);
    };
    if (channel.serial_name.empty()) {
      warn("no serial device is named (field 4 is empty)", false);
      continue;
    }
    const std::string path = platform::SerialDevicePath(channel.serial_name);
    paths[channel.number] = path;
    const std::string name = "serial device " + Shown(path);
    if (auto it = taken.find(path); it != taken.end()) {
      warn(name + " is also the device of channel " + std::to_string(it->second) +
               ", which opens it first: it will not open here",
           false);
      continue;
    }
    taken.emplace(path, channel.number);
    const platform::SerialProbe probe = probes.probe_serial(channel.serial_name);
    switch (probe.result) {
      case platform::SerialProbeResult::kUsable:
        break;
      case platform::SerialProbeResult::kMissing:
        warn(name + " does not exist", true);
        break;
      case platform::SerialProbeResult::kNotSerial:
        warn(name + " is not a serial device", false);
        break;
      case platform::SerialProbeResult::kBusy:
        warn(name + " is busy: another program has it open", true);
        break;
      case platform::SerialProbeResult::kFailed:
        warn(name + " cannot be opened: " + SystemErrorText(probe.error), !platform::IsNotASerialDevice(probe.error));
        break;
    }
  }
  return paths;
}

std::string ChannelLine(const CheckedChannel& channel, const std::map<int, std::string>& serial_paths) {
  std::string line = "channel " + std::to_string(channel.number) + ": device port " +
                     std::to_string(channel.device_port) + ", type " + std::to_string(channel.type);
  if (channel.type == 2) line += ", server port " + std::to_string(channel.server_port);
  if (channel.type == 1) {
    line += ", serial device " + Shown(channel.serial_name);
    if (auto it = serial_paths.find(channel.number); it != serial_paths.end()) line += " = " + Shown(it->second);
  }
  return line + ", label " + channel.label;
}

// The settings the serial port opens with: "  serial line: "COM3" at 19200 8E1, rtscts (line 4)".
std::string SerialLine(const TRelayOptions& options, const CheckedChannel& channel) {
  const TOptionValue<TSerialSettings> settings = SerialSettingsOf(options.Serial, channel.number);
  return "  serial line: " + Shown(channel.serial_name) + " at " + SerialSettingsText(settings.value) +
         (settings.Given() ? " (line " + std::to_string(settings.line) + ")" : std::string(" (the default)"));
}

// How many connections wait on each listener: the backlog given (or the default) within what the
// system allows (`max_backlog`, 0 when it does not tell).
void BacklogNote(const TOptionValue<int>& backlog, int max_backlog, ChannelCheckReport& report) {
  const int asked = backlog.Given() ? backlog.value : TServerSocket::kDefaultBacklog;
  const int given = max_backlog > 0 ? std::min(asked, max_backlog) : asked;
  const std::string waiting = "up to " + std::to_string(given) + " connections wait on each listener to be accepted";
  const std::string allowed =
      max_backlog > 0 ? "the system allows " + std::to_string(max_backlog) : "the system may allow fewer";
  if (given < asked && backlog.Given()) {
    report.lines.push_back("  warning: line " + std::to_string(backlog.line) + ": backlog " + std::to_string(asked) +
                           " is more than " + allowed + ": " + waiting);
    ++report.warnings;
    return;
  }
  report.lines.push_back(std::string(backlog.Given() ? "  backlog: " : "  no backlog: ") + waiting + " (" + allowed +
                         ")");
}

int TryListen(std::uint32_t address, std::uint16_t port) {
  if (int error = platform::SocketLibraryStartup()) return error;
  int error = 0;
  const platform::SocketHandle s = platform::CreateTcpSocket();
  if (s == platform::kInvalidSocket) {
    error = platform::LastSocketError();
  } else {
    // Bound as a listener binds: a port whose old connections are still closing is free.
    platform::SetReuseAddress(s);
    if (platform::BindAddress(s, address, port) != 0) error = platform::LastSocketError();
    platform::CloseSocket(s);
  }
  platform::SocketLibraryCleanup();
  return error;
}

}  // namespace

ChannelCheckReport CheckChannelText(std::string_view text, bool complete, const ChannelCheckProbes& probes,
                                    const TOptionsFile& file) {
  const TRelayOptions& options = file.Options;
  const int retry_seconds = RetrySeconds(options);
  ChannelCheckReport report;
  std::vector<CheckedChannel> channels;
  long long ignored = 0;
  ForEachLine(text, NulByte::kEndsText, [&](std::string_view line) {
    if (channels.size() < static_cast<std::size_t>(kMaxChannels)) {
      channels.push_back(ReadChannel(static_cast<int>(channels.size()) + 1, line, retry_seconds));
    } else {
      ++ignored;
    }
  });
  const std::array<PortIndex, 2> ports = PortsOf(channels);
  CheckListeners(channels, probes, options, ports);
  const std::map<int, std::string> serial_paths = CheckSerialDevices(channels, probes, retry_seconds);

  for (const CheckedChannel& channel : channels) {
    report.lines.push_back(ChannelLine(channel, serial_paths));
    if (channel.type == 1 && options.Serial.Given() && file.Readable()) {
      report.lines.push_back(SerialLine(options, channel));
    }
    if (options.Access.Given()) {
      report.lines.push_back(SideLine(file, lsDevice, channel, ports));
      if (channel.type == 2) report.lines.push_back(SideLine(file, lsServer, channel, ports));
      if (channel.type == 1 && !file.Readable()) {
        report.lines.push_back("  serial side: opens no port (" + ClosedReason(file) + ")");
      }
    }
    for (const std::string& warning : channel.warnings) report.lines.push_back("  warning: " + warning);
    report.warnings += static_cast<int>(channel.warnings.size());
  }
  report.channels = static_cast<int>(channels.size());
  auto warn = [&](const std::string& text) {
    report.lines.push_back("warning: " + text);
    ++report.warnings;
  };
  if (channels.empty()) warn("the channel file has no lines: the service starts with no channels");
  if (ignored > 0) {
    warn(Plural(ignored, "line", "lines") + (complete ? "" : " or more") + " after line " +
         std::to_string(kMaxChannels) + " " + (ignored == 1 && complete ? "is" : "are") + " ignored: the service takes " +
         std::to_string(kMaxChannels) + " channels at most");
  }
  if (!complete) {
    warn("the channel file is larger than " + std::to_string(kCheckedFileLimit >> 20) +
         " MiB: only its first part was checked");
  }
  return report;
}

ChannelCheckReport CheckOptions(const TOptionsFile& file, int channel_count, const ChannelCheckProbes& probes) {
  ChannelCheckReport report;
  for (const TOptionsLine& taken : file.Taken) {
    report.lines.push_back("  line " + std::to_string(taken.line) + ": " + taken.text);
  }
  auto warn = [&](int line, const std::string& text) {
    report.lines.push_back("  warning: line " + std::to_string(line) + ": " + text);
    ++report.warnings;
  };
  // As the service's entries tell them, with the same consequence.
  for (const std::string& problem : ToldProblems(file)) {
    report.lines.push_back("  warning: " + problem + "; no listener opens");
    ++report.warnings;
  }
  const TAccessOptions& access = file.Options.Access;
  for (TListenerSide side : {lsDevice, lsServer}) {
    const TOptionValue<IPv4Address>& bind = access.Sides[side].Bind;
    // 0.0.0.0/8 (but 0.0.0.0 itself, every address) and 224.0.0.0 and above (multicast,
    // reserved, broadcast) are no address of one machine that a peer can connect to.
    const bool unicast = bind.value == 0 || (bind.value >= 0x01000000u && bind.value < 0xE0000000u &&
                                             !(probes.local_broadcast && probes.local_broadcast(bind.value)));
    if (bind.Given() && !unicast) {
      warn(bind.line, "bind " + std::string(SideName(side)) + " " + IPv4Text(bind.value) +
                          ": the address is not a unicast address of this machine (multicast, broadcast or "
                          "reserved), so no peer can connect to the " + SideName(side) + " side");
      continue;
    }
    if (const int error = BindError(file.Options, side, probes)) {
      std::vector<std::string> texts;
      WarnOpenFailure(texts,
                      "bind " + std::string(SideName(side)) + " " + IPv4Text(bind.value) +
                          ": the address is not on this machine now (" + SystemErrorText(error) + "), so the " +
                          SideName(side) + " side of every channel fails to open",
                      true, RetrySeconds(file.Options));
      warn(bind.line, texts.front());
    }
  }
  auto warn_nobody = [&](const TAllowList& list, const std::string& whose) {
    if (AdmitsNobody(list)) {
      warn(list.lines.front(), "the allow-list of " + whose + " admits nobody: no peer connects from " +
                                   NetworksText(list));
    }
  };
  for (TListenerSide side : {lsDevice, lsServer}) {
    warn_nobody(access.Sides[side].Allow, "the " + std::string(SideName(side)) + " side");
    for (const auto& [k, lists] : access.ChannelAllow) {
      if (k <= channel_count) {
        warn_nobody(lists[side], "channel " + std::to_string(k) + "'s " + SideName(side) + " side");
      }
    }
  }
  if (file.Found && !file.Options.Retry.Given()) {
    report.lines.push_back("  no retry: what fails to open stays closed until the service starts again");
  }
  if (file.Found && !access.Given()) {
    report.lines.push_back("  no bind, allow or limit: every listener listens on every address and admits anyone");
  }
  if (file.Found) BacklogNote(file.Options.Backlog, probes.max_backlog ? probes.max_backlog() : 0, report);
  return report;
}

ChannelCheckProbes SystemProbes() {
  return ChannelCheckProbes{&TryListen, &platform::ProbeSerialDevice, &platform::MaxListenBacklog,
                            &platform::IsLocalBroadcastAddress};
}

int RunChannelCheck() {
  // Where the service looks for them: beside the executable.
  const std::string directory = platform::ExecutableDirectory();
  const std::string path = directory + kChannelFileName;
  ChannelCheckReport report;
  std::string contents;
  bool complete = false;
  bool readable = false;
  if (!platform::IsRegularFile(path)) {
    report.lines.push_back("warning: there is no channel file: the service starts with no channels");
    report.warnings = 1;
  } else if (int code = platform::ReadFileHead(path, kCheckedFileLimit, contents, complete); code != 0) {
    report.lines.push_back("warning: the channel file cannot be read, so the service will not start: " +
                           SystemErrorText(code));
    report.warnings = 1;
  } else {
    readable = true;
  }
  // The options are read for the channels the service will have, as the service reads them.
  std::vector<std::int32_t> types;
  if (readable) {
    ForEachLine(contents, NulByte::kEndsText, [&](std::string_view line) {
      if (types.size() < static_cast<std::size_t>(kMaxChannels)) types.push_back(ParseInt(ChannelField(line, 3)));
    });
  }
  const TOptionsFile options = LoadOptionsFile(directory, static_cast<int>(types.size()),
                                               [&](int k) { return types[static_cast<std::size_t>(k) - 1]; });
  if (readable) report = CheckChannelText(contents, complete, SystemProbes(), options);
  // The options come first: the channels' lines rest on them.
  const ChannelCheckReport options_report = CheckOptions(options, report.channels, SystemProbes());
  if (options.Found) platform::WriteOutputLine("Options file: " + directory + kOptionsFileName);
  for (const std::string& line : options_report.lines) platform::WriteOutputLine(line);
  platform::WriteOutputLine("Channel file: " + path);
  for (const std::string& line : report.lines) platform::WriteOutputLine(line);
  const int warnings = options_report.warnings + report.warnings;
  platform::WriteOutputLine(Plural(report.channels, "channel", "channels") + ", " +
                            (warnings == 0 ? std::string("no warnings") : Plural(warnings, "warning", "warnings")));
  return warnings == 0 ? 0 : 1;
}

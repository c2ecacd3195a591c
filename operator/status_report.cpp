#include "operator/status_report.h"

#include <cstdio>

#include "platform/operator_output.h"

namespace {

// Bytes from outside as the lines show them (control characters escaped).
std::string Utf8FromOutside(const std::string& bytes) { return platform::Utf8Of(platform::Text::FromOutside(bytes)); }

std::string Count(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

const char* StateWord(SideState state) {
  switch (state) {
    case SideState::kListening: return "listening";
    case SideState::kWaiting: return "waiting";
    case SideState::kFailed: return "failed";
    case SideState::kOpen: return "open";
    case SideState::kGone: return "gone";
    case SideState::kShared: return "shared";
  }
  return "";
}

// "device port 20101 failed", "device port 20101 shared with channel 1", "serial COM3 gone":
// the side and its state, without the reason.
std::string SideHead(const char* side, const ListenerStatus& listener) {
  std::string head = std::string(side) + " port " + std::to_string(listener.port) + " " + StateWord(listener.side.state);
  if (listener.side.state == SideState::kShared) head += " with channel " + std::to_string(listener.side.shared_with);
  return head;
}
std::string SideHead(const SerialStatus& serial) {
  return "serial " + Utf8FromOutside(serial.name) + " " + StateWord(serial.side.state);
}

// "19200 8E1", "115200 8N1, rtscts, rs485".
std::string SerialSettings(const SerialStatus& serial) {
  std::string text = std::to_string(serial.baud) + " " + serial.frame;
  if (serial.flow != "none") text += ", " + serial.flow;
  if (serial.rs485) text += ", rs485";
  return text;
}

// " since TIME" for a line that went, then " (REASON)" when there is one.
std::string SideDetail(const SideStatus& side) {
  std::string detail;
  if (side.state == SideState::kGone && side.since) detail += " since " + IsoTime(*side.since);
  const std::string reason = platform::Utf8Of(side.reason);
  if (!reason.empty()) detail += " (" + reason + ")";
  return detail;
}

std::string PeerLine(const PeerStatus& peer, const char* side) {
  return "  " + peer.address + ":" + std::to_string(peer.port) + " " + side + ", connected since " +
         IsoTime(peer.since) + ", " + std::to_string(peer.bytes_in) + " bytes in, " + std::to_string(peer.bytes_out) +
         " bytes out";
}

// ---- JSON ----

// A JSON string of UTF-8 text, in ASCII.
std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  auto escape = [&](unsigned unit) {
    char text[16];
    std::snprintf(text, sizeof text, "\\u%04x", unit);
    out += text;
  };
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    std::uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k) c = (c << 6) | (utf8[i + k] & 0x3F);
    i += length;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (c < 0x10000) {
      escape(c);
    } else {
      escape(0xD800 + ((c - 0x10000) >> 10));
      escape(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return out + "\"";
}

// Bytes from outside as JSON carries them: whole, JSON escapes control characters its own way.
std::string JsonOfOutside(const std::string& bytes) {
  return JsonString(platform::Utf8Of(platform::Text::FromOutsideVerbatim(bytes)));
}

std::string JsonReason(const platform::Text& reason) {
  return reason.Empty() ? "null" : JsonString(platform::Utf8Of(reason));
}

// ", 3 refused (not allowed), 1 refused (over the limit)"; nothing when none were.
std::string Refusals(const ListenerStatus& listener) {
  std::string text;
  if (listener.refused_not_allowed > 0) text += ", " + std::to_string(listener.refused_not_allowed) + " refused (not allowed)";
  if (listener.refused_over_limit > 0) text += ", " + std::to_string(listener.refused_over_limit) + " refused (over the limit)";
  return text;
}

std::string JsonListener(const ListenerStatus& listener) {
  std::string peers;
  for (const PeerStatus& peer : listener.peers) {
    if (!peers.empty()) peers += ",";
    peers += "{\"address\":" + JsonString(peer.address) + ",\"port\":" + std::to_string(peer.port) +
             ",\"since\":" + JsonString(IsoTime(peer.since)) + ",\"bytes_in\":" + std::to_string(peer.bytes_in) +
             ",\"bytes_out\":" + std::to_string(peer.bytes_out) + "}";
  }
  return "{\"port\":" + std::to_string(listener.port) + ",\"state\":" + JsonString(StateWord(listener.side.state)) +
         ",\"reason\":" + JsonReason(listener.side.reason) +
         ",\"shared_with\":" + (listener.side.shared_with > 0 ? std::to_string(listener.side.shared_with) : "null") +
         ",\"peers\":[" + peers +
         "],\"refused_not_allowed\":" + std::to_string(listener.refused_not_allowed) +
         ",\"refused_over_limit\":" + std::to_string(listener.refused_over_limit) + "}";
}

std::string JsonSerial(const SerialStatus& serial) {
  return "{\"name\":" + JsonOfOutside(serial.name) +
         ",\"state\":" + JsonString(StateWord(serial.side.state)) + ",\"reason\":" + JsonReason(serial.side.reason) +
         ",\"since\":" + (serial.side.since ? JsonString(IsoTime(*serial.side.since)) : "null") +
         ",\"baud\":" + std::to_string(serial.baud) + ",\"frame\":" + JsonString(serial.frame) +
         ",\"flow\":" + JsonString(serial.flow) + ",\"rs485\":" + (serial.rs485 ? "true" : "false") + "}";
}

// ---- The summary ----

// How a channel fares by its worst side.
enum class Fares { kOpen, kWaiting, kFailed };

Fares FaresBy(SideState state) {
  switch (state) {
    case SideState::kListening:
    case SideState::kOpen:
    case SideState::kShared: return Fares::kOpen;
    case SideState::kWaiting:
    case SideState::kGone: return Fares::kWaiting;
    case SideState::kFailed: return Fares::kFailed;
  }
  return Fares::kFailed;
}

// The channel's worst side, and its head ("serial COM3 gone").
Fares ChannelFares(const ChannelStatus& channel, std::string& worst) {
  Fares fares = FaresBy(channel.device.side.state);
  worst = SideHead("device", channel.device);
  auto consider = [&](SideState state, const std::string& head) {
    if (FaresBy(state) > fares) {
      fares = FaresBy(state);
      worst = head;
    }
  };
  if (channel.server) consider(channel.server->side.state, SideHead("server", *channel.server));
  if (channel.serial) consider(channel.serial->side.state, SideHead(*channel.serial));
  return fares;
}

// "1.2 GB": below 1000 the bytes, else two figures (three from 100 on) of the largest unit.
std::string RoundedBytes(std::uint64_t bytes) {
  if (bytes < 1000) return Count(bytes, "byte", "bytes");
  static const char* const kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1000;
  int unit = 0;
  while (value >= 1000 && unit < 5) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  if (value < 10) {
    std::snprintf(text, sizeof text, "%d.%d %s", static_cast<int>(value), static_cast<int>(value * 10) % 10,
                  kUnits[unit]);
  } else {
    std::snprintf(text, sizeof text, "%d %s", static_cast<int>(value), kUnits[unit]);
  }
  return text;
}

}  // namespace

std::string IsoTime(WallClock::time_point time) {
  using namespace std::chrono;
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{floor<seconds>(time - day)};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

std::vector<std::string> StatusTextLines(const StatusHead& head, const RelayStatus& status, bool peers) {
  std::vector<std::string> lines{"Korvenet " + head.version + ", process " + std::to_string(head.pid) +
                                 ", started " + IsoTime(status.started) + ", " +
                                 Count(status.channels.size(), "channel", "channels")};
  for (const ChannelStatus& c : status.channels) {
    std::string line = "channel " + std::to_string(c.number) + " \"" + Utf8FromOutside(c.label) + "\": " +
                       SideHead("device", c.device) + SideDetail(c.device.side) + ", " +
                       Count(c.device.peer_count, "device", "devices") + Refusals(c.device);
    if (c.server) {
      line += "; " + SideHead("server", *c.server) + SideDetail(c.server->side) + ", " +
              Count(c.server->peer_count, "server", "servers") + Refusals(*c.server);
    }
    if (c.serial) {
      line += "; " + SideHead(*c.serial) + SideDetail(c.serial->side);
      if (c.serial->configured) line += ", " + SerialSettings(*c.serial);
    }
    line += "; " + std::to_string(c.bytes_from_devices) + " bytes from devices, " +
            std::to_string(c.bytes_to_devices) + " bytes to devices";
    if (c.cuts > 0) line += ", " + Count(c.cuts, "peer cut", "peers cut");
    if (c.dropped > 0) line += ", " + Count(c.dropped, "byte dropped", "bytes dropped");
    lines.push_back(std::move(line));
    if (!peers) continue;
    for (const PeerStatus& peer : c.device.peers) lines.push_back(PeerLine(peer, "device"));
    if (c.server) {
      for (const PeerStatus& peer : c.server->peers) lines.push_back(PeerLine(peer, "server"));
    }
  }
  return lines;
}

std::string StatusJson(const StatusHead& head, const RelayStatus& status) {
  std::string channels;
  for (const ChannelStatus& c : status.channels) {
    if (!channels.empty()) channels += ",";
    channels += "{\"number\":" + std::to_string(c.number) + ",\"label\":" + JsonOfOutside(c.label) +
                ",\"type\":" + std::to_string(c.type) + ",\"device\":" + JsonListener(c.device) +
                ",\"server\":" + (c.server ? JsonListener(*c.server) : "null") +
                ",\"serial\":" + (c.serial ? JsonSerial(*c.serial) : "null") +
                ",\"bytes_from_devices\":" + std::to_string(c.bytes_from_devices) +
                ",\"bytes_to_devices\":" + std::to_string(c.bytes_to_devices) + ",\"cuts\":" + std::to_string(c.cuts) +
                ",\"dropped\":" + std::to_string(c.dropped) + "}";
  }
  return "{\"version\":" + JsonString(head.version) + ",\"pid\":" + std::to_string(head.pid) +
         ",\"started\":" + JsonString(IsoTime(status.started)) + ",\"channels\":[" + channels + "]}";
}

std::string StatusSummary(const RelayStatus& status) {
  struct Kind {
    const char* word;
    int count = 0;
    std::string first;  // "channel 7: serial COM3 gone"
  };
  Kind kinds[] = {{"open", 0, {}}, {"waiting", 0, {}}, {"failed", 0, {}}};
  std::uint64_t devices = 0, servers = 0, bytes = 0;
  for (const ChannelStatus& c : status.channels) {
    std::string worst;
    Kind& kind = kinds[static_cast<int>(ChannelFares(c, worst))];
    if (kind.count++ == 0) kind.first = "channel " + std::to_string(c.number) + ": " + worst;
    devices += static_cast<std::uint64_t>(c.device.peer_count);
    if (c.server) servers += static_cast<std::uint64_t>(c.server->peer_count);
    bytes += c.bytes_from_devices + c.bytes_to_devices;
  }
  std::string line = Count(status.channels.size(), "channel", "channels") + ": " +
                     std::to_string(kinds[0].count) + " open";
  for (const Kind& kind : {kinds[1], kinds[2]}) {
    if (kind.count == 0) continue;
    line += ", " + std::to_string(kind.count) + " " + kind.word + " (" + kind.first;
    if (kind.count > 1) line += ", and " + std::to_string(kind.count - 1) + " more";
    line += ")";
  }
  return line + "; " + Count(devices, "device", "devices") + ", " + Count(servers, "server", "servers") + "; " +
         RoundedBytes(bytes) + " relayed";
}

#include "relay/serial_options.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "base/ascii_text.h"
#include "platform/text.h"

namespace {

constexpr char kWanted[] =
    "serial takes an optional channel number, a rate from 50 to 4000000, a frame such as 8N1 (data bits 5-8, "
    "parity N, E, O, M or S, stop bits 1, 1.5 or 2), then none, rtscts or xonxoff, and rs485";

// A value of the file as a problem shows it: quoted, control characters escaped, cut after 40
// bytes.
std::string Quoted(std::string_view value) { return platform::QuotedField(value, 40); }

bool AllDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// A whole decimal number within [low, high].
std::optional<std::int32_t> Number(std::string_view text, std::int32_t low, std::int32_t high) {
  if (!AllDigits(text)) return std::nullopt;
  text.remove_prefix(std::min(text.find_first_not_of('0'), text.size() - 1));
  if (text.size() > 9) return std::nullopt;
  std::int32_t value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  if (value < low || value > high) return std::nullopt;
  return value;
}

constexpr char kParityLetters[] = "NOEMS";  // in the order of TParityBits

// "8E1": data bits, parity letter (either case), stop bits; empty text when it is none.
std::string ReadFrame(std::string_view text, TSerialSettings& settings) {
  const std::string wrong = Quoted(text) + " is not a frame: data bits 5-8, parity N, E, O, M or S, stop bits 1, "
                                           "1.5 or 2, as in 8N1 or 7E2";
  if (text.size() < 3 || text[0] < '5' || text[0] > '8') return wrong;
  const std::string_view letters(kParityLetters);
  std::size_t parity = 0;
  while (parity < letters.size() && AsciiLower(letters[parity]) != AsciiLower(text[1])) ++parity;
  if (parity == letters.size()) return wrong;
  const std::string_view stop = text.substr(2);
  TStopBits stop_bits;
  if (stop == "1") {
    stop_bits = sbOneStopBit;
  } else if (stop == "1.5") {
    stop_bits = sbOne5StopBits;
  } else if (stop == "2") {
    stop_bits = sbTwoStopBits;
  } else {
    return wrong;
  }
  settings.data_bits = static_cast<TDataBits>(text[0] - '5');
  settings.parity = static_cast<TParityBits>(parity);
  settings.stop_bits = stop_bits;
  // What a UART can send: one and a half stop bits go with 5 data bits only, two never do.
  if ((stop_bits == sbOne5StopBits) != (settings.data_bits == dbFive) && stop_bits != sbOneStopBit) {
    return Quoted(text) + ": 1.5 stop bits go with 5 data bits only, and 2 stop bits with 6 to 8";
  }
  return std::string();
}

}  // namespace

std::string ReadSerialValues(const std::vector<std::string_view>& values, int line,
                             const std::function<std::string(std::int32_t k)>& channel_problem,
                             TSerialOptions& options) {
  std::size_t at = 0;
  std::int32_t channel = 0;  // the default of every serial channel
  // A channel number comes before the rate: two numbers in a row.
  if (values.size() >= 2 && AllDigits(values[0]) && AllDigits(values[1])) {
    // More digits than that name no channel either.
    constexpr std::int32_t kLargest = 999999999;
    channel = Number(values[0], 0, kLargest).value_or(kLargest);
    if (std::string problem = channel_problem(channel); !problem.empty()) return problem;
    at = 1;
  }
  if (values.size() < at + 2) return std::string(kWanted) + "; it has " + (values.size() <= at ? "no rate" : "no frame");
  TSerialSettings settings;
  const std::optional<std::int32_t> baud = Number(values[at], kSlowestBaud, kFastestBaud);
  if (!baud) return Quoted(values[at]) + " is not a rate from 50 to 4000000 bit/s";
  settings.baud = *baud;
  if (std::string problem = ReadFrame(values[at + 1], settings); !problem.empty()) return problem;
  bool flow_given = false;
  for (std::size_t i = at + 2; i < values.size(); ++i) {
    const std::string_view word = values[i];
    if (!flow_given && !settings.rs485 && SameTextIgnoringAsciiCase(word, "none")) {
      flow_given = true;
    } else if (!flow_given && !settings.rs485 && SameTextIgnoringAsciiCase(word, "rtscts")) {
      settings.flow = fcHardware;
      flow_given = true;
    } else if (!flow_given && !settings.rs485 && SameTextIgnoringAsciiCase(word, "xonxoff")) {
      settings.flow = fcSoftware;
      flow_given = true;
    } else if (!settings.rs485 && SameTextIgnoringAsciiCase(word, "rs485")) {
      settings.rs485 = true;
    } else {
      return std::string(kWanted) + ", not " + Quoted(word);
    }
  }
  // Both drive RTS: the handshake from the input queue, rs485 around each send.
  if (settings.rs485 && settings.flow == fcHardware) return "rs485 drives RTS itself: it cannot go with rtscts";
  TOptionValue<TSerialSettings>& given = channel == 0 ? options.Default : options.Channel[channel];
  if (given.Given()) {
    return std::string("serial ") + (channel == 0 ? "" : std::to_string(channel) + " ") +
           "is given a second time: line " + std::to_string(given.line) + " counts";
  }
  given = TOptionValue<TSerialSettings>{settings, line};
  return std::string();
}

bool TSerialOptions::Given() const {
  if (Default.Given()) return true;
  for (const auto& [k, given] : Channel) {
    if (given.Given()) return true;
  }
  return false;
}

TOptionValue<TSerialSettings> SerialSettingsOf(const TSerialOptions& options, int k) {
  if (auto it = options.Channel.find(k); it != options.Channel.end() && it->second.Given()) return it->second;
  return options.Default;
}

std::string FrameText(const TSerialSettings& settings) {
  static const char* const kStops[] = {"1", "1.5", "2"};
  return std::to_string(5 + static_cast<int>(settings.data_bits)) + kParityLetters[settings.parity] +
         kStops[settings.stop_bits];
}

const char* FlowWord(TFlowControl flow) {
  switch (flow) {
    case fcHardware: return "rtscts";
    case fcSoftware: return "xonxoff";
    default: return "none";
  }
}

std::string SerialSettingsText(const TSerialSettings& settings) {
  std::string text = std::to_string(settings.baud) + " " + FrameText(settings);
  if (settings.flow != fcNone) text += std::string(", ") + FlowWord(settings.flow);
  if (settings.rs485) text += ", rs485";
  return text;
}

void ApplySerialSettings(TCustomComPort& port, const TSerialSettings& settings) {
  // The rates of TBaudRate's members, in their order (brCustom first).
  static constexpr std::int32_t kMemberRates[] = {0,     110,   300,   600,   1200,   2400,   4800,   9600,
                                                  14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  TBaudRate rate = brCustom;
  for (int member = 1; member < static_cast<int>(std::size(kMemberRates)); ++member) {
    if (kMemberRates[member] == settings.baud) rate = static_cast<TBaudRate>(member);
  }
  if (rate == brCustom) port.SetCustomBaudRate(settings.baud);
  port.SetBaudRate(rate);
  port.SetDataBits(settings.data_bits);
  port.Parity().SetBits(settings.parity);
  port.SetStopBits(settings.stop_bits);
  port.FlowControl().SetFlowControl(settings.flow);
  if (settings.rs485) port.FlowControl().SetControlRTS(rtsToggle);
}

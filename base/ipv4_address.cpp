#include "base/ipv4_address.h"

namespace {

// A decimal number of 1 to `digits` digits without a leading zero, at most `high`.
std::optional<unsigned> SmallNumber(std::string_view text, std::size_t digits, unsigned high) {
  if (text.empty() || text.size() > digits || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > high) return std::nullopt;
  return value;
}

}  // namespace

std::optional<IPv4Address> ParseIPv4Address(std::string_view text) {
  IPv4Address address = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = part < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return std::nullopt;
    const std::optional<unsigned> number = SmallNumber(text.substr(0, dot), 3, 255);
    if (!number) return std::nullopt;
    address = (address << 8) | *number;
    text.remove_prefix(part < 3 ? dot + 1 : dot);
  }
  return address;
}

std::optional<IPv4Network> ParseIPv4Network(std::string_view text, std::string& why) {
  const std::size_t slash = text.find('/');
  const std::optional<IPv4Address> address = ParseIPv4Address(text.substr(0, slash));
  if (!address) {
    why = "is not an IPv4 address (four numbers 0..255 joined by dots)";
    return std::nullopt;
  }
  IPv4Network network{*address, 32};
  if (slash != std::string_view::npos) {
    const std::string_view mask = text.substr(slash + 1);
    const std::optional<unsigned> prefix = SmallNumber(mask, 2, 99);
    if (!prefix) {
      why = "has a mask that is not a number from 0 to 32 (without a leading zero)";
      return std::nullopt;
    }
    if (*prefix > 32) {
      why = "has a mask over 32";
      return std::nullopt;
    }
    network.prefix = static_cast<int>(*prefix);
  }
  // "10.0.0.1/0" is 0.0.0.0/0, everyone: a network written with bits after its mask is most
  // likely not the one meant, so it is not guessed at.
  const IPv4Address mask = network.prefix == 0 ? 0u : ~0u << (32 - network.prefix);
  if ((network.address & ~mask) != 0) {
    IPv4Network meant{network.address & mask, network.prefix};
    why = "has bits set after its mask (the network of that mask is " + IPv4Text(meant) + ")";
    return std::nullopt;
  }
  return network;
}

std::string IPv4Text(IPv4Address address) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (shift < 24) text += '.';
    text += std::to_string((address >> shift) & 0xFF);
  }
  return text;
}

std::string IPv4Text(const IPv4Network& network) {
  std::string text = IPv4Text(network.address);
  if (network.prefix < 32) {
    text += '/';
    text += std::to_string(network.prefix);
  }
  return text;
}

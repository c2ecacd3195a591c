#pragma once
// IPv4 addresses and networks as an operator writes them: "10.1.2.3" and "10.1.0.0/16".
// Addresses are numbers in host byte order (10.1.2.3 is 0x0A010203). No state; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using IPv4Address = std::uint32_t;

// An address and the number of its leading bits that count (0..32); the other bits are 0.
struct IPv4Network {
  IPv4Address address = 0;
  int prefix = 32;

  bool Contains(IPv4Address peer) const {
    return prefix == 0 || ((peer ^ address) >> (32 - prefix)) == 0;
  }
  // True when every address of this network lies in `other`.
  bool Within(const IPv4Network& other) const { return prefix >= other.prefix && other.Contains(address); }
  bool operator==(const IPv4Network&) const = default;
};

// Four decimal numbers 0..255 joined by dots, each without a leading zero (which some systems
// read as octal); nothing for anything else.
std::optional<IPv4Address> ParseIPv4Address(std::string_view text);

// An address, or an address, "/" and a prefix length 0..32 without a leading zero, whose bits
// after the prefix are all 0 ("10.1.0.0/16"; "10.1.2.3/16" is refused). Nothing for anything
// else, with `why` saying what is wrong: "is not an IPv4 address ...", "has a mask over 32",
// "has a mask that is not a number ...", "has bits set after its mask ...".
std::optional<IPv4Network> ParseIPv4Network(std::string_view text, std::string& why);

// "10.1.2.3"; a network as "10.1.0.0/16", or as its address alone when all 32 bits count.
std::string IPv4Text(IPv4Address address);
std::string IPv4Text(const IPv4Network& network);

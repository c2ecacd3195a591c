#include "relay/access_options.h"

#include <algorithm>

bool TAllowList::Admits(IPv4Address peer) const {
  if (!Given()) return true;
  return std::any_of(networks.begin(), networks.end(), [peer](const IPv4Network& n) { return n.Contains(peer); });
}

bool TAccessOptions::Given() const {
  for (const TSideOptions& side : Sides) {
    if (side.Bind.Given() || side.Allow.Given() || side.Limit.Given()) return true;
  }
  return !ChannelAllow.empty() || !Closed.empty();
}

TSideAccess SideAccess(const TAccessOptions& options, TListenerSide side, int k) {
  const TSideOptions& wide = options.Sides[side];
  TSideAccess access;
  access.bind = wide.Bind.value;
  access.bind_line = wide.Bind.line;
  access.limit = wide.Limit.value;
  access.limit_line = wide.Limit.line;
  if (auto own = options.ChannelAllow.find(k); own != options.ChannelAllow.end() && own->second[side].Given()) {
    access.allow = &own->second[side];
    access.own_list = true;
  } else if (wide.Allow.Given()) {
    access.allow = &wide.Allow;
  }
  for (const TClosedSides& closed : options.Closed) {
    if (closed.Covers(side, k) && (!access.closed_by || closed.line < *access.closed_by)) {
      access.closed_by = closed.line;
    }
  }
  return access;
}

std::string ClosingConsequence(const TClosedSides& closes, int channel_count) {
  if (!closes.Any()) return "the line is left out";
  if (closes.channel != 0 && closes.channel > channel_count) {
    return "the line changes nothing: the channel file has no channel " + std::to_string(closes.channel);
  }
  const bool both = closes.sides[lsDevice] && closes.sides[lsServer];
  const std::string side = closes.sides[lsDevice] ? "device" : "server";
  if (closes.channel == 0) {
    return both ? "no channel opens a listener" : "the " + side + " side of every channel opens no listener";
  }
  const std::string channel = "channel " + std::to_string(closes.channel);
  return both ? channel + " opens no listener" : "the " + side + " side of " + channel + " opens no listener";
}

std::vector<std::pair<int, int>> MissingChannelLines(const TAccessOptions& options, int channel_count) {
  std::vector<std::pair<int, int>> missing;
  for (const auto& [k, lists] : options.ChannelAllow) {
    if (k <= channel_count) continue;
    for (const TAllowList& list : lists) {
      for (int line : list.lines) missing.emplace_back(line, k);
    }
  }
  std::sort(missing.begin(), missing.end());
  return missing;
}

bool AdmitsNobody(const TAllowList& list) {
  constexpr IPv4Network kNoSource[] = {{0x00000000u, 8}, {0xE0000000u, 3}};
  return list.Given() && std::all_of(list.networks.begin(), list.networks.end(), [&](const IPv4Network& n) {
           return std::any_of(std::begin(kNoSource), std::end(kNoSource),
                              [&](const IPv4Network& none) { return n.Within(none); });
         });
}

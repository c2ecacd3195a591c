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
  return !ChannelAllow.empty() || Closed.has_value();
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
  access.closed_by = options.Closed;
  return access;
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

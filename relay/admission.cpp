// Who may connect where: the rule of each listener, the peers it refuses, and the warning
// entries that tell of them.

#include <algorithm>

#include "relay/failure_entries.h"
#include "relay/relay.h"

PeerRule Relay::ListenerRule(TListenerSide side, int k) const {
  const TSootv& channel = tables_.ChannelTable[k];
  return ::ListenerRule(options_.Access, side, k, side == lsDevice ? channel.DevicePort : channel.ServerPort, Ports(side));
}

std::string Relay::BindText(TListenerSide side) const {
  const IPv4Address address = options_.Access.Sides[side].Bind.value;
  return address == 0 ? std::string() : IPv4Text(address);
}

void Relay::AdmitPeer(TListenerSide side, int k, IPv4Address peer, int connections, bool& admit) {
  Admission& admission = admission_[k][side];
  const std::optional<TRefusal> refusal = admission.rule.Judge(peer, connections);
  if (!refusal) return;
  admit = false;
  RefusalLog& refusals = admission.refusals[*refusal];
  if (std::optional<RefusalLog::Entry> entry = refusals.Note(peer, Clock::now())) {
    WriteRefusal(side, k, *refusal, *entry);
  }
  refusals_due_ = std::min(refusals_due_, refusals.DueAt());
}

void Relay::TellRefusals(Clock::time_point now) {
  Clock::time_point next = Clock::time_point::max();
  for (int k = 1; k <= tables_.ChannelCount; ++k) {
    for (TListenerSide side : {lsDevice, lsServer}) {
      for (TRefusal reason : {rfNotAllowed, rfOverLimit}) {
        RefusalLog& refusals = admission_[k][side].refusals[reason];
        if (std::optional<RefusalLog::Entry> entry = refusals.Due(now)) WriteRefusal(side, k, reason, *entry);
        next = std::min(next, refusals.DueAt());
      }
    }
  }
  refusals_due_ = next;
}

void Relay::WriteRefusal(TListenerSide side, int k, TRefusal reason, const RefusalLog::Entry& entry) {
  const int limit = admission_[k][side].rule.Limit();
  const std::string why = reason == rfNotAllowed ? "not in the allow-list"
                                                 : "over the limit of " + std::to_string(limit) +
                                                       (limit == 1 ? " connection" : " connections");
  WriteWarning(PeerRefusedEntry(k, tables_.ChannelTable[k], side == lsServer, IPv4Text(entry.first), entry.more, why));
}

#pragma once
// The serial port's enumerations, event and error sets, and handler types.

#include <cstdint>
#include <initializer_list>

#include "base/event_slot.h"
#include "base/tobject.h"

enum TBaudRate {
  brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400,
  br56000, br57600, br115200, br128000, br256000
};
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum TSyncMethod { smThreadSync, smWindowSync, smNone };

enum TComEvent { evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full };
enum TComError { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };

// A set of enumeration members (up to 32).
template <typename E>
class EnumSet {
 public:
  constexpr EnumSet() = default;
  constexpr EnumSet(std::initializer_list<E> members) {
    for (E m : members) Include(m);
  }
  constexpr void Include(E m) { bits_ |= Bit(m); }
  constexpr void Exclude(E m) { bits_ &= ~Bit(m); }
  constexpr bool Contains(E m) const { return bits_ & Bit(m); }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr std::uint32_t Bits() const { return bits_; }
  friend constexpr bool operator==(EnumSet a, EnumSet b) { return a.bits_ == b.bits_; }

 private:
  static constexpr std::uint32_t Bit(E m) { return std::uint32_t(1) << static_cast<int>(m); }
  std::uint32_t bits_ = 0;
};

using TComEvents = EnumSet<TComEvent>;
using TComErrors = EnumSet<TComError>;

inline constexpr TComEvents kAllComEvents{evRxChar, evTxEmpty, evRxFlag, evRing, evBreak,
                                          evCTS,    evDSR,     evError,  evRLSD, evRx80Full};

// Handler types; Sender is the port.
using TNotifyEvent = EventSlot<TObject*>;
using TRxCharEvent = EventSlot<TObject*, std::int32_t>;
using TRxBufEvent = EventSlot<TObject*, const void*, std::int32_t>;
using TComErrorEvent = EventSlot<TObject*, TComErrors>;
using TComSignalEvent = EventSlot<TObject*, bool>;

#pragma once
// Names shared by the socket objects: event kinds, error kinds, window messages and the
// handler types of the listener's event slots.

#include <cstdint>

#include "base/event_slot.h"
#include "base/tobject.h"
#include "platform/messages.h"
#include "platform/sockets.h"

class TCustomWinSocket;
class TServerClientWinSocket;

// What a socket object reports through its socket-event route.
enum SocketEventKind : int {
  seLookup = 0,
  seConnecting = 1,
  seConnect = 2,
  seDisconnect = 3,
  seListen = 4,
  seAccept = 5,
  seWrite = 6,
  seRead = 7,
};

// Which operation an error report concerns.
enum TErrorEvent : int {
  eeGeneral = 0,
  eeSend = 1,
  eeReceive = 2,
  eeConnect = 3,
  eeDisconnect = 4,
  eeAccept = 5,
  eeLookup = 6,
};

enum TServerType : int { stNonBlocking = 0, stThreadBlocking = 1 };

// The messages a socket object's notification window handles.
constexpr std::uint32_t kSocketNotifyMessage = platform::kWmUser + 1;
constexpr std::uint32_t kReleaseMessage = platform::kWmUser + 2;
constexpr std::uint32_t kLookupDoneMessage = platform::kWmUser + 3;
// A close asked for by CloseLater: wparam is the handle to close.
constexpr std::uint32_t kCloseLaterMessage = platform::kWmUser + 4;

// Handler types of the component's slots.
using TSocketNotifyEvent = EventSlot<TObject* /*Sender*/, TCustomWinSocket* /*Socket*/>;
using TSocketErrorEvent =
    EventSlot<TObject* /*Sender*/, TCustomWinSocket* /*Socket*/, TErrorEvent, int& /*ErrorCode*/>;
using TGetSocketEvent = EventSlot<TObject* /*Sender*/, platform::SocketHandle /*Socket*/,
                                  TServerClientWinSocket*& /*ClientSocket*/>;
// Whether a listener takes in a peer it accepted: the peer's IPv4 address (host byte order)
// and the live connections (open, their peer still there); Admit comes in true.
using TAdmitPeerEvent =
    EventSlot<TObject* /*Sender*/, std::uint32_t /*PeerAddress*/, int /*Connections*/, bool& /*Admit*/>;

// Routes of a socket object: where its events and error reports go.
using TSocketEventRoute =
    EventSlot<TCustomWinSocket* /*Sender*/, TCustomWinSocket* /*Socket*/, SocketEventKind>;
using TSocketErrorRoute =
    EventSlot<TCustomWinSocket* /*Sender*/, TCustomWinSocket* /*Socket*/, TErrorEvent, int& /*ErrorCode*/>;

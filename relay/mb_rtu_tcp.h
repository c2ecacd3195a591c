#pragma once
// The relay's service module: its templates, its three service callbacks, the run loop and
// the handlers that hand every event to the relay (relay.h).
//
// Threads: the constructor and destructor run on the main thread. ServiceStart, ServiceExecute
// and ServiceStop run on the service thread, and so do the socket handlers (the listeners
// belong to that thread); a disconnect handler may also run on the main thread and then does
// nothing. ComPort_servRxChar runs on the main thread; ApplicationEvents1Exception on whichever
// thread routed the exception (the main thread in the installation runs). The companion
// (relay_companion.h) is made at the end of ServiceStart and destroyed at the start of
// ServiceStop, both on the service thread, or with the module after a shutdown.

#include <cstdint>
#include <memory>

#include "base/exception.h"
#include "net/custom_win_socket.h"
#include "net/server_socket.h"
#include "relay/relay.h"
#include "relay/relay_companion.h"
#include "serial/com_port.h"
#include "service/application_events.h"
#include "service/service.h"

class TRodivo_vedodaraz : public TService {
 public:
  // `companion` makes what runs beside the relay while it runs (none when empty).
  explicit TRodivo_vedodaraz(TRelayCompanionFactory companion = nullptr);
  ~TRodivo_vedodaraz() override;

  // Never activated or opened: they only hand their handlers on to the listeners and ports
  // that the channels get.
  std::unique_ptr<TServerSocket> ServerSocket_for_device;
  std::unique_ptr<TServerSocket> ServerSocket_for_server;
  std::unique_ptr<TComPort> ComPort_serv;
  std::unique_ptr<TApplicationEvents> ApplicationEvents1;

  void ServiceStart(TService* Sender, bool& Started);
  void ServiceExecute(TService* Sender);
  void ServiceStop(TService* Sender, bool& Stopped);

  void ServerSocket_for_deviceClientRead(TObject* Sender, TCustomWinSocket* Socket);
  void ServerSocket_for_serverClientRead(TObject* Sender, TCustomWinSocket* Socket);
  void ServerSocket_for_deviceClientWrite(TObject* Sender, TCustomWinSocket* Socket);
  void ServerSocket_for_serverClientWrite(TObject* Sender, TCustomWinSocket* Socket);
  void ServerSocket_for_deviceClientDisconnect(TObject* Sender, TCustomWinSocket* Socket);
  void ServerSocket_for_serverClientDisconnect(TObject* Sender, TCustomWinSocket* Socket);
  void ComPort_servRxChar(TObject* Sender, std::int32_t Count);
  void ApplicationEvents1Exception(TObject* Sender, const Exception& E);

 private:
  // After the templates, which it refers to; destroyed before them.
  std::unique_ptr<Relay> relay_;
  const TRelayCompanionFactory make_companion_;
  // From the start until the stop; destroyed before the relay.
  std::unique_ptr<TRelayCompanion> companion_;
};

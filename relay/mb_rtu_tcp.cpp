#include "relay/mb_rtu_tcp.h"

#include "platform/messages.h"
#include "relay/arrays_vars.h"
#include "relay/channel_file.h"
#include "relay/channels.h"
#include "relay/flow_control.h"
#include "relay/forwarding.h"
#include "relay/log_texts.h"
#include "relay/run_loop.h"
#include "relay/text_log.h"

namespace {

bool OnOwningThread(TCustomWinSocket* socket) {
  return platform::WindowThread(socket->NotificationWindow()) == platform::CurrentThreadId();
}

}  // namespace

TRodivo_vedodaraz::TRodivo_vedodaraz() {
  SetName("Rodivo_vedodaraz");
  SetDisplayName("Korvenet");
  SetAllowPause(false);

  ServerSocket_for_device = std::make_unique<TServerSocket>();
  ServerSocket_for_device->SetName("ServerSocket_for_device");
  ServerSocket_for_device->SetOnClientRead(
      TSocketNotifyEvent::Bind(this, &TRodivo_vedodaraz::ServerSocket_for_deviceClientRead));
  ServerSocket_for_device->SetOnClientWrite(
      TSocketNotifyEvent::Bind(this, &TRodivo_vedodaraz::ServerSocket_for_deviceClientWrite));
  ServerSocket_for_device->SetOnClientDisconnect(
      TSocketNotifyEvent::Bind(this, &TRodivo_vedodaraz::ServerSocket_for_deviceClientDisconnect));

  ServerSocket_for_server = std::make_unique<TServerSocket>();
  ServerSocket_for_server->SetName("ServerSocket_for_server");
  ServerSocket_for_server->SetOnClientRead(
      TSocketNotifyEvent::Bind(this, &TRodivo_vedodaraz::ServerSocket_for_serverClientRead));
  ServerSocket_for_server->SetOnClientWrite(
      TSocketNotifyEvent::Bind(this, &TRodivo_vedodaraz::ServerSocket_for_serverClientWrite));
  ServerSocket_for_server->SetOnClientDisconnect(
      TSocketNotifyEvent::Bind(this, &TRodivo_vedodaraz::ServerSocket_for_serverClientDisconnect));

  ComPort_serv = std::make_unique<TComPort>();
  ComPort_serv->OnRxChar = TRxCharEvent::Bind(this, &TRodivo_vedodaraz::ComPort_servRxChar);

  ApplicationEvents1 = std::make_unique<TApplicationEvents>();
  ApplicationEvents1->OnException = TExceptionEvent::Bind(this, &TRodivo_vedodaraz::ApplicationEvents1Exception);

  SetOnStart(TStartEvent::Bind(this, &TRodivo_vedodaraz::ServiceStart));
  SetOnExecute(TServiceEvent::Bind(this, &TRodivo_vedodaraz::ServiceExecute));
  SetOnStop(TStopEvent::Bind(this, &TRodivo_vedodaraz::ServiceStop));
}

// A shutdown ends the service without ServiceStop; whatever is still open goes with the module.
TRodivo_vedodaraz::~TRodivo_vedodaraz() { CloseChannels(); }

void TRodivo_vedodaraz::ServiceStart(TService*, bool&) {
  if (LoadChannelFile()) {
    AppendLogLine(kServiceStartText, kServiceLogFileName);
    const std::string ignored = ChannelLinesIgnoredLogText();
    if (!ignored.empty()) AppendLogLine(ignored, kServiceLogFileName);
  }
  WriteEventLog(kEventLogStartText, 4, 0, 0);
  OpenChannels(*this);
}

void TRodivo_vedodaraz::ServiceExecute(TService*) {
  AppendLogLine(kServiceExecuteText, kServiceLogFileName);
  run_loop::Run(*this, run_loop::QueuePacer(),
                {flow_control::HasWork, [](run_loop::Clock::time_point now) { flow_control::Tick(now, ResumeSource); }});
}

void TRodivo_vedodaraz::ServiceStop(TService*, bool&) { CloseChannels(); }

void TRodivo_vedodaraz::ServerSocket_for_deviceClientRead(TObject*, TCustomWinSocket* Socket) {
  try {
    ForwardFromDevice(Socket);
  } catch (...) {
    // A failed read closed the connection; the next read event starts afresh.
  }
}

void TRodivo_vedodaraz::ServerSocket_for_serverClientRead(TObject*, TCustomWinSocket* Socket) {
  try {
    ForwardFromServer(Socket);
  } catch (...) {
  }
}

// A connection sent the bytes it kept: the listeners that fed it may read again.
void TRodivo_vedodaraz::ServerSocket_for_deviceClientWrite(TObject* Sender, TCustomWinSocket*) {
  if (auto* listener = dynamic_cast<TServerWinSocket*>(Sender)) flow_control::NoteDrained(listener, ResumeSource);
}

void TRodivo_vedodaraz::ServerSocket_for_serverClientWrite(TObject* Sender, TCustomWinSocket*) {
  if (auto* listener = dynamic_cast<TServerWinSocket*>(Sender)) flow_control::NoteDrained(listener, ResumeSource);
}

// A closing connection still holds the bytes that arrived while its listener was paused. Only
// the service thread, which owns the listeners, may pass them on: a connection that the serial
// side closed (its send failed) on the main thread is broken anyway.
void TRodivo_vedodaraz::ServerSocket_for_deviceClientDisconnect(TObject*, TCustomWinSocket* Socket) {
  if (!OnOwningThread(Socket)) return;
  try {
    ForwardFromDevice(Socket, true);
  } catch (...) {
  }
}

void TRodivo_vedodaraz::ServerSocket_for_serverClientDisconnect(TObject*, TCustomWinSocket* Socket) {
  if (!OnOwningThread(Socket)) return;
  try {
    ForwardFromServer(Socket, true);
  } catch (...) {
  }
}

void TRodivo_vedodaraz::ComPort_servRxChar(TObject* Sender, std::int32_t Count) {
  if (auto* port = dynamic_cast<TComPort*>(Sender)) ForwardFromSerial(port, Count);
}

void TRodivo_vedodaraz::ApplicationEvents1Exception(TObject*, const Exception& E) { LogException(E); }

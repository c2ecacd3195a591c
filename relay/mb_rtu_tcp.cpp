#include "relay/mb_rtu_tcp.h"

#include <chrono>

#include "platform/messages.h"
#include "platform/process.h"
#include "relay/log_texts.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kFirstPause = std::chrono::milliseconds(100);
constexpr auto kPassPause = std::chrono::milliseconds(20);
constexpr int kStatusEveryPasses = 40;
constexpr int kPassCounterLimit = 65000;

// Waits out a pause of the run loop. Requests and socket events that arrive meanwhile are
// handled as they come instead of at the end of the pause, so a byte is passed on at once; the
// pause still ends on time, and early once a stop has been requested.
void PauseHandlingRequests(TService& service, Clock::duration pause) {
  const Clock::time_point end = Clock::now() + pause;
  while (!service.StopRequested()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return;
    if (platform::WaitMessageFor(static_cast<int>(left.count()))) service.PumpRequests(false);
  }
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

  // The channel file and the logs lie beside the executable.
  TRelaySetup setup;
  setup.Directory = platform::ExecutableDirectory();
  setup.Templates = {ServerSocket_for_device.get(), ServerSocket_for_server.get(), ComPort_serv.get()};
  setup.WriteStartEntry = [this](const std::string& text) { WriteEventLog(text, 4, 0, 0); };
  relay_ = std::make_unique<Relay>(std::move(setup));
}

// A shutdown ends the service without ServiceStop; whatever is still open goes with the relay.
TRodivo_vedodaraz::~TRodivo_vedodaraz() { relay_.reset(); }

void TRodivo_vedodaraz::ServiceStart(TService*, bool&) { relay_->Start(); }

void TRodivo_vedodaraz::ServiceExecute(TService*) {
  relay_->Log().AppendLogLine(kServiceExecuteText, kServiceLogFileName);
  PauseHandlingRequests(*this, kFirstPause);
  int pass = 0;
  while (true) {
    if (++pass > kPassCounterLimit) pass = 0;
    PauseHandlingRequests(*this, kPassPause);
    if (pass % kStatusEveryPasses == 0) SendStatus();
    PumpRequests(false);
    relay_->Tick(Clock::now());
    if (StopRequested()) break;
  }
}

void TRodivo_vedodaraz::ServiceStop(TService*, bool&) { relay_->Stop(); }

void TRodivo_vedodaraz::ServerSocket_for_deviceClientRead(TObject*, TCustomWinSocket* Socket) {
  relay_->ClientRead(lsDevice, Socket);
}

void TRodivo_vedodaraz::ServerSocket_for_serverClientRead(TObject*, TCustomWinSocket* Socket) {
  relay_->ClientRead(lsServer, Socket);
}

void TRodivo_vedodaraz::ServerSocket_for_deviceClientWrite(TObject* Sender, TCustomWinSocket*) {
  relay_->ClientWrite(Sender);
}

void TRodivo_vedodaraz::ServerSocket_for_serverClientWrite(TObject* Sender, TCustomWinSocket*) {
  relay_->ClientWrite(Sender);
}

void TRodivo_vedodaraz::ServerSocket_for_deviceClientDisconnect(TObject*, TCustomWinSocket* Socket) {
  relay_->ClientDisconnect(lsDevice, Socket);
}

void TRodivo_vedodaraz::ServerSocket_for_serverClientDisconnect(TObject*, TCustomWinSocket* Socket) {
  relay_->ClientDisconnect(lsServer, Socket);
}

void TRodivo_vedodaraz::ComPort_servRxChar(TObject* Sender, std::int32_t Count) { relay_->SerialRxChar(Sender, Count); }

void TRodivo_vedodaraz::ApplicationEvents1Exception(TObject*, const Exception& E) { relay_->Log().LogException(E); }

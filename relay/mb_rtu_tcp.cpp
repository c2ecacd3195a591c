#include "relay/mb_rtu_tcp.h"

#include "platform/process.h"
#include "relay/log_texts.h"
#include "relay/run_loop.h"

TRodivo_vedodaraz::TRodivo_vedodaraz(TRelayCompanionFactory companion) : make_companion_(std::move(companion)) {
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
  // Also from the main thread and the ports' event threads (a serial line that fails while
  // running); the module's logger exists by then, made by the start entry before any port opens.
  setup.WriteWarningEntry = [this](const platform::Text& text) { WriteEventLog(text, 2, 0, 0); };
  setup.WriteErrorEntry = [this](const platform::Text& text) { WriteEventLog(text, 1, 0, 0); };
  setup.WriteInformationEntry = [this](const platform::Text& text) { WriteEventLog(text, 4, 0, 0); };
  relay_ = std::make_unique<Relay>(std::move(setup));
}

// A shutdown ends the service without ServiceStop; whatever is still open goes with the relay.
TRodivo_vedodaraz::~TRodivo_vedodaraz() {
  companion_.reset();
  relay_.reset();
}

void TRodivo_vedodaraz::ServiceStart(TService*, bool&) {
  relay_->Start();
  if (make_companion_) companion_ = make_companion_(*this, *relay_);
}

void TRodivo_vedodaraz::ServiceExecute(TService*) {
  relay_->Log().AppendLogLine(kServiceExecuteText, kServiceLogFileName);
  run_loop::Run(run_loop::CallsOf(*this), run_loop::QueuePacer(),
                {[this] { return relay_->HasWork() || (companion_ && companion_->Busy()); },
                 [this](run_loop::Clock::time_point now) {
                   relay_->Tick(now);
                   if (companion_) companion_->Tick(now);
                 }});
}

void TRodivo_vedodaraz::ServiceStop(TService*, bool&) {
  companion_.reset();
  relay_->Stop();
}

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

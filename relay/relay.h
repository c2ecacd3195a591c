#pragma once
// The relay: the channels of the channel file, the listeners and serial ports they own, and
// the handlers that move bytes between them. The service module owns one relay and calls
// into it from its callbacks and handlers.
//
// Who touches what. The service thread runs ServiceStart, the run loop and ServiceStop; the
// listeners are activated on it, so it owns them and their connections, and all their socket
// events (accept, read, write, the peer's close) are handled on it. The main thread runs the
// serial receive handler (ports deliver by thread synchronisation). Each port's event thread
// only waits for line events and hands them to the main thread.
//
// | object                        | created, filled        | read or sent on               | closed, destroyed           |
// |-------------------------------|------------------------|-------------------------------|-----------------------------|
// | ChannelTable, ChannelCount,   | service thread, Start, | any thread, read-only         | with the relay              |
// | port indexes                  | before any listener    |                               |                             |
// | DeviceListeners[k] and their  | service thread, Start  | service thread (reads, sends  | service thread, Stop (after |
// | connections                   | (pass 1; accepts while | from servers); main thread    | serial delivery ended); a   |
// |                               | the run loop pumps)    | (sends from the serial port,  | connection is released on   |
// |                               |                        | under the listener's list     | the service thread by a     |
// |                               |                        | lock)                         | message to its own window   |
// | ServerListeners[k] and their  | service thread, Start  | service thread only           | service thread, Stop        |
// | connections                   | (pass 2)               |                               |                             |
// |   a listener of either side   | activated again by a   |                               |                             |
// |   that failed to open         | retry (service thread) |                               |                             |
// | SerialPorts[k]                | service thread, Start  | main thread (receive handler);| service thread, Stop: first |
// |                               | (pass 3, after every   | its writer's thread (writes   | closed (delivery ends),     |
// |                               | listener exists), or a | of device bytes)              | destroyed last; or at once  |
// |                               | retry (Tick)           |                               | when its device went away   |
// | serial_writers_[k], the       | service thread, with   | service thread hands it bytes | service thread, Stop, before|
// | writer of SerialPorts[k]      | the port's open        | and, when it keeps none,      | the port closes (also when  |
// |                               |                        |                               | its device went away)       |
// |                               |                        | writes what the line takes at |                             |
// |                               |                        | once; its own thread writes   |                             |
// |                               |                        | the rest                      |                             |
// | listeners_ (what each opened  | service thread, Start  | service thread; main thread   | service thread, Stop (after |
// | listening socket is)          |                        | (names a cut of a device peer)| serial delivery ended)      |
// | window_ (where writers report | service thread, Start  | writers' threads post to it,  | with the relay              |
// | that they drained, and a      |                        | and whichever thread meets a  |                             |
// | failed line is reported)      |                        | failed line; service thread   |                             |
// |                               |                        | handles it                    |                             |
// | flow control                  | with the relay         | service thread; NoteSend and  | with the relay              |
// |                               |                        | CheckCap from any thread      |                             |
// | serial_failure_reported_[k]   | cleared at Start and   | set by whichever thread       | with the relay              |
// |                               | before a port reopens  | reports the line's failure    |                             |
// | line_failures_[k] (what the   | the thread that reports| service thread, at the report | with the relay              |
// | first report of a failed line | the failure first,     | that it posted to window_     |                             |
// | said), under its lock         | under the lock         |                               |                             |
// | options_ (the options file)   | service thread, Start  | service thread                | with the relay              |
// | health_[k] (what each side of | service thread: Start, | service thread                | cleared at Stop             |
// | channel k is doing),          | the retries in Tick,   |                               |                             |
// | next_retry_                   | the report of a failed |                               |                             |
// |                               | line                   |                               |                             |
// | admission_[k] (who each       | service thread: the    | service thread: each accept   | cleared at Stop             |
// | listener takes in, its        | listener's open; the   | of the listener, Tick (the    |                             |
// | refusals), refusals_due_      | accepts count          | entries due), RefusedPeers    |                             |
//
// Healing (when the options file sets retry): a side that failed to open for a reason that can
// pass, and a serial port whose line failed while running (its device went away, or any other
// failure), are tried again every retry period by Tick on the service thread; a serial port is
// reopened as a new port with a new writer. The line's failure is seen on the thread that meets
// it (the port's event thread, the main thread's read, the writer's thread), which posts it to
// window_; the service thread then closes the port at once (its lock file goes with it) and
// drops the device bytes meant for it until it is back. Retries add no wake-up of their own:
// Tick runs at least once per status report.
// | cuts_[k]                      | the thread that reports| service thread (Status)       | with the relay              |
// |                               | the cut (atomic)       |                               |                             |
//
// Serial writes never wait on the service thread: each open port has a writer (a thread of its
// own, serial/serial_writer.h) that takes the device bytes and writes them as the line takes
// them; the writer tells the service thread, by a message to the relay's window, when what it
// keeps has drained, so that paused sources resume at once.
//
// The main thread reads DeviceListeners[k] without a lock. That is safe because of the order:
// a port is opened (pass 3) only after every listener was stored, so its first delivery comes
// after; and Stop closes every port, which waits until its last delivery has run, before any
// listener is destroyed.
//
// Locks held while a handler runs: the read and write handlers run with no lock held. The
// disconnect handler runs with the closing connection's lock held, on the service thread: the
// peer closed, a read failed, or the close was asked for by a failed send or a cut (on any
// thread) and runs once the delivery in progress is over. So a close never nests in a
// delivery, and the last bytes of a connection are read on the thread that reads it.
// The serial receive handler's sends hold the device listener's list lock, so no connection
// of it can be destroyed meanwhile. Each send holds its connection's lock, so the bytes of the
// serial side and of the server side never interleave within one send.
//
// Access (when the options file sets bind, allow or limit): a listener binds its side's
// address and asks admission_ about every peer right after the accept; a refused peer is reset
// before anything is read from it or sent to it, counted, and told in at most one warning entry
// per channel side and reason a minute. A side that a line of the options file it could not
// read concerns opens no listener at all.
//
// Failures: network and serial failures are dropped where the relay does without the bytes
// (a failed read ends that read, a failed send skips that connection, a failed serial write
// drops that write). A channel side that fails to open gets its line in log_service.txt and a
// warning entry that says which channel, side and port and why; a serial line that fails
// while running (a failed write or read, the device gone) gets one warning entry, however
// often it fails afterwards. With healing on, that entry says when the side is tried again,
// and an information entry says when it opened. Anything else is handed to the exception
// router (base/exception_routing.h) before the relay carries on.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "base/byte_string.h"
#include "net/custom_win_socket.h"
#include "net/server_socket.h"
#include "platform/messages.h"
#include "platform/text.h"
#include "relay/arrays_vars.h"
#include "relay/channel_health.h"
#include "relay/flow_control.h"
#include "relay/listener_side.h"
#include "relay/options_file.h"
#include "relay/peer_admission.h"
#include "relay/port_index.h"
#include "relay/relay_status.h"
#include "relay/text_log.h"
#include "serial/com_port.h"
#include "serial/serial_writer.h"

// The never-activated components whose handlers the created listeners and ports take over.
struct TRelayTemplates {
  const TServerSocket* DeviceSide = nullptr;  // read, write and disconnect handlers
  const TServerSocket* ServerSide = nullptr;  // the same for the server side
  const TComPort* Serial = nullptr;           // the receive handler
};

struct TRelaySetup {
  // Where the channel file and the text logs are (ends in a path separator).
  std::string Directory;
  TRelayTemplates Templates;
  // Writes the information entry of the start to the event log (service thread).
  std::function<void(const std::string& text)> WriteStartEntry;
  // Writes a warning entry to the event log: on the service thread for a failed open or a
  // party cut for holding up the others, on the main thread for a failed serial read, on a
  // port's event or writer thread for a serial line that failed. Must not raise.
  std::function<void(const platform::Text& text)> WriteWarningEntry;
  // Writes an error entry to the event log: an options file that cannot be read (service
  // thread). Must not raise.
  std::function<void(const platform::Text& text)> WriteErrorEntry;
  // Writes an information entry to the event log: a side that opened on a retry, a serial port
  // that is back (service thread). Must not raise.
  std::function<void(const platform::Text& text)> WriteInformationEntry;
  // Stamps the log lines; the system clock when empty.
  TextLog::Clock LogClock;
};

class Relay {
 public:
  // Any thread; nothing is opened yet.
  explicit Relay(TRelaySetup setup);
  // Closes whatever is still open, as Stop does (a shutdown ends the service without Stop).
  // On the service thread, or on any thread once the service thread has ended.
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // ---- Service thread only. The calling thread of Start becomes the relay's service thread.

  // Loads the channel file, writes the start line and the start entry, builds the port
  // indexes and opens every channel. Raises EFOpenError when the file cannot be read, before
  // the start entry and with no channel.
  void Start();
  // Closes and destroys every listener and serial port: serial delivery ends first, then the
  // device-side listeners go, then the server-side ones, then the ports.
  void Stop();
  // Once per pass of the run loop: the flow control's resuming and stall checks, the retries
  // that are due, and the entries of refused peers that are due.
  void Tick(std::chrono::steady_clock::time_point now);
  // True while Tick has something to look after (a paused source, a destination or a serial
  // writer that keeps bytes), so the run loop must run every pass. A pending retry or refusal
  // entry is not such work: it waits for a pass that runs anyway.
  bool HasWork();
  // What each side of channel k is doing (1..ChannelCount), and the options the relay read.
  const TChannelHealth& Health(int k) const { return health_[k]; }
  const TRelayOptions& Options() const { return options_; }
  // The peers that side `side` of channel k refused since the start, for `reason`.
  std::uint64_t RefusedPeers(TListenerSide side, int k, TRefusal reason) const {
    return admission_[k][side].refusals[reason].Count();
  }

  // A connection accepted on `side` has bytes waiting: passes them to every channel of its
  // local port. Never raises.
  void ClientRead(TListenerSide side, TCustomWinSocket* connection);
  // A connection of the listener `sender` sent the bytes it kept: sources paused for it may
  // read again. Never raises.
  void ClientWrite(TObject* sender);

  // ---- Any thread; acts only on the connection's owning thread (the service thread).

  // A connection accepted on `side` is closing (its lock is held): passes on what waits in it
  // at this moment. Connections close on their owning thread (a failed send asks for the close
  // there); a close on another thread passes nothing. Never raises.
  void ClientDisconnect(TListenerSide side, TCustomWinSocket* connection);

  // ---- Main thread only.

  // The serial port `sender` received `count` bytes: reads them and sends them to every
  // device connection of its channel (the port's Tag). Raises what the read raises.
  void SerialRxChar(TObject* sender, std::int32_t count);

  // ---- Service thread only, between Start and Stop.

  // What the relay does now: every channel's sides and counts, with each connected peer when
  // `with_peers`. Reads what the other threads count without stopping them.
  RelayStatus Status(bool with_peers);

  // ---- Any thread.

  const TextLog& Log() const { return log_; }
  // The tables: the service thread, or any thread while the relay neither starts nor stops.
  const TChannelTables& Tables() const { return tables_; }

 private:
  using Clock = std::chrono::steady_clock;

  // A source is read in slices of this size, at most kSlicesPerRead per read notification; the
  // flow control is asked between slices (the rest is read at the next notification).
  static constexpr std::size_t kSliceBytes = 64 * 1024;
  static constexpr int kSlicesPerRead = 16;

  // What the relay knows of each listening socket it opened.
  struct ListenerInfo {
    TListenerSide side;
    int channel;
  };

  // Why an open failed: the system's words and its code (0 when it gave none).
  struct OpenFailure {
    platform::Text reason;
    int code = 0;
  };

  // Who a listener takes in, and what it refused for each reason.
  struct Admission {
    PeerRule rule;
    std::array<RefusalLog, 2> refusals;  // by TRefusal
  };

  // What the first report of a failed serial line said.
  struct LineFailure {
    platform::Text reason;
    bool gone = false;  // the device went away (rather than failed otherwise)
  };

  // Sent to the relay's window: wparam is the channel. A serial writer drained; a serial line
  // failed (line_failures_ says how).
  static constexpr std::uint32_t kSerialDrainedMessage = platform::kWmUser + 1;
  static constexpr std::uint32_t kSerialLineFailedMessage = platform::kWmUser + 2;

  bool OnServiceThread() const { return service_thread_.load() == platform::CurrentThreadId(); }
  // Runs one open step; answers why it failed, nothing when it succeeded. A failure other than
  // the network's or the serial port's is also routed, being a fault.
  // `line_settings`: a serial port's settings ("19200 8E1"), named in the reason when the device
  // refuses them.
  std::optional<OpenFailure> TryOpen(const std::function<void()>& open, const std::string& line_settings = {});
  // The settings text of channel k's serial line, for TryOpen.
  std::string LineSettingsText(int k) const;
  std::array<TSocket_DEV, kMaxChannels + 1>& Listeners(TListenerSide side);
  const PortIndex& Ports(TListenerSide side) const;

  // channels.cpp: opening and closing.
  void BuildPortIndexes();
  void OpenChannels();
  void OpenListener(TListenerSide side, int k);
  // Opens the listener of channel k on `side` and reports a failure.
  void OpenListenerOrReport(TListenerSide side, int k);
  // Opens the partner of channel k (its server-side listener or its serial port) and reports a
  // failure.
  void OpenPartner(int k);
  void OpenSerialOrReport(int k);
  void OpenSerialPort(int k);
  void CloseChannels();
  // The serial line of channel k failed while running: reported once, unless its failure was
  // reported already (a port that failed to open counts as reported). Without healing, one
  // warning entry at once; the service thread hears of it too.
  // Any thread.
  void ReportSerialFailure(int k, const EComPort& failure);
  void WriteError(const platform::Text& text) const;
  void WriteWarning(const platform::Text& text) const;
  void WriteInformation(const platform::Text& text) const;

  // healing.cpp: the records of each side, and the retries.
  TSideHealth& Health(TListenerSide side, int k) { return side == lsDevice ? health_[k].device : health_[k].server; }
  // The retry period; 0 when the options file sets none.
  int RetrySeconds() const { return options_.Retry.Given() ? options_.Retry.value : 0; }
  // Reads the options file at the start. One that cannot be read (any line of it) is told in
  // error entries, opens nothing, and is read again: a few times in the first seconds (a lock
  // held for a moment, a file being saved), then at every retry when the file sets retry.
  void LoadOptions();
  // The options file beside the log, read for this relay's channels and their types.
  TOptionsFile ReadOptionsFile() const;
  // Reads the options file again; once it can be read, every channel opens as at the start.
  void RereadOptions(Clock::time_point now);
  // When the options file is read again next, after `rereads` reads since the start.
  void ScheduleOptionsReread(Clock::time_point now);
  // Notes that the options file keeps `health`'s side closed.
  void NoteClosedByOptions(TSideHealth& health);
  // The error entries of an options file that cannot be read.
  void TellOptionsProblems(const TOptionsFile& file);
  void NoteOpened(TSideHealth& health);
  // A side failed to open: waiting for its retry when healing is on and the failure can pass,
  // failed for good otherwise. Answers the warning's retry note (empty when not retried).
  std::string NoteOpenFailed(TSideHealth& health, const platform::Text& reason, bool can_pass);
  // True when an earlier serial channel names the same device.
  bool DeviceTakenBefore(int k) const;
  // Retries every side whose time has come.
  void RetryDue(Clock::time_point now);
  void RetryListener(TListenerSide side, int k, Clock::time_point now);
  void RetrySerial(int k, Clock::time_point now);
  // The next retry of a side that failed again.
  void Postpone(TSideHealth& health, Clock::time_point now);
  // The report of a failed serial line reached the service thread: records it and, when healing
  // is on, closes the port at once and tries it again every retry period.
  void SerialLineFailed(int k);
  // Closes the port and writer of channel k while the relay runs; what the writer kept is
  // dropped and counted.
  void CloseSerialLine(int k);

  // relay_status.cpp: the operator's view.
  void ClearStatusCounts();
  // The channel whose open listener has the port of channel k's side when that side did not
  // open itself (the channels share the port); 0 when none.
  int PortHolder(TListenerSide side, int k);
  // The state of a channel side, from its health record.
  SideStatus ListenerState(TListenerSide side, int k);
  SideStatus SerialState(int k);
  ListenerStatus ListenerStatusOf(TListenerSide side, int k, bool with_peers);

  // admission.cpp: who each listener takes in.
  // The rule of the listener of channel k on `side` (with every channel that shares its port).
  PeerRule ListenerRule(TListenerSide side, int k) const;
  // The address a listener of `side` binds, as text; empty for every local address.
  std::string BindText(TListenerSide side) const;
  // The listener of channel k on `side` accepted a peer: refuses it when its rule says so.
  void AdmitPeer(TListenerSide side, int k, IPv4Address peer, int connections, bool& admit);
  // Writes the refusal entries that fell due.
  void TellRefusals(Clock::time_point now);
  void WriteRefusal(TListenerSide side, int k, TRefusal reason, const RefusalLog::Entry& entry);

  // forwarding.cpp: moving bytes.
  // Reads what `connection` has waiting, slice by slice (at most `slices`), and passes it on.
  // While its listener is paused nothing is read, unless `final` is set (the connection is
  // closing): then what waits at this moment is read and passed on, and no more.
  void Forward(TListenerSide from, TCustomWinSocket* connection, bool final, int slices = kSlicesPerRead);
  // Passes bytes read on side `from` of a connection accepted on `port` to every channel of
  // that port.
  void DeliverAll(TListenerSide from, int port, TServerWinSocket* source, const ByteString& data);
  // Passes bytes read on side `from` of channel k to the channel's partner.
  void Deliver(TListenerSide from, int k, TServerWinSocket* source, const ByteString& data);
  void SendToAll(TServerWinSocket* source, const TSocket_DEV& destination, const ByteString& data);
  void SendTo(TServerWinSocket* source, TServerWinSocket* destination, TServerClientWinSocket* connection,
              const ByteString& data);
  void WriteToSerial(int k, TServerWinSocket* source, const ByteString& data);
  void ForwardFromSerial(TComPort* port, std::int32_t count);

  // flow_hooks.cpp: what the flow control asks of the relay.
  FlowControl::Hooks FlowHooks();
  FlowControl::Destinations DestinationsOf(const TServerWinSocket* source);
  void WarnCut(TServerWinSocket* listener, TServerClientWinSocket* connection, FlowControl::CutReason why);
  void WarnDropped(SerialWriter* port, std::size_t dropped, FlowControl::CutReason why);

  // relay_window.cpp: the relay's window on the service thread, where serial writers report
  // that they drained and serial lines that they failed.
  void OpenWindow();
  // Gives the open serial port of channel k its writer, which reports to the window.
  void OpenSerialWriter(int k);
  void CloseWindow();
  std::intptr_t HandleMessage(const platform::Message& message);

  const TRelayTemplates templates_;
  const std::function<void(const std::string&)> write_start_entry_;
  const std::function<void(const platform::Text&)> write_warning_entry_;
  const std::function<void(const platform::Text&)> write_error_entry_;
  const std::function<void(const platform::Text&)> write_information_entry_;
  const TextLog log_;
  std::atomic<platform::ThreadId> service_thread_{0};

  TChannelTables tables_;
  PortIndex device_ports_;  // DevicePort -> every channel
  PortIndex server_ports_;  // ServerPort -> TCP channels
  // Every listening socket that was opened, for resuming a paused one and naming it.
  std::unordered_map<const TServerWinSocket*, ListenerInfo> listeners_;
  // The writer of every serial port that opened.
  std::array<std::unique_ptr<SerialWriter>, kMaxChannels + 1> serial_writers_;
  std::atomic<platform::WindowHandle> window_{0};
  FlowControl flow_control_;
  // Per serial channel: its failure has been reported. Cleared when its port is opened, set
  // by whichever thread reports first.
  std::array<std::atomic<bool>, kMaxChannels + 1> serial_failure_reported_{};
  std::mutex line_failures_lock_;
  std::array<LineFailure, kMaxChannels + 1> line_failures_;

  // Set at the start, and again only while the options file cannot be read, when nothing is
  // open: no other thread reads them then.
  TRelayOptions options_;
  // While the options file cannot be read: why (the reason of every closed side), what its
  // entries told, how often it was read again and when it is read next (max: never).
  std::string options_closed_reason_;
  std::vector<std::string> options_told_;
  int options_rereads_ = 0;
  Clock::time_point options_reread_at_ = Clock::time_point::max();
  std::array<TChannelHealth, kMaxChannels + 1> health_;
  // The earliest retry that is due; max when none waits.
  Clock::time_point next_retry_ = Clock::time_point::max();

  WallClock::time_point started_{};
  // Per channel: peers cut.
  std::array<std::atomic<std::uint64_t>, kMaxChannels + 1> cuts_{};

  std::array<std::array<Admission, 2>, kMaxChannels + 1> admission_;  // by channel, then side
  // The earliest refusal entry that is due; max when none waits.
  Clock::time_point refusals_due_ = Clock::time_point::max();
};

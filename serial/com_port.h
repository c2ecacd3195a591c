#pragma once
// The serial port component: its settings with their defaults, opening and closing, the
// steps that run for line events, and reads and writes.
//
// Settings and the open and close sequences are used from one thread at a time. While the
// port is open its event thread (com_thread.h) reports line events, delivered as SyncMethod
// says: smThreadSync runs the handlers on the main thread, smWindowSync on the thread that
// opened the port (through a notification window, so that thread must dispatch messages),
// smNone on the event thread itself. Closing the port (Connected := false, or destroying
// it) stops the event thread and waits for it: once it returns, no handler of this port runs
// again.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "base/byte_string.h"
#include "platform/messages.h"
#include "platform/serial_device.h"
#include "serial/com_errors.h"
#include "serial/com_groups.h"
#include "serial/com_types.h"

class TComThread;

// (Sender, the failure): see TCustomComPort::OnLineFailure.
using TComFailureEvent = EventSlot<TObject*, const EComPort&>;

// Modem input lines as ReadModemLines reports them.
constexpr std::uint32_t kModemLineCTS = 0x0010;
constexpr std::uint32_t kModemLineDSR = 0x0020;
constexpr std::uint32_t kModemLineRing = 0x0040;
constexpr std::uint32_t kModemLineRLSD = 0x0080;

class TCustomComPort : public TObject {
 public:
  explicit TCustomComPort(TObject* owner = nullptr);
  ~TCustomComPort() override;

  // Component basics.
  TObject* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  int Tag() const { return tag_; }
  void SetTag(int tag) { tag_ = tag; }

  // True runs the open sequence on a closed port, false the close sequence on an open one. An
  // open that raises at any step leaves the port closed: its device released, no event
  // thread, no event delivered.
  bool Connected() const { return connected_; }
  void SetConnected(bool value);
  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }

  // Device name (see platform::SerialDevicePath); a different name reopens an open port.
  const std::string& Port() const { return port_; }
  void SetPort(const std::string& name);

  // The line settings. Their setters, and SyncMethod's and Loaded, live in com_settings.cpp:
  // the relay keeps every default.
  TBaudRate BaudRate() const { return baud_rate_; }
  void SetBaudRate(TBaudRate value);
  std::int32_t CustomBaudRate() const { return custom_baud_rate_; }
  void SetCustomBaudRate(std::int32_t value);
  TDataBits DataBits() const { return data_bits_; }
  void SetDataBits(TDataBits value);
  TStopBits StopBits() const { return stop_bits_; }
  void SetStopBits(TStopBits value);
  bool DiscardNull() const { return discard_null_; }
  void SetDiscardNull(bool value);
  std::uint8_t EventChar() const { return event_char_; }
  void SetEventChar(std::uint8_t value);

  // The groups; their setters re-apply to the open device. Set* copies every member from
  // another group and applies it whether or not anything changed.
  TComParity& Parity() { return parity_; }
  const TComParity& Parity() const { return parity_; }
  void SetParity(const TComParity& value);
  TComFlowControl& FlowControl() { return flow_control_; }
  const TComFlowControl& FlowControl() const { return flow_control_; }
  void SetFlowControl(const TComFlowControl& value);
  TComTimeouts& Timeouts() { return timeouts_; }
  const TComTimeouts& Timeouts() const { return timeouts_; }
  void SetTimeouts(const TComTimeouts& value);
  TComBuffer& Buffer() { return buffer_; }
  const TComBuffer& Buffer() const { return buffer_; }
  void SetBuffer(const TComBuffer& value);

  // The events the event thread watches; a change takes effect at the next open.
  TComEvents Events() const { return events_; }
  void SetEvents(TComEvents value) { events_ = value; }

  // Raises EComPort code 14 while the port is open (the value stays as it was).
  TSyncMethod SyncMethod() const { return sync_method_; }
  void SetSyncMethod(TSyncMethod value);

  // Loading from a stored form: while loading, Connected := true is only stored; Loaded()
  // then opens the port, handing a failure to the exception routing.
  void BeginLoading() { loading_ = true; }
  virtual void Loaded();

  // Writes all bytes; answers how many the device took before its write time-out (an empty
  // string writes nothing and answers 0). Raises EComPort code 2. Writes on one port run one
  // at a time.
  std::int32_t PortWrite(const ByteString& data);
  // The same, ended also by every AbortWrites (and close) since `abort_mark` was taken with
  // WriteAbortMark, one that came before this call included: then it writes nothing. With
  // `taken`, tells there how many bytes the device took, also when the write raises (one that
  // failed or was ended may have written some).
  std::int32_t PortWrite(const ByteString& data, platform::SerialAbortMark abort_mark, std::size_t* taken = nullptr);
  platform::SerialAbortMark WriteAbortMark() const;
  // Writes as much of `data` as the device takes at once, without waiting; answers how many
  // bytes (0 when it takes none now, and always on Windows, whose drivers complete a write only
  // once the line has taken it). Raises EComPort code 2 as PortWrite does; `taken` as there.
  std::int32_t PortWriteNow(const ByteString& data, std::size_t* taken = nullptr);
  // Ends at once, from any thread, the PortWrite calls in progress (and those waiting for their
  // turn, and those given an earlier mark): each raises code 2 with the system's "aborted"
  // code. Later writes are not affected; a port that is not open has nothing to abort.
  void AbortWrites();
  // Reads up to `count` bytes into `data` (cut to what was read) and answers that number; with
  // the default time-outs it never waits for bytes to arrive. Raises EComPort code 3.
  std::int32_t PortRead(ByteString& data, std::int32_t count);

  // Driver queries: bytes in the input queue and line errors (code 10), modem input lines as
  // kModemLine* bits (code 11).
  std::int32_t BytesWaiting();
  TComErrors ReadLineErrors();
  std::uint32_t ReadModemLines();

  // The blocks the apply steps hand to the driver, built from the current settings.
  platform::SerialControlBlock BuildControlBlock() const;
  platform::SerialTimeouts BuildTimeouts() const;

  // The steps for a batch of events, in their fixed order, and the step for one event. A step
  // runs only for an event the port handles: it then queries the driver as its event needs
  // (bytes waiting, line errors, modem lines) and calls the hook.
  void RunEventSteps(TComEvents events);
  void RunEventStep(TComEvent event);

  // The events whose hook does something: by default those whose event slot is assigned. A
  // class that overrides a hook to act without a handler adds its event here too. Read when
  // the port opens (the device then reports only these events) and by the event thread for
  // every batch, so handlers are assigned before the port is opened.
  virtual TComEvents HandledEvents() const;

  // The event thread while the port is open and Events is not empty, else null.
  const TComThread* EventThread() const { return thread_.get(); }

  TNotifyEvent OnAfterOpen;
  TNotifyEvent OnAfterClose;
  TNotifyEvent OnBeforeOpen;
  TNotifyEvent OnBeforeClose;
  TRxCharEvent OnRxChar;
  TRxBufEvent OnRxBuf;  // never called by this port
  TNotifyEvent OnTxEmpty;
  TNotifyEvent OnBreak;
  TNotifyEvent OnRing;
  TComSignalEvent OnCTSChange;
  TComSignalEvent OnDSRChange;
  TComSignalEvent OnRLSDChange;
  TNotifyEvent OnRxFlag;
  TComErrorEvent OnError;
  TNotifyEvent OnRx80Full;

  // The event thread ended while the port was open, not closed by it: the device went away or
  // waiting for its events failed (EComPort code 21 with the system's code). When assigned,
  // called on the event thread itself, once, instead of handing the failure to the exception
  // routing; assign it before opening. Not part of the published form.
  TComFailureEvent OnLineFailure;

 protected:
  virtual void OpenDevice();
  virtual void CloseDevice();
  virtual void ApplyAllSettings();
  virtual void ApplyLineSettings();
  virtual void ApplyTimeoutSettings();
  virtual void ApplyQueueSizes();

  virtual void DoAfterOpen();
  virtual void DoAfterClose();
  virtual void DoBeforeOpen();
  virtual void DoBeforeClose();
  virtual void DoRxChar(std::int32_t count);
  virtual void DoRxBuf(const void* buffer, std::int32_t count);
  virtual void DoTxEmpty();
  virtual void DoBreak();
  virtual void DoRing();
  virtual void DoCTSChange(bool on);
  virtual void DoDSRChange(bool on);
  virtual void DoRLSDChange(bool on);
  virtual void DoRxFlag();
  virtual void DoError(TComErrors errors);
  virtual void DoRx80Full();

 private:
  friend class TComParity;
  friend class TComFlowControl;
  friend class TComTimeouts;
  friend class TComBuffer;
  friend class TComThread;

  void OpenSequence();
  void CloseSequence();
  void StopEventThread();
  bool CanApply() const { return connected_ && !loading_; }
  platform::SerialHandle Device() const { return device_; }
  template <typename T> void ChangeLineSetting(T& field, T value);

  TObject* owner_;
  std::string name_;
  int tag_ = 0;

  std::string port_ = "COM1";
  TBaudRate baud_rate_ = br9600;
  std::int32_t custom_baud_rate_ = 9600;
  TDataBits data_bits_ = dbEight;
  TStopBits stop_bits_ = sbOneStopBit;
  TComParity parity_;
  TComFlowControl flow_control_;
  TComTimeouts timeouts_;
  TComBuffer buffer_;
  TComEvents events_ = kAllComEvents;
  std::uint8_t event_char_ = 0;
  bool discard_null_ = false;
  TSyncMethod sync_method_ = smThreadSync;

  std::atomic<bool> connected_{false};
  bool loading_ = false;
  std::atomic<platform::SerialHandle> device_{platform::kNoSerialDevice};
  std::unique_ptr<TComThread> thread_;
  platform::WindowHandle window_ = 0;
};

// The published form of the port; it adds nothing.
class TComPort : public TCustomComPort {
 public:
  using TCustomComPort::TCustomComPort;
};

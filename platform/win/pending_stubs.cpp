// PENDING STUBS, TO BE REMOVED: stand-ins for the Windows serial devices, service-manager link
// and event-log sink, which are written separately. They exist only so that the Windows
// executable links until those land; delete this file when they do. Every call fails with
// ERROR_CALL_NOT_IMPLEMENTED (or does nothing).

#include "platform/event_log.h"
#include "platform/serial_device.h"
#include "platform/service_manager.h"
#include "platform/win/windows_api.h"

namespace platform {

class SerialEventWait {
 public:
  bool stopped = false;
};

namespace {
constexpr int kNotImplemented = ERROR_CALL_NOT_IMPLEMENTED;
}  // namespace

EventSourceHandle OpenEventSource(const std::string&) { return 0; }
void ReportEvent(EventSourceHandle, std::uint16_t, std::uint16_t, std::uint32_t, const std::string&) {}
void CloseEventSource(EventSourceHandle) {}
void SetEventEcho(bool) {}

std::uint32_t LastServiceError() { return kNotImplemented; }
std::string ServiceErrorMessage(std::uint32_t) { return "not implemented"; }
void ReserveControlRequests() {}
void ReleaseControlRequests() {}
std::uint32_t RunServiceDispatcher(const ServiceTableEntry*) { return kErrorFailedServiceControllerConnect; }
void SetConsoleServiceManager(bool) {}
ServiceStatusHandle RegisterControlHandler(const std::string&, ControlHandler) { return 0; }
bool ReportServiceStatus(ServiceStatusHandle, const ServiceStatus&) { return false; }
ServiceManagerHandle OpenServiceManager() { return 0; }
ServiceHandle CreateService(ServiceManagerHandle, const ServiceRegistration&, std::uint32_t*) { return 0; }
ServiceHandle OpenService(ServiceManagerHandle, const std::string&) { return 0; }
bool DeleteService(ServiceHandle) { return false; }
void CloseServiceHandle(std::uintptr_t) {}

std::string SerialDevicePath(const std::string& port_name) { return "\\\\.\\" + port_name; }
int OpenSerialDevice(const std::string&, SerialHandle& handle) {
  handle = kNoSerialDevice;
  return kNotImplemented;
}
int CloseSerialDevice(SerialHandle) { return kNotImplemented; }
int SetSerialQueueSizes(SerialHandle, std::uint32_t, std::uint32_t) { return kNotImplemented; }
int SetSerialControlBlock(SerialHandle, const SerialControlBlock&) { return kNotImplemented; }
int SetSerialTimeouts(SerialHandle, const SerialTimeouts&) { return kNotImplemented; }
int PurgeSerial(SerialHandle, std::uint32_t) { return kNotImplemented; }
int SerialBytesWaiting(SerialHandle, std::uint32_t& count) {
  count = 0;
  return kNotImplemented;
}
int SerialLineErrors(SerialHandle, std::uint32_t& errors) {
  errors = 0;
  return kNotImplemented;
}
int SerialModemLines(SerialHandle, std::uint32_t& lines) {
  lines = 0;
  return kNotImplemented;
}
int SerialWrite(SerialHandle, const void*, std::size_t, std::size_t& done) {
  done = 0;
  return kNotImplemented;
}
int SerialRead(SerialHandle, void*, std::size_t, std::size_t& done) {
  done = 0;
  return kNotImplemented;
}
int SetSerialEventMask(SerialHandle, std::uint32_t) { return kNotImplemented; }
SerialEventWait* CreateSerialEventWait(SerialHandle) { return new SerialEventWait; }
SerialWaitResult WaitSerialEvents(SerialEventWait*, std::uint32_t& events, int& error) {
  events = 0;
  error = kNotImplemented;
  return SerialWaitResult::kFailed;
}
void StopSerialEventWait(SerialEventWait* wait) { wait->stopped = true; }
void DestroySerialEventWait(SerialEventWait* wait) { delete wait; }

}  // namespace platform

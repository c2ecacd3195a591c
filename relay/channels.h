#pragma once
// Opening and closing what the channels use: a device-side listener for every channel, a
// server-side listener for every type-2 channel, a serial port for every type-1 channel.

class TServerSocket;
class TComPort;
class TRodivo_vedodaraz;

// Creates and activates the device-side (server-side) listener of channel k with the handlers
// of `template_socket`. The listener is in the table even when a later step raises.
void OpenDeviceListener(int k, const TServerSocket& template_socket);
void OpenServerListener(int k, const TServerSocket& template_socket);
// Creates and opens the serial port of channel k with the receive handler of `template_port`.
void OpenSerialPort(int k, const TComPort& template_port);

// All device-side listeners, then all server-side ones, then all serial ports. A failure is
// one line in log_service.txt and never stops the others.
void OpenChannels(const TRodivo_vedodaraz& module);
// Destroys every listener and serial port, clearing each entry as its object goes. Serial
// delivery ends first, so the serial receive handler never meets a destroyed listener.
void CloseChannels();

#pragma once
// The system's own log texts, as code page 1251 bytes. Each comment shows the text in Cyrillic
// and says when it is written. The first five go to log_service.txt, the last to the event log.
// Constants only: any thread may use them.

// "Cтарт сервиса"
// Service start, after the channel file was found; the first letter is the Latin C.
inline constexpr char kServiceStartText[] = "C\xF2\xE0\xF0\xF2 \xF1\xE5\xF0\xE2\xE8\xF1\xE0";

// "ServiceExecute"
// The run loop begins.
inline constexpr char kServiceExecuteText[] = "ServiceExecute";

// "Произошла ошибка при открытии сокета порт "
// A listener failed to open; the port number in decimal follows after the trailing blank.
inline constexpr char kSocketOpenFailedText[] = "\xCF\xF0\xEE\xE8\xE7\xEE\xF8\xEB\xE0 \xEE\xF8\xE8\xE1\xEA\xE0 \xEF\xF0\xE8 \xEE\xF2\xEA\xF0\xFB\xF2\xE8\xE8 \xF1\xEE\xEA\xE5\xF2\xE0 \xEF\xEE\xF0\xF2 ";

// "Произошла ошибка при открытии СОМ-порта"
// A serial port failed to open; the port name follows directly. С, О, М are Cyrillic.
inline constexpr char kComPortOpenFailedText[] = "\xCF\xF0\xEE\xE8\xE7\xEE\xF8\xEB\xE0 \xEE\xF8\xE8\xE1\xEA\xE0 \xEF\xF0\xE8 \xEE\xF2\xEA\xF0\xFB\xF2\xE8\xE8 \xD1\xCE\xCC-\xEF\xEE\xF0\xF2\xE0";

// "Строки файла каналов после 400-й пропущены: "
// The channel file has more lines than channels; the number of lines left out follows in decimal.
inline constexpr char kChannelLinesIgnoredText[] = "\xD1\xF2\xF0\xEE\xEA\xE8 \xF4\xE0\xE9\xEB\xE0 \xEA\xE0\xED\xE0\xEB\xEE\xE2 \xEF\xEE\xF1\xEB\xE5 400-\xE9 \xEF\xF0\xEE\xEF\xF3\xF9\xE5\xED\xFB: ";

// "Cтарт сервиса "Sarvelo""
// The event-log entry of the service start; the first letter is the Latin C.
inline constexpr char kEventLogStartText[] = "C\xF2\xE0\xF0\xF2 \xF1\xE5\xF0\xE2\xE8\xF1\xE0 \"Sarvelo\"";

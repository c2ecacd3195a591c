#pragma once
// The Win32 headers for the Windows side of the seam, Winsock before windows.h as it must be,
// without the A/W macros that would rename the seam's own functions (PeekMessage would become
// PeekMessageA in one file only, and other files would not find it). The Win32 calls of those
// names are made by their explicit A or W name.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <windows.h>

#undef PeekMessage
#undef GetMessage
#undef DispatchMessage
#undef CreateService
#undef OpenService
#undef ReportEvent

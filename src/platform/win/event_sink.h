// The Windows platform files' shared hidden window: a message-only window
// to which Windows Sockets, the lookup completions (from a worker thread)
// and the console's control events post, and which turns what arrives into
// the platform's own messages. Windows platform files only.
#pragma once

#include <winsock2.h>
#include <windows.h>

// windows.h names its functions as macros; the platform's functions of the
// same names must stay themselves.
#undef CreateWindow
#undef DefWindowProc
#undef DispatchMessage
#undef GetMessage
#undef PeekMessage
#undef PostMessage
#undef SendMessage
#undef DeleteFile
#undef CreateDirectory
#undef RemoveDirectory
#undef MessageBox

namespace plat::win {

constexpr UINT kSocketMessage = WM_APP + 1;  // wParam socket, lParam WSAGETSELECT*
constexpr UINT kLookupMessage = WM_APP + 2;  // wParam task handle
constexpr UINT kSignalMessage = WM_APP + 3;  // wParam signal number
constexpr UINT kWakeMessage = WM_APP + 4;    // the platform queue has work

// Created on first use, on the loop's thread.
HWND EventSink();

using SinkHandler = void (*)(WPARAM wParam, LPARAM lParam);
void SetSinkHandler(UINT message, SinkHandler handler);

// Around a loop that is not the platform's (a modal dialog's, a message
// box's): meanwhile the platform's messages and timers are dispatched from
// the sink, on each event and on a short timer, so that a cycle goes on.
void BeginForeignLoop();
void EndForeignLoop();

}  // namespace plat::win

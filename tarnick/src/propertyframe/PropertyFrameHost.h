// The program's property-frame host: draws the platform's property frames as Qt dialogs.
//
// Window handles: a window's HWND is its QWidget*, handed out as
// reinterpret_cast<HWND>(static_cast<QWidget*>(window)) and registered with
// platform::registerWindow (unregistered before the widget goes). The host reads a handle
// back as a widget only when the registry knows it.
#pragma once

#include <platform/ui.h>

// Installs the host once at start-up, on the window thread; every later
// OleCreatePropertyFrame on that thread shows a PropertyFrame.
void installPropertyFrameHost();

// The host itself: a modal frame owned by the request's window (when the window registry
// knows it) with the pages it can draw. REGDB_E_CLASSNOTREG when it draws none of the
// pages named; S_OK once the user closed the frame. Window thread only.
HRESULT showPropertyFrame(const platform::PropertyFrameRequest& request);

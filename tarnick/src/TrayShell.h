// The notification-area (tray) shell calls the window makes, over Qt's tray icon.
#pragma once

#include <platform/wintypes.h>

#include <functional>

class QIcon;
class QSystemTrayIcon;

// The tray icon's data as the window hands it to the shell; the layout up to dwInfoFlags.
struct NOTIFYICONDATAA {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    const QIcon* hIcon;
    char szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    char szInfo[256];
    UINT uTimeout;
    char szInfoTitle[64];
    DWORD dwInfoFlags;
};

inline constexpr DWORD NOTIFYICONDATAA_V2_SIZE = 488;
inline constexpr UINT NIF_MESSAGE = 0x1;
inline constexpr UINT NIF_ICON = 0x2;
inline constexpr UINT NIF_TIP = 0x4;
inline constexpr DWORD NIM_ADD = 0;
inline constexpr DWORD NIM_MODIFY = 1;
inline constexpr DWORD NIM_DELETE = 2;

// Adds, changes or removes the icon (hWnd, uID). Clicks on the icon reach the window's
// message sink as (uCallbackMessage, uID, mouse message). FALSE when the desktop offers no
// tray, or when NIM_ADD names an icon already shown.
BOOL Shell_NotifyIconA(DWORD message, NOTIFYICONDATAA* data);

namespace tray {

using MessageSink = std::function<void(UINT message, UINT id, UINT mouseMessage)>;

// The window registers where its icon's mouse messages go.
void registerWindow(HWND window, MessageSink sink);
void unregisterWindow(HWND window);

// Whether the desktop has a notification area; tests may pretend either way.
bool isAvailable();
void overrideAvailabilityForTesting(int available); // -1: ask the desktop
// Icons currently shown, for tests.
int iconCount();
// Feeds a mouse message to the icon of a window, as a click would (tests).
void simulateMouse(HWND window, UINT id, UINT mouseMessage);
// The icon shown for (window, id), or null; the desktop tests click it through the X server.
QSystemTrayIcon* iconFor(HWND window, UINT id);

} // namespace tray

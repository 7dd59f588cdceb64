// Tray icons over QSystemTrayIcon, keyed by window and icon id.
#include "TrayShell.h"

#include "resource.h"

#include <QSystemTrayIcon>

#include <map>
#include <memory>
#include <utility>

namespace {

struct TrayEntry {
    std::unique_ptr<QSystemTrayIcon> icon;
    UINT callbackMessage = 0;
};

// Window thread only, like every call that reaches this file.
struct TrayState {
    std::map<std::pair<HWND, UINT>, TrayEntry> icons;
    std::map<HWND, tray::MessageSink> sinks;
    int availability = -1;
};

TrayState& state() {
    static TrayState instance;
    return instance;
}

void deliver(HWND window, UINT id, UINT mouseMessage) {
    auto& s = state();
    auto icon = s.icons.find({window, id});
    auto sink = s.sinks.find(window);
    if (icon == s.icons.end() || sink == s.sinks.end())
        return;
    // Copied: the sink may remove the icon while it runs.
    tray::MessageSink handler = sink->second;
    handler(icon->second.callbackMessage, id, mouseMessage);
}

// The icon may be removed from inside its own mouse event (the tray menu's "show window" and
// "exit"): it is hidden and cut off from its handler now, and deleted once control is back
// in the event loop, never while Qt is still delivering its signal.
void releaseIcon(std::unique_ptr<QSystemTrayIcon> icon) {
    if (!icon)
        return;
    QObject::disconnect(icon.get(), nullptr, nullptr, nullptr);
    icon->hide();
    icon.release()->deleteLater();
}

} // namespace

BOOL Shell_NotifyIconA(DWORD message, NOTIFYICONDATAA* data) {
    if (!data)
        return FALSE;
    auto& s = state();
    const auto key = std::make_pair(data->hWnd, data->uID);
    switch (message) {
    case NIM_ADD: {
        if (!tray::isAvailable() || s.icons.count(key))
            return FALSE;
        TrayEntry entry;
        entry.icon = std::make_unique<QSystemTrayIcon>();
        entry.callbackMessage = data->uCallbackMessage;
        if ((data->uFlags & NIF_ICON) && data->hIcon)
            entry.icon->setIcon(*data->hIcon);
        if (data->uFlags & NIF_TIP)
            entry.icon->setToolTip(QString::fromUtf8(data->szTip));
        HWND window = data->hWnd;
        UINT id = data->uID;
        QObject::connect(entry.icon.get(), &QSystemTrayIcon::activated,
                         [window, id](QSystemTrayIcon::ActivationReason reason) {
                             switch (reason) {
                             case QSystemTrayIcon::Context:
                                 deliver(window, id, WM_RBUTTONDOWN);
                                 break;
                             case QSystemTrayIcon::DoubleClick:
                                 deliver(window, id, WM_LBUTTONDBLCLK);
                                 break;
                             default:
                                 deliver(window, id, WM_LBUTTONDOWN);
                                 break;
                             }
                         });
        entry.icon->show();
        s.icons.emplace(key, std::move(entry));
        return TRUE;
    }
    case NIM_MODIFY: {
        auto it = s.icons.find(key);
        if (it == s.icons.end())
            return FALSE;
        if (data->uFlags & NIF_TIP)
            it->second.icon->setToolTip(QString::fromUtf8(data->szTip));
        if ((data->uFlags & NIF_ICON) && data->hIcon)
            it->second.icon->setIcon(*data->hIcon);
        return TRUE;
    }
    case NIM_DELETE: {
        auto it = s.icons.find(key);
        if (it == s.icons.end())
            return FALSE;
        releaseIcon(std::move(it->second.icon));
        s.icons.erase(it);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

namespace tray {

void registerWindow(HWND window, MessageSink sink) {
    state().sinks[window] = std::move(sink);
}

void unregisterWindow(HWND window) {
    auto& s = state();
    s.sinks.erase(window);
    for (auto it = s.icons.begin(); it != s.icons.end();) {
        if (it->first.first == window) {
            releaseIcon(std::move(it->second.icon));
            it = s.icons.erase(it);
        } else {
            ++it;
        }
    }
}

bool isAvailable() {
    const int forced = state().availability;
    return forced >= 0 ? forced != 0 : QSystemTrayIcon::isSystemTrayAvailable();
}

void overrideAvailabilityForTesting(int available) {
    state().availability = available;
}

int iconCount() {
    return static_cast<int>(state().icons.size());
}

void simulateMouse(HWND window, UINT id, UINT mouseMessage) {
    deliver(window, id, mouseMessage);
}

QSystemTrayIcon* iconFor(HWND window, UINT id) {
    auto& s = state();
    auto it = s.icons.find({window, id});
    return it == s.icons.end() ? nullptr : it->second.icon.get();
}

} // namespace tray

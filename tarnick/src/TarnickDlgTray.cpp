// CTarnickDlg tray: the notification-area icon, its menu, and hiding into it.
#include "TarnickDlg.h"
#include "resource.h"

#include <platform/text.h>

#include <QCursor>
#include <QMenu>
#include <QTimer>

#include <memory>

void CTarnickDlg::AddTrayIcon() {
    if (m_inTray)
        return;
    // Without a notification area a hidden window could never be reached again.
    if (!tray::isAvailable())
        return;
    m_nid = NOTIFYICONDATAA{};
    m_nid.cbSize = NOTIFYICONDATAA_V2_SIZE;
    m_nid.hWnd = windowHandle();
    m_nid.uID = 0;
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_nid.uCallbackMessage = WM_TRAYNOTIFY;
    m_nid.hIcon = &m_hIcon;
    // "Tarnick", followed by what the program waits for while it waits.
    platform::copyUtf8Bounded(m_nid.szTip, sizeof(m_nid.szTip), trayTip().toUtf8().constData());
    Shell_NotifyIconA(NIM_ADD, &m_nid);
    m_inTray = TRUE;
}

void CTarnickDlg::OnToTray() {
    AddTrayIcon();
    if (m_inTray)
        hide();
    else
        showMinimized(); // no tray on this desktop: minimise instead of vanishing
}

void CTarnickDlg::OnRestoreWindow() {
    if (isMinimized())
        showNormal();
    else
        show();
    if (m_inTray) {
        Shell_NotifyIconA(NIM_DELETE, &m_nid);
        m_inTray = FALSE;
    }
}

long CTarnickDlg::OnTrayNotify(UINT, UINT mouseMessage) {
    const QPoint cursor = QCursor::pos();
    if (mouseMessage != WM_RBUTTONDOWN)
        return 0;
    activateWindow();
    std::unique_ptr<QMenu> menu(buildTrayMenu());
    const QAction* chosen = menu->exec(cursor);
    // The chosen command runs once the menu has closed and the icon's mouse event has been
    // handled: "show window" and the exits remove the icon whose event this is.
    if (chosen && !chosen->isSeparator() && !chosen->menu()) {
        const UINT id = chosen->data().toUInt();
        QTimer::singleShot(0, this, [this, id] { OnCommand(id); });
    }
    return 0;
}

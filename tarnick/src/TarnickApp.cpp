// CTarnickApp: the socket check, then the main window.
#include "TarnickApp.h"

#include "EndingSignals.h"
#include "MessageBox.h"
#include "TarnickDlg.h"
#include "propertyframe/PropertyFrameHost.h"
#include "resource.h"

#include <QApplication>
#include <QDialog>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// Sockets work when one can be made; this stands where the network stack is started.
bool socketsAvailable() {
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    ::close(probe);
    return true;
}

} // namespace

void CTarnickApp::ConfigureApplication() {
    QApplication::setApplicationName("tarnick");
    // No display name: Qt would append it to every window title, and the captions are the
    // program's own texts exactly.
    QApplication::setDesktopFileName("tarnick");
    // The program lives in its window and its tray icon: hiding the window into the tray
    // must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
}

BOOL CTarnickApp::InitInstance() {
    // Common controls, control hosting and a registry key have no counterpart here: Qt's
    // widgets need no registration and the program keeps its settings in its INI file.
    if (!socketsAvailable()) {
        AfxMessageBox(text::kSocketsInitFailed);
        return FALSE;
    }
    // The camera's settings pages are drawn by the program's own property frame.
    installPropertyFrameHost();
    CTarnickDlg dlg;
    // The desktop's ending signals end the program as the close button does; a dialog or
    // message box open at that moment is cancelled first so its caller unwinds.
    EndingSignals ending([&dlg] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* nested = qobject_cast<QDialog*>(widget);
            if (nested && nested != &dlg && nested->isVisible())
                nested->reject();
        }
        dlg.OnSysCommand(SC_CLOSE);
    });
    dlg.DoModal();
    return FALSE;
}

// CTarnickApp: the socket check, then the main window.
#include "TarnickApp.h"

#include "MessageBox.h"
#include "TarnickDlg.h"
#include "resource.h"

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

BOOL CTarnickApp::InitInstance() {
    // Common controls, control hosting and a registry key have no counterpart here: Qt's
    // widgets need no registration and the program keeps its settings in its INI file.
    if (!socketsAvailable()) {
        AfxMessageBox(text::kSocketsInitFailed);
        return FALSE;
    }
    CTarnickDlg dlg;
    dlg.DoModal();
    return FALSE;
}

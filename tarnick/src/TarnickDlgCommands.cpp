// CTarnickDlg commands: menus built from the command table, the update pass, and the
// commands the window carries out itself (exit, fit, start-up modes).
#include "CommandTable.h"
#include "TarnickDlg.h"
#include "resource.h"

#include <QLayout>
#include <QMenu>
#include <QMenuBar>

namespace {

UINT commandId(const QAction* action) {
    return action->data().toUInt();
}

} // namespace

QMenu* CTarnickDlg::buildMenu(const MenuLayout& layout, QWidget* parent, bool runOnTrigger) {
    auto* menu = new QMenu(QString::fromUtf8(layout.text), parent);
    for (std::size_t i = 0; i < layout.count; ++i) {
        const MenuItem& item = layout.items[i];
        if (item.subMenu >= 0) {
            menu->addMenu(buildMenu(layout.subMenus[item.subMenu], menu, runOnTrigger));
        } else if (item.id == 0) {
            menu->addSeparator();
        } else {
            const CommandEntry* entry = findCommand(item.id);
            QAction* action = menu->addAction(QString::fromUtf8(entry ? entry->text : ""));
            action->setData(item.id);
            const UINT id = item.id;
            if (runOnTrigger)
                connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
        }
    }
    // Every pop-up, of the menu bar and of the tray menu alike, runs the update pass first.
    connect(menu, &QMenu::aboutToShow, this, [this, menu] { OnInitMenuPopup(menu); });
    return menu;
}

void CTarnickDlg::buildMenuBar() {
    m_menuBar = new QMenuBar(this);
    for (const MenuLayout& layout : kMainMenu)
        m_menuBar->addMenu(buildMenu(layout, m_menuBar));
    layout()->setMenuBar(m_menuBar);
}

QMenu* CTarnickDlg::buildTrayMenu() {
    // Its commands are run by OnTrayNotify once the menu has closed.
    return buildMenu(kTrayMenu, this, false);
}

void CTarnickDlg::OnInitMenuPopup(QMenu* popup) {
    for (QAction* action : popup->actions()) {
        if (action->isSeparator())
            continue;
        if (action->menu()) {
            // A pop-up is never greyed: each of its items takes its own state when it opens,
            // so a disabled first item cannot hide the others.
            action->setEnabled(true);
        } else {
            runUpdate(action, commandId(action), false);
        }
    }
}

// Calls the item's update handler. An ordinary item whose command this program does not
// carry out is disabled: offering a command that does nothing would mislead.
void CTarnickDlg::runUpdate(QAction* action, UINT id, bool disableIfNoHandler) {
    const CommandEntry* entry = findCommand(id);
    if (!entry || (!entry->update && !entry->handler)) {
        if (disableIfNoHandler)
            action->setEnabled(false);
        return;
    }
    if (!disableIfNoHandler && !entry->handler) {
        action->setEnabled(false);
        return;
    }
    CCmdUI cmdUI(action, id);
    if (entry->update)
        (this->*entry->update)(&cmdUI);
}

void CTarnickDlg::OnCommand(UINT id) {
    // A user's command on the camera, capture, server or client takes over from whatever the
    // program was waiting for by itself.
    switch (id) {
    case ID_CAMERA_CONNECT:
    case ID_CAMERA_RELEASE:
    case ID_CAPTURE_START:
    case ID_CAPTURE_STOP:
    case ID_CAPTURE_SERVER_START:
    case ID_CAPTURE_SERVER_STOP:
    case ID_SETTING_STREAM_FORMAT:
    case ID_SERVER_CONNECT:
    case ID_SERVER_DISCONNECT:
        StopUnattended();
        break;
    default:
        break;
    }
    const CommandEntry* entry = findCommand(id);
    if (entry && entry->handler)
        (this->*entry->handler)();
}

void CTarnickDlg::OnUpdateCameraConnect(CCmdUI* cmdUI) {
    cmdUI->Enable(!IsReceiving() && !IsCameraConnected());
}
void CTarnickDlg::OnUpdateCameraRelease(CCmdUI* cmdUI) {
    cmdUI->Enable(IsCameraConnected() && !IsCapturing() && !IsServing());
}
void CTarnickDlg::OnUpdateServerConnect(CCmdUI* cmdUI) {
    cmdUI->Enable(!IsCameraConnected() && !IsReceiving());
}
void CTarnickDlg::OnUpdateServerDisconnect(CCmdUI* cmdUI) {
    cmdUI->Enable(IsReceiving());
}
void CTarnickDlg::OnUpdateAppExit(CCmdUI* cmdUI) {
    cmdUI->Enable(true);
}
void CTarnickDlg::OnUpdateCaptureStart(CCmdUI* cmdUI) {
    cmdUI->Enable(IsCameraConnected() && !IsCapturing());
}
void CTarnickDlg::OnUpdateCaptureStop(CCmdUI* cmdUI) {
    cmdUI->Enable(IsCameraConnected() && IsCapturing() && !IsServing());
}
void CTarnickDlg::OnUpdateServerStart(CCmdUI* cmdUI) {
    cmdUI->Enable(IsCameraConnected() && IsCapturing() && !IsServing());
}
void CTarnickDlg::OnUpdateServerStop(CCmdUI* cmdUI) {
    cmdUI->Enable(IsCameraConnected() && IsServing());
}
void CTarnickDlg::OnUpdateToTray(CCmdUI* cmdUI) {
    cmdUI->Enable(true);
}
void CTarnickDlg::OnUpdateFitWindow(CCmdUI* cmdUI) {
    cmdUI->Enable(m_pFrameBuf != nullptr);
}
void CTarnickDlg::OnUpdateImageProperty(CCmdUI* cmdUI) {
    cmdUI->Enable(IsCameraConnected());
}
void CTarnickDlg::OnUpdateRestoreWindow(CCmdUI* cmdUI) {
    cmdUI->Enable(true);
}

void CTarnickDlg::OnAppExit() {
    if (m_video.IsOpen())
        m_video.Close();
    EndDialog(IDOK);
}

void CTarnickDlg::OnFitWindow() {
    FitWindowToFrame();
}

// The two start-up items act as a pair of radio items that may both be off.
void CTarnickDlg::OnAutoStartServer() {
    if (m_autoStart == 1)
        m_autoStart = 0;
    else
        m_autoStart = m_connectPort > 0 ? 1 : 0;
    SaveAutoStart();
}

void CTarnickDlg::OnAutoStartClient() {
    if (m_autoStart != 2 && !m_connectHost.IsEmpty() && m_connectPort > 0)
        m_autoStart = 2;
    else
        m_autoStart = 0;
    SaveAutoStart();
}

// A start-up mode that can no longer work is cleared, and saved, when the menu opens.
void CTarnickDlg::OnUpdateAutoStartServer(CCmdUI* cmdUI) {
    if (m_connectPort <= 0 && m_autoStart != 0) {
        m_autoStart = 0;
        SaveAutoStart();
    }
    cmdUI->SetCheck(m_autoStart == 1);
}

void CTarnickDlg::OnUpdateAutoStartClient(CCmdUI* cmdUI) {
    if ((m_connectHost.IsEmpty() || m_connectPort <= 0) && m_autoStart != 0) {
        m_autoStart = 0;
        SaveAutoStart();
    }
    cmdUI->SetCheck(m_autoStart == 2);
}

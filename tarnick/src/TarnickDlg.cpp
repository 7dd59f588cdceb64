// CTarnickDlg: construction, controls, start-up and teardown, window events.
#include "TarnickDlg.h"

#include "AboutDlg.h"
#include "ClientConnector.h"
#include "DialogUnits.h"
#include "FrameSignal.h"
#include "PictureView.h"
#include "ProgramIcon.h"
#include "resource.h"

#include <platform/com.h>
#include <platform/kernel.h>
#include <platform/ui.h>

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdlib>
#include <cstring>

namespace {

// Template 102: 234 x 230 dialog units, "MS UI Gothic" 9 pt.
constexpr int kTemplateWidth = 234;
constexpr int kTemplateHeight = 230;

} // namespace

CTarnickDlg::CTarnickDlg(QWidget* parent)
    : QDialog(parent),
      m_hIcon(programIcon()), m_nid{}, m_device{}, m_videoInf{24, 320, 240, 666667},
      m_connectHost("localhost"), m_connectPort(7373), m_pFrameBuf(nullptr), m_dispWidth(0),
      m_dispHeight(0), m_edgeX(2), m_edgeY(2), m_lastTick(0), m_frameCount(0), m_initialized(FALSE),
      m_inTray(FALSE), m_autoStart(0), m_label(nullptr), m_status(nullptr), m_picture(nullptr),
      m_tick(GetTickCount) {
    setWindowTitle(text::kAppName);
    setWindowIcon(m_hIcon);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setSizeGripEnabled(false);
    buildControls();
    buildMenuBar();
    m_frameSignal = new FrameSignal([this] { onFrameSignal(); }, this);
    setUpUnattended();
    tray::registerWindow(windowHandle(),
                         [this](UINT, UINT id, UINT mouse) { OnTrayNotify(id, mouse); });
    // The camera's settings pages open over this window.
    platform::registerWindow(windowHandle());
}

CTarnickDlg::~CTarnickDlg() {
    // A window destroyed without ending its dialog still stops its sources first.
    if (!m_destroyed)
        OnDestroy();
    tray::unregisterWindow(windowHandle());
    platform::unregisterWindow(windowHandle());
}

void CTarnickDlg::buildControls() {
    setFont(dialogFont("MS UI Gothic", 9));
    const DialogUnits du(font());

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_client = new QWidget(this);
    layout->addWidget(m_client, 1);

    m_label = new QLabel(text::kStatusLabel, m_client);
    m_label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_label->setGeometry(du.rect(7, 6, 22, 11));

    m_status = new QLineEdit(m_client);
    m_status->setReadOnly(true);
    m_status->setGeometry(du.rect(29, 6, 198, 14));

    m_picture = new PictureView(this, m_client);
    m_picture->setGeometry(du.rect(7, 23, 220, 200));

    m_client->setMinimumSize(0, 0);
    resize(du.x(kTemplateWidth), du.y(kTemplateHeight));
}

// The window's life is the program's: it runs in a loop of its own rather than QDialog::exec,
// whose loop ends whenever the dialog is hidden (going into the tray must not end it). Only
// EndDialog (the exit commands, the close button and the ending signals) leaves the loop.
int CTarnickDlg::DoModal() {
    if (!Create())
        return IDCANCEL;
    QEventLoop loop;
    m_modalLoop = &loop;
    if (!m_destroyed)
        loop.exec(QEventLoop::DialogExec);
    m_modalLoop = nullptr;
    return m_result;
}

BOOL CTarnickDlg::Create() {
    show();
    return OnInitDialog();
}

void CTarnickDlg::EndDialog(int result) {
    done(result);
}

void CTarnickDlg::done(int result) {
    // A connection being opened ends first; the window then ends where it waited for it.
    if (m_connector && m_connector->waiting()) {
        m_endPending = true;
        m_pendingEnd = result;
        m_connector->requestCancel();
        return;
    }
    m_result = result;
    if (!m_destroyed)
        OnDestroy();
    QDialog::done(result);
    if (m_modalLoop)
        m_modalLoop->exit(result);
}

BOOL CTarnickDlg::OnInitDialog() {
    // The system menu's about item lives in the window's context menu (contextMenuEvent).
    setWindowIcon(m_hIcon);
    CoInitialize(nullptr);
    m_stream.Initialize();

    LoadNetworkSettings();
    LoadDeviceSettings();
    LoadVideoSettings();

    {
        std::lock_guard guard(m_backLock);
        const QSize size = m_picture->size();
        m_backBuffer = QImage(size, QImage::Format_RGB32);
        m_backBuffer.fill(Qt::black);
        m_dispWidth = size.width();
        m_dispHeight = size.height();
    }
    m_initialized = TRUE;
    // Lay out once now, so the margins that fitting keeps are the layout's own.
    LayoutControls();

    m_unattendedTimer->start();
    // What the settings ask to start with the program.
    if (m_autoStart == 1)
        StartServerAtLaunch();
    else if (m_autoStart == 2)
        StartClientAtLaunch();
    return TRUE;
}

void CTarnickDlg::OnDestroy() {
    m_destroyed = true;
    m_unattendedTimer->stop();
    StopUnattended();
    if (m_inTray) {
        Shell_NotifyIconA(NIM_DELETE, &m_nid);
        m_inTray = FALSE;
    }
    // The frame sources stop before anything they draw into is freed: the client's
    // delivery first, then the camera, then the server connection.
    if (IsReceiving()) {
        if (m_stream.IsRunning())
            m_stream.Stop();
        m_stream.Close();
    }
    StopPublishing();
    if (m_video.IsOpen())
        m_video.Close();
    if (m_stream.IsOpen())
        m_stream.Close();

    std::free(m_pFrameBuf);
    m_pFrameBuf = nullptr;
    {
        std::lock_guard guard(m_backLock);
        m_backBuffer = QImage();
        m_scratch = QImage();
    }

    SaveNetworkSettings();
    SaveDeviceSettings();
    SaveVideoSettings();

    m_stream.UnInitialize();
    CoUninitialize();
}

void CTarnickDlg::closeEvent(QCloseEvent* event) {
    // The close button ends the program as the close command does.
    event->ignore();
    OnSysCommand(SC_CLOSE);
}

void CTarnickDlg::keyPressEvent(QKeyEvent* event) {
    // Enter and Escape do nothing; everything else goes the usual way.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
        event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CTarnickDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    if (m_initialized)
        LayoutControls();
    if (m_inTray)
        hide();
}

// Linux desktops offer no system menu a program can extend: its items (about, close) are
// in the window's context menu.
void CTarnickDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* about = menu.addAction(QString::fromUtf8(text::kAboutMenu));
    menu.addSeparator();
    QAction* close = menu.addAction(QString::fromUtf8(text::kCloseMenu));
    QAction* chosen = menu.exec(event->globalPos());
    if (chosen == about)
        OnSysCommand(IDM_ABOUTBOX);
    else if (chosen == close)
        OnSysCommand(SC_CLOSE);
}

void CTarnickDlg::OnSysCommand(UINT id) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.DoModal();
    } else if (id == SC_CLOSE) {
        EndDialog(IDOK);
    }
}

QString CTarnickDlg::statusText() const {
    return m_status->text();
}

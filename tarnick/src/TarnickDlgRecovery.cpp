// CTarnickDlg left alone: the start-up server waits for its camera and its port, the start-up
// client for its server, a camera that goes away while capturing is opened again when it
// returns, and a client follows a server that came back at another size. Window thread.
#include "ClientConnector.h"
#include "TarnickDlg.h"
#include "resource.h"

#include <platform/text.h>

#include <QLineEdit>
#include <QTimer>

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kTickMs = 250;
// A silent camera that is still listed may be slow to start or in the dark: it is given this
// many times the silence a vanished one is allowed before it is opened again.
constexpr int kListedSilenceFactor = 5;

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QString tipWith(const QString& state) {
    return QString::fromUtf8(text::kAppName) + QStringLiteral(": ") + state;
}

QString tipWith(const char* state) {
    return tipWith(QString::fromUtf8(state));
}

bool sameDevice(const tVideoDev& a, const tVideoDev& b) {
    if (a.szDevicePath[0] != '\0' || b.szDevicePath[0] != '\0')
        return ::strcasecmp(a.szDevicePath, b.szDevicePath) == 0;
    return std::strcmp(a.szFriendlyName, b.szFriendlyName) == 0 && a.nIndex == b.nIndex;
}

// The transport's delivery thread: the server came back at another size. The window thread
// rebuilds the frame buffer; a window already gone drops the call.
void ServerFormatChanged(void* context) {
    auto* dlg = static_cast<CTarnickDlg*>(context);
    QMetaObject::invokeMethod(
        dlg, [dlg] { dlg->FollowServerFormat(); }, Qt::QueuedConnection);
}

} // namespace

void CTarnickDlg::setUpUnattended() {
    m_connector = new ClientConnector(m_stream, this);
    m_unattendedTimer = new QTimer(this);
    m_unattendedTimer->setInterval(kTickMs);
    connect(m_unattendedTimer, &QTimer::timeout, this, [this] { onUnattendedTick(); });
    m_stream.SetFormatChangeCallBack(ServerFormatChanged, this);
}

void CTarnickDlg::setUnattendedTiming(int firstRetryMs, int lastRetryMs, int silentCameraMs) {
    m_firstRetryMs = firstRetryMs;
    m_lastRetryMs = lastRetryMs;
    m_silentCameraMs = silentCameraMs;
    m_unattendedTimer->setInterval(std::min({kTickMs, firstRetryMs, silentCameraMs}));
}

QString CTarnickDlg::trayTip() const {
    return m_trayTip.isEmpty() ? QString::fromUtf8(text::kAppName) : m_trayTip;
}

void CTarnickDlg::setTrayTip(const QString& tip) {
    m_trayTipBase = tip;
    m_trayTip = withPublishingTip(tip); // what publishing does, when nothing else is said
    if (!m_inTray)
        return;
    platform::copyUtf8Bounded(m_nid.szTip, sizeof(m_nid.szTip), m_trayTip.toUtf8().constData());
    Shell_NotifyIconA(NIM_MODIFY, &m_nid);
}

// One line on standard error per change of state (the journal, when run as a service).
void CTarnickDlg::announce(const std::string& key, const std::string& logLine, const QString& tip) {
    if (m_lastAnnounced != key) {
        m_lastAnnounced = key;
        std::fprintf(stderr, "tarnick: %s\n", logLine.c_str());
        std::fflush(stderr);
    }
    setTrayTip(tip);
}

void CTarnickDlg::StopUnattended() {
    const bool waited = m_clientRetrying || m_unattended == Unattended::WaitingForCamera ||
                        m_unattended == Unattended::WaitingForServer ||
                        m_unattended == Unattended::CameraLost;
    m_unattended = Unattended::Off;
    m_serveAfterCamera = false;
    m_clientRetrying = false;
    if (m_connector)
        m_connector->cancel();
    // Nothing waits any more: the tooltip stops saying so, and a later wait is told again.
    if (waited) {
        m_lastAnnounced.clear();
        setTrayTip(QString::fromUtf8(text::kAppName));
    }
}

void CTarnickDlg::scheduleRetry(int& pauseMs) {
    m_nextAttemptMs = nowMs() + pauseMs;
    pauseMs = std::min(pauseMs * 2, m_lastRetryMs);
}

bool CTarnickDlg::deviceIsListed() {
    tVideoDev devices[64];
    const int count = CVideo::GetCaptureDeviceList(devices, static_cast<int>(std::size(devices)));
    for (int i = 0; i < count; ++i)
        if (sameDevice(devices[i], m_device))
            return true;
    return false;
}

void CTarnickDlg::onUnattendedTick() {
    const std::int64_t now = nowMs();
    switch (m_unattended) {
    case Unattended::WaitingForCamera:
    case Unattended::WaitingForServer:
        if (now >= m_nextAttemptMs)
            tryStartUpServer();
        break;
    case Unattended::CameraLost:
        if (now >= m_nextAttemptMs)
            tryReopenCamera();
        break;
    case Unattended::Off:
    case Unattended::Watching:
        watchCamera();
        break;
    }
    if (m_clientRetrying && !m_connector->busy() && now >= m_nextClientAttemptMs)
        tryStartUpClient();
    followPublishing();
}

// Start-up as the capture server: into the tray at once (unless the settings keep the window
// shown), then camera, capture and server, each tried again with a growing pause until the
// program serves.
void CTarnickDlg::StartServerAtLaunch() {
    if (!m_startShown) {
        AddTrayIcon();
        if (m_inTray)
            hide();
        else
            showMinimized(); // no notification area: a hidden window could never come back
    }
    m_unattended = Unattended::WaitingForCamera;
    m_serverRetryMs = m_firstRetryMs;
    tryStartUpServer();
}

void CTarnickDlg::tryStartUpServer() {
    const std::string device =
        m_device.szDevicePath[0] ? m_device.szDevicePath : m_device.szFriendlyName;
    if (m_unattended == Unattended::WaitingForCamera) {
        const bool connected = IsCameraConnected() || ConnectCamera(m_device) == 0;
        if (!connected || (!IsCapturing() && m_video.CaptureStart(nullptr, nullptr) != 0)) {
            if (m_video.IsOpen())
                m_video.Close();
            announce("wait-camera", "waiting for the camera \"" + device + "\"",
                     tipWith(text::kTipWaitingForCamera));
            scheduleRetry(m_serverRetryMs);
            return;
        }
        m_unattended = Unattended::WaitingForServer;
        m_serverRetryMs = m_firstRetryMs;
    }
    if (!IsServing() && OpenCaptureServer(m_connectPort) != 0) {
        const std::string port = std::to_string(m_connectPort);
        announce("wait-server",
                 "cannot serve on port " + port +
                     " (in use, or the listening address is not there yet); trying again",
                 tipWith(QString::fromUtf8(text::kTipWaitingForPort).arg(m_connectPort)));
        scheduleRetry(m_serverRetryMs);
        return;
    }
    BITMAPINFOHEADER served{};
    m_stream.GetBitmapInfoHdr(&served);
    m_unattended = Unattended::Watching;
    m_serveAfterCamera = false;
    announce("serving",
             "serving \"" + device + "\" at " + std::to_string(served.biWidth) + "x" +
                 std::to_string(served.biHeight) + " on port " + std::to_string(m_connectPort),
             QString::fromUtf8(text::kAppName));
}

// While capturing: a camera silent for too long has gone (unplugged, or failing). Capture is
// stopped and the camera opened again when it returns; a server meanwhile keeps its viewers
// and goes on sending the last picture.
void CTarnickDlg::watchCamera() {
    if (!IsCameraConnected() || !IsCapturing()) {
        m_wasCapturing = false;
        return;
    }
    const std::int64_t now = nowMs();
    if (!m_wasCapturing) {
        m_wasCapturing = true;
        m_captureSeenMs = now;
    }
    const std::int64_t last = std::max(m_lastCameraFrameMs.load(), m_captureSeenMs);
    const std::int64_t intervalMs = m_video.GetFrameInterval() / 10000;
    const std::int64_t silentLimit = std::max<std::int64_t>(m_silentCameraMs, 3 * intervalMs);
    if (now - last < silentLimit)
        return;
    if (now - last < kListedSilenceFactor * silentLimit && deviceIsListed())
        return;
    m_video.CaptureStop();
    m_wasCapturing = false;
    ++m_cameraLosses;
    m_unattended = Unattended::CameraLost;
    m_serverRetryMs = m_firstRetryMs;
    m_nextAttemptMs = now;
    m_status->setText(QString::fromUtf8(text::kCameraLostStatus));
    const std::string device =
        m_device.szDevicePath[0] ? m_device.szDevicePath : m_device.szFriendlyName;
    announce("camera-lost", "the camera \"" + device + "\" went away; waiting for it to return",
             tipWith(text::kTipCameraLost));
}

void CTarnickDlg::tryReopenCamera() {
    if (!deviceIsListed()) {
        m_nextAttemptMs = nowMs() + m_firstRetryMs; // look for its return often: it is cheap
        return;
    }
    m_video.Close();
    if (ConnectCamera(m_device) != 0) {
        if (m_video.IsOpen())
            m_video.Close();
        scheduleRetry(m_serverRetryMs);
        return;
    }
    // A camera that came back at another size cannot feed the server opened for the old one:
    // that server closes before the first frame comes, and a new one opens at the new size
    // once the camera captures (its viewers reconnect).
    if (IsServing() && !serverTakesCamera()) {
        StopPublishing(); // started again with the new server
        m_stream.Close();
        m_serveAfterCamera = true;
    }
    if (m_video.CaptureStart(nullptr, nullptr) != 0) {
        m_video.Close();
        scheduleRetry(m_serverRetryMs);
        return;
    }
    const std::string device =
        m_device.szDevicePath[0] ? m_device.szDevicePath : m_device.szFriendlyName;
    if (m_serveAfterCamera) {
        // The start-up's wait for the server: it says so, and keeps trying until it serves.
        m_unattended = Unattended::WaitingForServer;
        m_serverRetryMs = m_firstRetryMs;
        tryStartUpServer();
        return;
    }
    m_unattended = Unattended::Watching;
    announce(IsServing() ? "serving" : "capturing",
             "the camera \"" + device + "\" is back; capturing" +
                 (IsServing() ? " and serving" : ""),
             QString::fromUtf8(text::kAppName));
}

// Whether the open server takes frames of the camera's current size.
bool CTarnickDlg::serverTakesCamera() {
    BITMAPINFOHEADER served{};
    const BITMAPINFO* camera = m_video.GetBitmapInfoPtr();
    return camera && m_stream.GetBitmapInfoHdr(&served) == 0 &&
           served.biWidth == camera->bmiHeader.biWidth &&
           served.biHeight == camera->bmiHeader.biHeight;
}

// Start-up as a client: the server may come later than the program; the window stays and
// keeps answering while each attempt runs.
void CTarnickDlg::StartClientAtLaunch() {
    m_clientRetrying = true;
    m_clientRetryMs = m_firstRetryMs;
    tryStartUpClient();
}

void CTarnickDlg::tryStartUpClient() {
    m_connector->start(m_connectHost, m_connectPort,
                       [this](int result) { onStartUpClientOpened(result); });
}

void CTarnickDlg::onStartUpClientOpened(int result) {
    const std::string server =
        std::string(static_cast<const char*>(m_connectHost)) + ":" + std::to_string(m_connectPort);
    if (result == 0) {
        if (StartReceive() == 0) {
            m_clientRetrying = false;
            announce("receiving", "receiving from " + server, QString::fromUtf8(text::kAppName));
            return;
        }
        m_stream.Close(); // nothing that can be shown, or no delivery: try again later
    }
    waitForServerAgain();
}

// The client has nothing to show: it says so and tries its server again after a pause that
// grows with each failure.
void CTarnickDlg::waitForServerAgain() {
    const std::string server =
        std::string(static_cast<const char*>(m_connectHost)) + ":" + std::to_string(m_connectPort);
    m_clientRetrying = true;
    announce("wait-client", "waiting for the server " + server,
             tipWith(text::kTipWaitingForServer));
    m_nextClientAttemptMs = nowMs() + m_clientRetryMs;
    m_clientRetryMs = std::min(m_clientRetryMs * 2, m_lastRetryMs);
}

int CTarnickDlg::OpenClientResponsive(const char* host, int port) {
    return m_connector->openWhileResponsive(host, port);
}

// The server came back with pictures of another size: the client stops, takes a frame
// buffer of the new format and goes on, as a new connection would.
void CTarnickDlg::FollowServerFormat() {
    if (!IsReceiving())
        return;
    m_stream.Stop();
    if (StartReceive() != 0) {
        // A picture this window cannot take, or no delivery: the connection goes, and the
        // server is tried again as at start-up until its picture can be shown.
        m_stream.Close();
        m_clientRetryMs = m_firstRetryMs;
        waitForServerAgain();
        return;
    }
    const BITMAPINFOHEADER& header = m_pFrameBuf->bmiHeader;
    announce("receiving-" + std::to_string(header.biWidth) + "x" + std::to_string(header.biHeight),
             "the server's picture is now " + std::to_string(header.biWidth) + "x" +
                 std::to_string(header.biHeight),
             QString::fromUtf8(text::kAppName));
}

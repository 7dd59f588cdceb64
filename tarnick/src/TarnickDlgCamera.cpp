// CTarnickDlg camera side: connecting a camera, capture, the capture server, the camera's
// settings pages and stream format, and the one routine every frame passes through.
#include "ConnectSetDlg.h"
#include "DevSelDlg.h"
#include "FrameBuffer.h"
#include "MessageBox.h"
#include "TarnickDlg.h"
#include "resource.h"

#include <platform/text.h>

#include <strings.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kFallbackServerFps = 30;

bool sameFormat(const tVideoInf& a, const tVideoInf& b) {
    return a.nWidth == b.nWidth && a.nHeight == b.nHeight && a.nBitCount == b.nBitCount &&
           a.llFrameInterval == b.llFrameInterval;
}

// The camera's streaming thread, for an MJPEG camera: the camera's own picture, just before
// FrameCallback gets the frame decoded from it. A server hands it to its JPEG viewers in place
// of encoding that frame again (the transport copies it); otherwise it is not needed.
void CompressedFrameCallback(BYTE* data, LONG length, void* context) {
    auto* dlg = static_cast<CTarnickDlg*>(context);
    if (dlg->m_stream.IsOpen()) {
        const int mode = dlg->m_stream.GetMode();
        if (mode == 2 || mode == 4)
            dlg->m_stream.SetNextFrameJpeg(data, static_cast<int>(length));
    }
}

} // namespace

// The rate the server announces: whole frames per second from the camera's interval. An
// interval of 0 or less names no rate; the server then announces a common one.
int CTarnickDlg::ServerFrameRate(LONGLONG frameInterval) {
    if (frameInterval <= 0)
        return kFallbackServerFps;
    return static_cast<int>(10000000.0 / static_cast<double>(frameInterval) + 0.5);
}

void CTarnickDlg::MessageBox(const char* message) {
    AfxMessageBox(message, this);
}

// Window thread. Connects the device of the record, keeps a frame buffer of its format and
// registers FrameCallback; the graph is not started here.
int CTarnickDlg::ConnectCamera(const tVideoDev& device) {
    // An empty record leaves the camera object untouched.
    if (device.szDevicePath[0] == '\0' && device.szFriendlyName[0] == '\0')
        return -1;
    // Registered before the graph is built: that is when an MJPEG camera's pictures become
    // visible ahead of the decoder.
    m_video.SetCompressedSampleCallBack(CompressedFrameCallback, this);
    const int result = device.szDevicePath[0] != '\0'
                           ? m_video.Open(OPEN_DEVICE, device.szDevicePath, -1)
                           : m_video.Open(OPEN_DEVICE, device.szFriendlyName, device.nIndex);
    if (result != 0)
        return -1;

    char savedPath[sizeof(m_device.szDevicePath)];
    std::memcpy(savedPath, m_device.szDevicePath, sizeof(savedPath));
    tVideoInf current{};
    const BOOL hasCurrent = m_video.GetVideoInf(current);

    // The saved device (in any letter case) gets the saved format back; another device keeps
    // the format it opened with. A device with no readable format has nothing to compare
    // with: the saved format is tried once.
    const bool sameDevice =
        savedPath[0] != '\0' && ::strcasecmp(savedPath, device.szDevicePath) == 0;
    if (sameDevice && (!hasCurrent || !sameFormat(current, m_videoInf))) {
        if (m_video.CaptureInit(m_videoInf.nWidth, m_videoInf.nHeight, m_videoInf.nBitCount,
                                m_videoInf.llFrameInterval) != 0 &&
            m_video.GetVideoInf(current))
            m_video.CaptureInit(current.nWidth, current.nHeight, current.nBitCount,
                                current.llFrameInterval);
        FitWindowToFrame();
    }
    if (m_video.GetVideoInf(current))
        m_videoInf = current;
    m_device = device;

    std::free(m_pFrameBuf);
    m_pFrameBuf = nullptr;
    const BITMAPINFO* format = m_video.GetBitmapInfoPtr();
    m_pFrameBuf = format ? AllocFrameBuffer(&format->bmiHeader) : nullptr;
    if (!m_pFrameBuf)
        return -2;
    FitWindowToFrame();
    m_video.SetSampleCallBack(FrameCallback, this);
    m_video.GetCurrentImage(nullptr, 0);
    return 0;
}

void CTarnickDlg::OnCameraConnect() {
    if (IsCameraConnected()) {
        MessageBox("カメラに接続されています");
        return;
    }
    if (m_video.GetOpenMode() == OPEN_FILE) {
        MessageBox("再生ファイルがオープンされています");
        return;
    }
    CDevSelDlg dialog(this);
    if (dialog.DoModal() != IDOK)
        return;
    switch (ConnectCamera(dialog.m_selected)) {
    case -1:
        MessageBox("デバイスに接続できません");
        break;
    case -2:
        MessageBox("画像の情報を取得できません");
        break;
    default:
        SaveDeviceSettings();
        SaveVideoSettings();
        break;
    }
}

void CTarnickDlg::OnCameraRelease() {
    if (IsCameraConnected()) {
        if (IsCapturing())
            m_video.CaptureStop();
        m_video.Close();
    } else if (m_video.GetOpenMode() == OPEN_FILE) {
        m_video.Close();
    }
}

void CTarnickDlg::StartCapture() {
    if (!IsCameraConnected()) {
        MessageBox("カメラに接続されていません");
        return;
    }
    if (IsCapturing()) {
        MessageBox("キャプチャ実行中です");
        return;
    }
    if (m_video.CaptureStart(nullptr, nullptr) != 0)
        MessageBox("キャプチャ開始できません");
}

void CTarnickDlg::OnCaptureStart() {
    StartCapture();
}

void CTarnickDlg::OnCaptureStop() {
    if (IsCameraConnected() && IsCapturing())
        m_video.CaptureStop();
}

// Opens the transport as the capture server with the camera's size and rate, after handing
// it the optional key and listening address from the settings.
int CTarnickDlg::OpenCaptureServer(int port) {
    const BITMAPINFO* format = m_video.GetBitmapInfoPtr();
    if (!format)
        return -1;
    m_stream.SetAccessKey(m_accessKey);
    m_stream.SetListenAddress(m_listenAddress);
    if (m_stream.SetWebRtcViewer(m_janusUrl, m_webRtcMountpoint) != 0)
        std::fprintf(stderr, "tarnick: WEBRTC JANUS_URL is not an http(s):// or ws(s):// URL; "
                             "the page shows MJPEG only\n");
    const int result =
        m_stream.OpenServer(port, format->bmiHeader.biWidth, format->bmiHeader.biHeight,
                            ServerFrameRate(m_video.GetFrameInterval()));
    if (result == 0)
        StartPublishing(); // beside serving, when the settings name where to
    return result;
}

void CTarnickDlg::StartServer() {
    if (!IsCameraConnected()) {
        MessageBox("カメラに接続されていません");
        return;
    }
    if (!IsCapturing()) {
        MessageBox("キャプチャが実行されていません");
        return;
    }
    CConnectSetDlg dialog(this);
    dialog.m_host = kLoopbackHost;
    dialog.m_port = static_cast<UINT>(m_connectPort);
    dialog.m_hostLocked = TRUE;
    dialog.m_autoStartCheck = m_autoStart == 1;
    if (dialog.DoModal() != IDOK)
        return;
    const int port = static_cast<int>(dialog.m_port);
    if (dialog.m_autoStartCheck)
        m_autoStart = 1;
    else if (m_autoStart == 1)
        m_autoStart = 0;
    if (OpenCaptureServer(port) != 0) {
        MessageBox("サーバーの準備ができません");
        return;
    }
    m_connectHost = kLoopbackHost;
    m_connectPort = port;
    SaveNetworkSettings();
}

void CTarnickDlg::OnServerStart() {
    StartServer();
}

void CTarnickDlg::OnServerStop() {
    if (!IsServing()) {
        MessageBox("サーバーが開始されていません。");
        return;
    }
    StopPublishing();
    if (m_stream.IsRunning())
        m_stream.Stop();
    m_stream.Close();
}

void CTarnickDlg::OnImageProperty() {
    if (!IsCameraConnected()) {
        MessageBox("カメラに接続されていません");
        return;
    }
    m_video.ShowPropertyDialog(windowHandle(), "画像プロパティ設定");
}

// Rebuilds the capture graph for a format and the frame buffer for what the camera then
// delivers. A format the camera refuses is reported (-1) after the previous format has been
// put back, so the graph and the buffer always match whatever frames come next.
int CTarnickDlg::ApplyStreamFormat(const tVideoInf& format) {
    const bool refused = m_video.CaptureInit(format.nWidth, format.nHeight, format.nBitCount,
                                             format.llFrameInterval) != 0;
    if (refused)
        m_video.CaptureInit(m_videoInf.nWidth, m_videoInf.nHeight, m_videoInf.nBitCount,
                            m_videoInf.llFrameInterval);
    CVideo::ReleaseBitmap(m_pFrameBuf);
    m_pFrameBuf = nullptr;
    if (const BITMAPINFO* current = m_video.GetBitmapInfoPtr())
        m_pFrameBuf = CVideo::DupBitmap(current);
    if (!m_pFrameBuf)
        return -1;
    FitWindowToFrame();
    return refused ? -1 : 0;
}

void CTarnickDlg::ChangeStreamFormat() {
    if (!IsCameraConnected()) {
        MessageBox("カメラに接続されていません");
        return;
    }
    if (IsCapturing())
        m_video.CaptureStop();
    tVideoInf format{};
    if (m_video.GetStreamFormat(format, windowHandle(), "ストリーム形式設定") != 0)
        return;
    if (ApplyStreamFormat(format) == -1) {
        MessageBox("画像の情報を取得できません");
        return;
    }
    m_videoInf = format;
    SaveVideoSettings();
}

void CTarnickDlg::OnStreamFormat() {
    ChangeStreamFormat();
}

// Runs on whichever thread delivers the frame: the camera's streaming thread, the
// transport's delivery thread, or the window thread when GetCurrentImage hands over a
// buffered picture. It takes no lock and allocates nothing; the server copies the frame
// before it returns and DrawFrame never waits for the window thread.
void FrameCallback(unsigned char* frame, void* context) {
    auto* dlg = static_cast<CTarnickDlg*>(context);
    // The frame buffer has the format of the frames coming in (it changes only while no frame
    // comes): the server takes only frames of its own format, never reading past this one.
    const BITMAPINFO* buffer = dlg->m_pFrameBuf;
    if (buffer && dlg->m_stream.IsOpen()) {
        const int mode = dlg->m_stream.GetMode();
        if (mode == 2 || mode == 4)
            dlg->m_stream.AddFrameOf(&buffer->bmiHeader, frame);
    }
    // Publishing, when it runs, copies the frame into a free slot of its own or drops it.
    if (buffer)
        dlg->m_publisher.pushFrame(frame, buffer->bmiHeader.biWidth, buffer->bmiHeader.biHeight,
                                   buffer->bmiHeader.biBitCount);
    // The window thread watches for a camera that has gone silent.
    dlg->m_lastCameraFrameMs.store(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now().time_since_epoch())
                                       .count(),
                                   std::memory_order_relaxed);
    dlg->DrawFrame(frame);
}

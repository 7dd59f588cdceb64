// CTarnickDlg publishing: while the capture server is open, the camera is also encoded once as
// H.264 for the RTMP(S) server of the PUBLISH settings and the WebRTC gateway of [WEBRTC]
// RTP_URL (Publisher: one encoder, one sink for each); the tray's tooltip says how the RTMP
// publication goes. Window thread, except where FrameCallback hands frames over
// (TarnickDlgCamera.cpp).
#include "TarnickDlg.h"
#include "resource.h"

#include <platform/text.h>

#include <cstdio>

namespace {

// After the program's name in the tooltip, when nothing else needs saying.
constexpr const char* kTipPublishing = "配信中";
constexpr const char* kTipWaitingForPublish = "%1 への配信を待っています";

} // namespace

// Starts publishing at the size and rate the server was opened with; nothing when neither
// output is set. Called right after the capture server opened.
void CTarnickDlg::StartPublishing() {
    StopPublishing();
    const BITMAPINFO* format = m_video.GetBitmapInfoPtr();
    if ((m_publishSettings.url.empty() && m_publishSettings.rtpUrl.empty()) || !format)
        return;
    m_publisher.start(m_publishSettings, format->bmiHeader.biWidth, format->bmiHeader.biHeight,
                      format->bmiHeader.biBitCount, ServerFrameRate(m_video.GetFrameInterval()));
    followPublishing();
}

// Called before the capture server closes. Returns at once even when the network hangs.
void CTarnickDlg::StopPublishing() {
    if (!m_publisher.running())
        return;
    m_publisher.stop();
    std::fprintf(stderr, "tarnick: publishing stopped\n");
    std::fflush(stderr);
    followPublishing();
}

// On the unattended tick: the tooltip follows publishing's state.
void CTarnickDlg::followPublishing() {
    const Publisher::State state = m_publisher.state();
    if (state == m_shownPublishState)
        return;
    m_shownPublishState = state;
    setTrayTip(m_trayTipBase);
}

// The tooltip to show for `tip`: when the program has nothing else to say (its name alone)
// and publishing runs, what publishing does.
QString CTarnickDlg::withPublishingTip(const QString& tip) const {
    const QString name = QString::fromUtf8(text::kAppName);
    if (!(tip.isEmpty() || tip == name))
        return tip;
    switch (m_publisher.state()) {
    case Publisher::State::Publishing:
        return name + QStringLiteral(": ") + QString::fromUtf8(kTipPublishing);
    case Publisher::State::Connecting:
    case Publisher::State::Waiting:
        return name + QStringLiteral(": ") +
               QString::fromUtf8(kTipWaitingForPublish)
                   .arg(QString::fromStdString(m_publisher.target()));
    case Publisher::State::Off:
        break;
    }
    return tip;
}

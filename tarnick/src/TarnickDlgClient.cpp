// CTarnickDlg client side: connecting to a capture server (or any MJPEG camera) and showing
// its frames.
#include "ConnectSetDlg.h"
#include "FrameBuffer.h"
#include "TarnickDlg.h"
#include "resource.h"

#include <cstdlib>

// Window thread. Sizes the frame buffer from the header the server announced and starts
// delivery; the buffer is replaced before Run, so no frame of this connection can see it
// change. A header that announces no picture gives no buffer and no delivery (-1).
int CTarnickDlg::StartReceive() {
    const int failing = m_failReceiveStarts > 0 ? m_failReceiveStartsWith : 0;
    if (failing != 0)
        --m_failReceiveStarts;
    BITMAPINFOHEADER header{};
    m_stream.GetBitmapInfoHdr(&header);
    std::free(m_pFrameBuf);
    // A received header carries no colour table: formats that need one are not shown.
    m_pFrameBuf =
        FrameBufferColourBytes(header) == 0 && failing != -1 ? AllocFrameBuffer(&header) : nullptr;
    if (!m_pFrameBuf)
        return -1;
    FitWindowToFrame();
    if (failing == -2 || m_stream.Run(FrameCallback, this) != 0)
        return -2;
    return 0;
}

void CTarnickDlg::failReceiveStartsForTesting(int count, int result) {
    m_failReceiveStarts = count;
    m_failReceiveStartsWith = result;
}

void CTarnickDlg::ConnectServer() {
    if (m_video.IsRunning()) {
        MessageBox("キャプチャ実行中です");
        return;
    }
    if (m_connectHost.IsEmpty())
        m_connectHost = kLoopbackHost;
    CConnectSetDlg dialog(this);
    dialog.m_host = m_connectHost;
    dialog.m_port = static_cast<UINT>(m_connectPort);
    dialog.m_hostLocked = FALSE;
    dialog.m_autoStartCheck = m_autoStart == 2;
    if (dialog.DoModal() != IDOK)
        return;
    if (dialog.m_autoStartCheck)
        m_autoStart = 2;
    else if (m_autoStart == 2)
        m_autoStart = 0;
    // The window keeps painting while the server answers; closing it meanwhile ends the
    // attempt and then the program.
    const int opened = OpenClientResponsive(dialog.m_host, static_cast<int>(dialog.m_port));
    if (m_endPending) {
        m_endPending = false;
        done(m_pendingEnd);
        return;
    }
    if (opened != 0) {
        MessageBox("サーバーに接続できません");
        return;
    }
    switch (StartReceive()) {
    case -1:
        // The server announced nothing that can be shown: no connection is kept.
        m_stream.Close();
        MessageBox("サーバーに接続できません");
        return;
    case -2:
        MessageBox("受信開始できません");
        return;
    default:
        break;
    }
    m_connectHost = dialog.m_host;
    m_connectPort = static_cast<int>(dialog.m_port);
    SaveNetworkSettings();
}

void CTarnickDlg::OnServerConnect() {
    ConnectServer();
}

void CTarnickDlg::OnServerDisconnect() {
    if (!IsReceiving())
        return;
    if (m_stream.IsRunning())
        m_stream.Stop();
    m_stream.Close();
}

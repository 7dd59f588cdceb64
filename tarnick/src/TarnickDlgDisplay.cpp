// CTarnickDlg display: drawing frames into the back buffer, the status line, layout, fitting.
#include "TarnickDlg.h"

#include "FrameSignal.h"
#include "PictureView.h"

#include <QLabel>
#include <QLineEdit>

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kMinimumWindow = 300;
constexpr int kFramesPerStatus = 10;

// Colour-table bytes between the header and the rows, counted by bit depth alone.
int colourTableBytes(WORD bitCount) {
    switch (bitCount) {
    case 1:
        return 8;
    case 4:
        return 64;
    case 8:
        return 1024;
    default:
        return 0;
    }
}

int strideOf(const BITMAPINFOHEADER& header) {
    const long long bits = static_cast<long long>(header.biWidth) * header.biBitCount;
    return bits <= 0 ? 0 : static_cast<int>(((bits + 7) / 8 + 3) / 4 * 4);
}

} // namespace

// Runs on the thread that delivers the frame (the camera's streaming thread or the
// transport's delivery thread). It never waits for the window thread: the picture goes into
// the back buffer under m_backLock and the window thread is woken through m_frameSignal.
void CTarnickDlg::DrawFrame(const unsigned char* bits) {
    BITMAPINFO* frame = m_pFrameBuf;
    if (!frame || !bits)
        return;
    const BITMAPINFOHEADER& header = frame->bmiHeader;
    BYTE* pixels = reinterpret_cast<BYTE*>(frame) + sizeof(BITMAPINFOHEADER) +
                   colourTableBytes(header.biBitCount);
    // The buffer holds stride x height bytes of rows; a header that asks for more would
    // write past it, so such a frame is refused. An RGB header may leave biSizeImage at 0:
    // the rows are then the whole pixel area.
    const long long area = static_cast<long long>(strideOf(header)) * std::abs(header.biHeight);
    const long long bytes = header.biSizeImage ? header.biSizeImage : area;
    if (bytes > area || area == 0) {
        m_refusedFrames.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    std::memcpy(pixels, bits, static_cast<size_t>(bytes));
    {
        std::lock_guard guard(m_backLock);
        stretchIntoBackBuffer(pixels, header);
    }

    if (++m_frameCount == kFramesPerStatus) {
        const DWORD now = m_tick();
        const int per = static_cast<int>(now - m_lastTick) / kFramesPerStatus;
        m_lastTick = now;
        m_frameCount = 0;
        const int rate = per != 0 ? 1000 / per : 0;
        std::lock_guard guard(m_statusLock);
        std::snprintf(m_statusText, sizeof(m_statusText), "W=%d, H=%d, Rate=%.2ffps",
                      static_cast<int>(header.biWidth), static_cast<int>(header.biHeight),
                      static_cast<double>(rate));
        m_statusPending = true;
    }
    m_frameSignal->notify();
}

// Frame thread, under m_backLock. Bottom-up 24- or 32-bit DIB rows become the back
// buffer's top-down RGB32 picture; libyuv flips while converting (negative height).
void CTarnickDlg::stretchIntoBackBuffer(const BYTE* pixels, const BITMAPINFOHEADER& header) {
    if (m_backBuffer.isNull())
        return;
    const int width = header.biWidth;
    const int height = std::abs(header.biHeight);
    const int flip = header.biHeight > 0 ? -height : height;
    const int stride = strideOf(header);
    const int dw = std::min(m_dispWidth, m_backBuffer.width());
    const int dh = std::min(m_dispHeight, m_backBuffer.height());
    if (width <= 0 || height <= 0 || dw <= 0 || dh <= 0)
        return;

    const bool oneToOne = width == dw && height == dh;
    QImage& target = oneToOne ? m_backBuffer : m_scratch;
    if (!oneToOne && (m_scratch.width() != width || m_scratch.height() != height))
        m_scratch = QImage(width, height, QImage::Format_RGB32); // once per format change
    if (target.isNull())
        return;
    uint8_t* out = target.bits();
    const int outStride = static_cast<int>(target.bytesPerLine());
    if (header.biBitCount == 24)
        libyuv::RGB24ToARGB(pixels, stride, out, outStride, width, flip);
    else if (header.biBitCount == 32)
        libyuv::ARGBCopy(pixels, stride, out, outStride, width, flip);
    else
        return; // other depths are not delivered by any source
    if (!oneToOne)
        libyuv::ARGBScale(m_scratch.constBits(), static_cast<int>(m_scratch.bytesPerLine()), width,
                          height, m_backBuffer.bits(),
                          static_cast<int>(m_backBuffer.bytesPerLine()), dw, dh,
                          libyuv::kFilterBilinear);
}

// Window thread: shows what the frame threads left behind.
void CTarnickDlg::onFrameSignal() {
    char text[sizeof(m_statusText)];
    bool pending;
    {
        std::lock_guard guard(m_statusLock);
        pending = m_statusPending;
        m_statusPending = false;
        std::memcpy(text, m_statusText, sizeof(text));
    }
    if (pending)
        m_status->setText(QString::fromUtf8(text));
    m_picture->update();
}

QSize CTarnickDlg::outerSize() const {
    return frameGeometry().size();
}

// Resizes the window so that its outer size (frame included) becomes width x height.
void CTarnickDlg::resizeOuter(int width, int height) {
    const QSize frame = frameGeometry().size() - size();
    resize(width - frame.width(), height - frame.height());
}

void CTarnickDlg::LayoutControls() {
    const QSize outer = outerSize();
    if (outer.width() < kMinimumWindow || outer.height() < kMinimumWindow) {
        resizeOuter(std::max(outer.width(), kMinimumWindow),
                    std::max(outer.height(), kMinimumWindow));
        return; // the resize lays out again
    }
    const int cw = client()->width();
    const int ch = client()->height();
    const int margin = m_label->geometry().left();
    const QRect edit = m_status->geometry();
    m_status->resize(std::max(0, cw - margin - edit.left()), edit.height());
    const QRect picture = m_picture->geometry();
    m_picture->resize(std::max(0, cw - margin - picture.left()),
                      std::max(0, ch - margin - picture.top()));
    if (m_inTray)
        hide();
    else
        update();
}

void CTarnickDlg::FitWindowToFrame() {
    if (!m_pFrameBuf)
        return;
    m_edgeX = 2;
    m_edgeY = 2;
    const QSize outer = outerSize();
    const int cw = client()->width();
    const int ch = client()->height();
    const int bx = static_cast<int>((outer.width() - cw) * 0.5 + 0.5);
    const QRect picture = m_picture->geometry();
    const int rightMargin = cw - (picture.left() + picture.width());
    const int bottomMargin = ch - (picture.top() + picture.height());
    const int w = m_pFrameBuf->bmiHeader.biWidth;
    const int h = std::abs(m_pFrameBuf->bmiHeader.biHeight);

    {
        std::lock_guard guard(m_backLock);
        m_dispWidth = w;
        m_dispHeight = h;
        m_backBuffer = QImage(std::max(w, 1), std::max(h, 1), QImage::Format_RGB32);
        m_backBuffer.fill(Qt::black);
    }
    m_picture->resize(w + 2 * m_edgeX, h + 2 * m_edgeY);
    resizeOuter(picture.left() + w + 2 * m_edgeX + rightMargin + 2 * bx,
                picture.top() + h + 2 * m_edgeY + bottomMargin + (outer.height() - ch));
    m_picture->update();
}

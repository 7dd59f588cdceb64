// CTarnickDlg display: drawing frames into the back buffer, the status line, layout, fitting.
#include "TarnickDlg.h"

#include "FrameSignal.h"
#include "PictureView.h"

#include <QEvent>
#include <QGuiApplication>
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

// Where the rows of a frame buffer start: after the header and the colour table.
BYTE* framePixels(BITMAPINFO* frame) {
    return reinterpret_cast<BYTE*>(frame) + sizeof(BITMAPINFOHEADER) +
           colourTableBytes(frame->bmiHeader.biBitCount);
}

// Platforms that draw into memory only: nobody ever sees such a window's picture, so it is
// converted only when something paints it (a grab).
bool platformHasNoScreen() {
    const QString name = QGuiApplication::platformName();
    return name == QLatin1String("offscreen") || name == QLatin1String("minimal");
}

} // namespace

// Runs on the thread that delivers the frame (the camera's streaming thread or the
// transport's delivery thread). It never waits for the window thread: the frame goes into
// the frame buffer under m_backLock and the window thread is woken through m_frameSignal.
// While somebody can see the window the frame is converted into the back buffer here and
// every frame wakes the window thread to paint it; while nobody can, the frame is only kept
// (the window converts the newest one when it is shown or painted) and the window thread
// wakes only when the status line changes.
void CTarnickDlg::DrawFrame(const unsigned char* bits) {
    BITMAPINFO* frame = m_pFrameBuf;
    if (!frame || !bits)
        return;
    const BITMAPINFOHEADER& header = frame->bmiHeader;
    BYTE* pixels = framePixels(frame);
    // The buffer holds stride x height bytes of rows; a header that asks for more would
    // write past it, so such a frame is refused. An RGB header may leave biSizeImage at 0:
    // the rows are then the whole pixel area.
    const long long area = static_cast<long long>(strideOf(header)) * std::abs(header.biHeight);
    const long long bytes = header.biSizeImage ? header.biSizeImage : area;
    if (bytes > area || area == 0) {
        m_refusedFrames.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const bool seen = m_pictureSeen.load(std::memory_order_acquire);
    {
        // The window thread's catch-up reads the frame buffer under the same lock.
        std::lock_guard guard(m_backLock);
        std::memcpy(pixels, bits, static_cast<size_t>(bytes));
        if (seen) {
            stretchIntoBackBuffer(pixels, header);
            m_pictureStale = false;
        } else {
            m_pictureStale = true;
        }
    }

    bool statusChanged = false;
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
        statusChanged = true;
    }
    // A window shown while this frame was being kept is woken too, so that it paints it.
    if (seen || statusChanged || m_pictureSeen.load(std::memory_order_acquire))
        m_frameSignal->notify();
}

// Frame thread, under m_backLock. Bottom-up 24- or 32-bit DIB rows become the back
// buffer's top-down RGB32 picture; libyuv flips while converting (negative height).
void CTarnickDlg::stretchIntoBackBuffer(const BYTE* pixels, const BITMAPINFOHEADER& header) {
    if (m_backBuffer.isNull()) {
        // Made by the first conversion after fitting released it (once per format), so a
        // window nobody sees holds no picture's worth of pixels.
        if (m_dispWidth <= 0 || m_dispHeight <= 0)
            return;
        m_backBuffer = QImage(m_dispWidth, m_dispHeight, QImage::Format_RGB32);
        if (m_backBuffer.isNull())
            return;
        m_backBuffer.fill(Qt::black);
    }
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
    m_screenFrames.fetch_add(1, std::memory_order_relaxed);
}

// Window thread, under m_backLock (PictureView's paint): the newest frame an unseen window
// kept becomes the picture.
void CTarnickDlg::catchUpPicture() {
    if (!m_pictureStale || !m_pFrameBuf)
        return;
    m_pictureStale = false;
    stretchIntoBackBuffer(framePixels(m_pFrameBuf), m_pFrameBuf->bmiHeader);
}

// Window thread: follows whether anyone can see the picture. A window hidden in the tray,
// minimised, or drawn on a platform without a screen is not seen. Becoming seen paints at
// once, and the paint converts the newest frame kept meanwhile.
void CTarnickDlg::followVisibility() {
    const bool seen = isVisible() && !isMinimized() && !platformHasNoScreen();
    const bool was = m_pictureSeen.exchange(seen, std::memory_order_acq_rel);
    if (seen && !was)
        m_picture->update();
}

void CTarnickDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    followVisibility();
}

void CTarnickDlg::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    // A hide the window system sends (an unmapped window) leaves isVisible() as it was.
    m_pictureSeen.store(false, std::memory_order_release);
}

void CTarnickDlg::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        followVisibility();
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
    if (m_pictureSeen.load(std::memory_order_acquire))
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
        // Until a frame is converted the picture is black (PictureView paints it so); the
        // back buffer of the new size is made by that conversion.
        m_backBuffer = QImage();
        // A new buffer's rows hold no frame yet.
        m_pictureStale = false;
    }
    m_picture->resize(w + 2 * m_edgeX, h + 2 * m_edgeY);
    resizeOuter(picture.left() + w + 2 * m_edgeX + rightMargin + 2 * bx,
                picture.top() + h + 2 * m_edgeY + bottomMargin + (outer.height() - ch));
    m_picture->update();
}

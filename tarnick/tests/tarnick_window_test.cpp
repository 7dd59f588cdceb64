// The main window: drawing frames, the status line's rate, fitting and the layout minimum.
#include "PictureView.h"

#include "TestSupport.h"
#include <QLabel>

#include <QKeyEvent>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <algorithm>

#include <thread>
#include <vector>

namespace {

// What the window paints of the picture (its picture control's grab, inside the frame line).
QImage paintedPicture(CTarnickDlg& dlg) {
    return dlg.m_picture->grab()
        .toImage()
        .convertToFormat(QImage::Format_RGB32)
        .copy(dlg.m_edgeX, dlg.m_edgeY, dlg.m_dispWidth, dlg.m_dispHeight);
}

using testsupport::makeFrameBuffer;
using testsupport::pumpUntil;
using testsupport::SettingsFile;

class WindowTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dlg.Create());
        dlg.setTickSource([this] { return tick; });
    }
    void TearDown() override { dlg.EndDialog(IDOK); }

    // Draws ten frames with the clock standing at `at` for the tenth.
    void drawTen(DWORD at) {
        std::vector<unsigned char> pixels(dlg.m_pFrameBuf->bmiHeader.biSizeImage, 0x40);
        tick = at;
        for (int i = 0; i < 10; ++i)
            dlg.DrawFrame(pixels.data());
    }
    QString shownStatus() {
        pumpUntil([&] { return !dlg.statusText().isEmpty(); });
        return dlg.statusText();
    }

    SettingsFile settings;
    CTarnickDlg dlg;
    DWORD tick = 0;
};

TEST_F(WindowTest, StatusShowsWholeRatesOfTheLastTenFrames) {
    dlg.m_pFrameBuf = makeFrameBuffer(320, 240);
    dlg.m_lastTick = 0;
    drawTen(500);
    EXPECT_EQ(shownStatus(), "W=320, H=240, Rate=20.00fps");

    dlg.m_status->clear();
    drawTen(500 + 670);
    EXPECT_EQ(shownStatus(), "W=320, H=240, Rate=14.00fps");

    dlg.m_status->clear();
    drawTen(500 + 670 + 9); // under 10 ms for ten frames: no rate can be given
    EXPECT_EQ(shownStatus(), "W=320, H=240, Rate=0.00fps");
}

TEST_F(WindowTest, FramesReachTheBackBufferTopRowFirst) {
    dlg.m_pFrameBuf = makeFrameBuffer(4, 2);
    dlg.FitWindowToFrame();
    // Bottom-up BGR rows: the first row in memory is the bottom of the picture.
    unsigned char rows[2 * 12] = {};
    for (int x = 0; x < 4; ++x) {
        rows[x * 3 + 2] = 0xFF;      // bottom row red
        rows[12 + x * 3 + 0] = 0xFF; // top row blue
    }
    dlg.DrawFrame(rows);
    const QImage picture = paintedPicture(dlg);
    EXPECT_EQ(picture.pixel(0, 0) & 0xFFFFFF, 0x0000FFu);
    EXPECT_EQ(picture.pixel(3, 1) & 0xFFFFFF, 0xFF0000u);
}

TEST_F(WindowTest, FramesFromAnotherThreadReachTheWindowWithoutWaitingForIt) {
    dlg.m_pFrameBuf = makeFrameBuffer(160, 120);
    dlg.FitWindowToFrame();
    QCoreApplication::processEvents();
    // A grey picture with one white pixel at the top left (the last row in memory).
    const int stride = 160 * 3;
    std::vector<unsigned char> pixels(dlg.m_pFrameBuf->bmiHeader.biSizeImage, 0x80);
    std::fill_n(pixels.begin() + 119 * stride, 3, 0xFF);
    ASSERT_TRUE(dlg.statusText().isEmpty());
    std::thread source([&] {
        for (int i = 0; i < 10; ++i)
            dlg.DrawFrame(pixels.data());
    });
    source.join(); // the frame thread finished without the window thread running once
    // Nothing reached the status line yet: only the wake-up can carry it there.
    EXPECT_TRUE(dlg.statusText().isEmpty());
    EXPECT_TRUE(pumpUntil([&] { return !dlg.statusText().isEmpty(); }));
    EXPECT_TRUE(dlg.statusText().startsWith("W=160, H=120, Rate="));
    const QImage picture = paintedPicture(dlg);
    EXPECT_EQ(picture.pixel(0, 0) & 0xFFFFFF, 0xFFFFFFu);
    EXPECT_EQ(picture.pixel(1, 0) & 0xFFFFFF, 0x808080u);
    EXPECT_EQ(picture.pixel(159, 119) & 0xFFFFFF, 0x808080u);
}

TEST_F(WindowTest, WithoutAScreenFramesAreKeptAndOnlyAPaintConvertsTheNewest) {
    dlg.m_pFrameBuf = makeFrameBuffer(64, 48);
    dlg.FitWindowToFrame();
    pumpUntil([] { return false; }, 100);
    ASSERT_TRUE(dlg.isVisible());
    EXPECT_FALSE(dlg.pictureSeen()); // the tests' platform draws into memory only
    const long paints = dlg.picturePaints();
    for (const unsigned char level : {0x10, 0x20, 0x70}) {
        std::vector<unsigned char> pixels(dlg.m_pFrameBuf->bmiHeader.biSizeImage, level);
        for (int i = 0; i < 10; ++i)
            dlg.DrawFrame(pixels.data());
    }
    EXPECT_TRUE(pumpUntil([&] { return dlg.statusText().startsWith("W=64, H=48, Rate="); }));
    pumpUntil([] { return false; }, 100);
    EXPECT_EQ(dlg.screenFrames(), 0);
    EXPECT_EQ(dlg.picturePaints(), paints);
    {
        std::lock_guard guard(dlg.m_backLock);
        EXPECT_TRUE(dlg.m_backBuffer.isNull()); // no picture's worth of pixels is held
    }

    EXPECT_EQ(paintedPicture(dlg).pixel(5, 5) & 0xFFFFFF, 0x707070u); // the newest frame
    EXPECT_EQ(dlg.screenFrames(), 1);
    EXPECT_EQ(paintedPicture(dlg).pixel(5, 5) & 0xFFFFFF, 0x707070u);
    EXPECT_EQ(dlg.screenFrames(), 1); // nothing new: nothing converted again

    // A kept frame of the old format is not painted into a picture of a new one.
    std::vector<unsigned char> pixels(dlg.m_pFrameBuf->bmiHeader.biSizeImage, 0x50);
    dlg.DrawFrame(pixels.data());
    dlg.m_pFrameBuf->bmiHeader.biWidth = 32;
    dlg.FitWindowToFrame();
    EXPECT_EQ(paintedPicture(dlg).pixel(5, 5) & 0xFFFFFF, 0u);
    EXPECT_EQ(dlg.screenFrames(), 1);
}

TEST_F(WindowTest, FramesThatDoNotFitTheBufferAreRefused) {
    dlg.DrawFrame(nullptr); // no frame buffer: nothing happens
    std::vector<unsigned char> pixels(64, 0xFF);
    dlg.DrawFrame(pixels.data());
    EXPECT_EQ(dlg.refusedFrames(), 0);

    dlg.m_pFrameBuf = makeFrameBuffer(4, 4);
    dlg.FitWindowToFrame();
    std::vector<unsigned char> fitting(48, 0x40);
    dlg.DrawFrame(fitting.data());
    EXPECT_EQ(dlg.refusedFrames(), 0);
    dlg.m_pFrameBuf->bmiHeader.biSizeImage = 1 << 20; // far larger than the buffer's rows
    dlg.DrawFrame(pixels.data());                     // must not write past the buffer
    EXPECT_EQ(dlg.refusedFrames(), 1);
    // The refused frame left the picture as it was.
    EXPECT_EQ(paintedPicture(dlg).pixel(0, 0) & 0xFFFFFF, 0x404040u);
}

TEST_F(WindowTest, FitMakesThePictureExactlyTheFrameSize) {
    dlg.FitWindowToFrame(); // no frame buffer: nothing changes
    dlg.m_pFrameBuf = makeFrameBuffer(352, 288);
    dlg.FitWindowToFrame();
    pumpUntil([&] { return dlg.m_picture->width() == 356; }, 2000);
    EXPECT_EQ(dlg.m_dispWidth, 352);
    EXPECT_EQ(dlg.m_dispHeight, 288);
    EXPECT_EQ(dlg.m_picture->width(), 352 + 2 * dlg.m_edgeX);
    EXPECT_EQ(dlg.m_picture->height(), 288 + 2 * dlg.m_edgeY);
}

TEST_F(WindowTest, WindowSpringsBackToTheMinimumSize) {
    dlg.resize(120, 90);
    pumpUntil([&] { return dlg.width() >= 300 && dlg.height() >= 300; }, 2000);
    EXPECT_GE(dlg.frameGeometry().width(), 300);
    EXPECT_GE(dlg.frameGeometry().height(), 300);
    // The picture fills the client area down to the label's margin.
    const int margin = dlg.m_label->geometry().left();
    const QRect picture = dlg.m_picture->geometry();
    EXPECT_EQ(picture.right() + 1 + margin, dlg.m_picture->parentWidget()->width());
}

void drawCameraFrame(BYTE* frame, void* window) {
    static_cast<CTarnickDlg*>(window)->DrawFrame(frame);
}

TEST_F(WindowTest, CameraFramesAreDrawnOnTheStreamingThreadAndTheCloseStopsTheCameraFirst) {
    ASSERT_EQ(dlg.m_video.Open(OPEN_DEVICE, "ormidal:test-pattern", -1), 0);
    ASSERT_EQ(dlg.m_video.CaptureInit(320, 240, 24, 333333), 0);
    dlg.m_pFrameBuf = CVideo::DupBitmap(dlg.m_video.GetBitmapInfoPtr());
    dlg.FitWindowToFrame();
    dlg.m_video.SetSampleCallBack(drawCameraFrame, &dlg);
    ASSERT_EQ(dlg.m_video.CaptureStart(nullptr, nullptr), 0);
    EXPECT_TRUE(pumpUntil([&] { return dlg.statusText().startsWith("W=320, H=240, Rate="); }));
    EXPECT_NE(paintedPicture(dlg).pixel(160, 120) & 0xFFFFFF, 0u); // the pattern, not black
    // Ending the window while frames flow: the camera stops before the buffers go.
    dlg.EndDialog(IDOK);
    EXPECT_EQ(dlg.m_video.GetOpenMode(), OPEN_CLOSED);
    EXPECT_EQ(dlg.m_pFrameBuf, nullptr);
}

TEST_F(WindowTest, EnterAndEscapeLeaveTheWindowOpen) {
    for (int key : {Qt::Key_Return, Qt::Key_Escape}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(&dlg, &press);
    }
    EXPECT_TRUE(dlg.isVisible());
}

} // namespace

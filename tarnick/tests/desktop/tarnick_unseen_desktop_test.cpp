// A capture server on a real X desktop (run by testing/desktop-session) that nobody looks at:
// hidden in the tray or minimised, it converts and paints no frame while its viewers get every
// one; shown again, it paints the newest frame at once.
#include "CommandTable.h"
#include "UnseenSupport.h"
#include "loopback.h"

#include <QSystemTrayIcon>

#include <gtest/gtest.h>

namespace {

using testsupport::pumpUntil;
using testsupport::SettingsFile;
using unseen::paintedFrameNumber;
using unseen::servedFrameNumber;
using unseen::servedFramesAdvance;

class UnseenDesktop : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pumpUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000))
            << "no notification area on this desktop";
        port = loopback::freePort();
        unseen::writeStartUpServer(settings, port);
        ASSERT_TRUE(dlg.Create());
        ASSERT_TRUE(pumpUntil([&] { return dlg.IsServing(); }, 10000));
    }
    void TearDown() override { dlg.EndDialog(IDOK); }

    // Stops serving and capture: the frame the window kept last is the newest there will be.
    void stopWithTheLastServed(uint32_t* lastServed) {
        ASSERT_TRUE(servedFrameNumber(port, lastServed));
        dlg.OnCommand(ID_CAPTURE_SERVER_STOP);
        dlg.OnCommand(ID_CAPTURE_STOP);
        ASSERT_FALSE(dlg.IsCapturing());
    }

    SettingsFile settings;
    CTarnickDlg dlg;
    int port = 0;
};

TEST_F(UnseenDesktop, AServerInTheTrayPaintsNothingAndShowsTheNewestPictureWhenShown) {
    ASSERT_TRUE(dlg.m_inTray);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_FALSE(dlg.pictureSeen());
    const long paints = dlg.picturePaints();
    uint32_t served = 0;
    ASSERT_TRUE(servedFramesAdvance(port, &served));
    ASSERT_TRUE(servedFramesAdvance(port, &served));
    EXPECT_EQ(dlg.screenFrames(), 0);
    EXPECT_EQ(dlg.picturePaints(), paints);

    uint32_t lastServed = 0;
    stopWithTheLastServed(&lastServed);
    dlg.OnRestoreWindow();
    // Shown, it paints by itself; the paint converts the frame it kept, once.
    ASSERT_TRUE(pumpUntil([&] { return dlg.picturePaints() > paints; }, 10000));
    EXPECT_TRUE(dlg.pictureSeen());
    EXPECT_EQ(dlg.screenFrames(), 1);
    uint32_t shown = 0;
    ASSERT_TRUE(paintedFrameNumber(dlg, &shown)) << "the shown window holds no picture";
    EXPECT_GE(shown, lastServed);
    EXPECT_TRUE(dlg.statusText().startsWith("W=320, H=240, Rate="));
}

TEST_F(UnseenDesktop, AMinimisedServerPaintsNothingAndCatchesUpWhenRestored) {
    // Seen, the window converts frames as they come.
    dlg.OnRestoreWindow();
    ASSERT_TRUE(pumpUntil([&] { return dlg.pictureSeen() && dlg.screenFrames() > 3; }, 10000));

    dlg.showMinimized();
    ASSERT_TRUE(pumpUntil([&] { return dlg.isMinimized(); }));
    EXPECT_FALSE(dlg.pictureSeen());
    pumpUntil([] { return false; }, 200);
    const long converted = dlg.screenFrames();
    const long paints = dlg.picturePaints();
    uint32_t served = 0;
    ASSERT_TRUE(servedFramesAdvance(port, &served));
    EXPECT_EQ(dlg.screenFrames(), converted);
    EXPECT_EQ(dlg.picturePaints(), paints);

    uint32_t lastServed = 0;
    stopWithTheLastServed(&lastServed);
    dlg.showNormal();
    ASSERT_TRUE(pumpUntil([&] { return dlg.picturePaints() > paints; }, 10000));
    EXPECT_TRUE(dlg.pictureSeen());
    EXPECT_EQ(dlg.screenFrames(), converted + 1);
    uint32_t shown = 0;
    ASSERT_TRUE(paintedFrameNumber(dlg, &shown)) << "the restored window holds no picture";
    EXPECT_GE(shown, lastServed);
}

} // namespace

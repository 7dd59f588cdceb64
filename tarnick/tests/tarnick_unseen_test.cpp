// The capture server as a service runs it, on a platform that draws into memory: nobody sees
// its window, so while it serves no frame is converted or painted for the screen; a paint (a
// grab) shows the newest frame at once.
#include "CommandTable.h"
#include "UnseenSupport.h"
#include "loopback.h"

#include <gtest/gtest.h>

namespace {

using testsupport::pumpUntil;
using testsupport::SettingsFile;
using unseen::paintedFrameNumber;
using unseen::servedFramesAdvance;

class UnseenService : public testing::Test {
protected:
    void TearDown() override { dlg.EndDialog(IDOK); }
    SettingsFile settings;
    CTarnickDlg dlg;
};

TEST_F(UnseenService, ServesEveryFrameWithoutPaintingAndAGrabShowsTheNewest) {
    const int port = loopback::freePort();
    unseen::writeStartUpServer(settings, port);
    ASSERT_TRUE(dlg.Create());
    ASSERT_TRUE(pumpUntil([&] { return dlg.IsServing(); }, 10000));
    // Without a notification area the start-up server waits minimised.
    EXPECT_TRUE(dlg.isMinimized());
    EXPECT_FALSE(dlg.pictureSeen());
    uint32_t served = 0;
    ASSERT_TRUE(servedFramesAdvance(port, &served));
    EXPECT_EQ(dlg.screenFrames(), 0);

    // Shown on a platform without a screen, it is still seen by nobody.
    dlg.showNormal();
    ASSERT_TRUE(pumpUntil([&] { return dlg.isVisible() && !dlg.isMinimized(); }));
    pumpUntil([] { return false; }, 200);
    EXPECT_FALSE(dlg.pictureSeen());
    const long converted = dlg.screenFrames();
    const long paints = dlg.picturePaints();
    ASSERT_TRUE(servedFramesAdvance(port, &served));
    EXPECT_EQ(dlg.screenFrames(), converted);
    EXPECT_EQ(dlg.picturePaints(), paints);
    // The status line still follows the frames.
    EXPECT_TRUE(pumpUntil([&] { return dlg.statusText().startsWith("W=320, H=240, Rate="); }));

    // Stopped, the last frame kept is the one a grab paints: no newer one comes to fix it.
    uint32_t lastServed = 0;
    ASSERT_TRUE(unseen::servedFrameNumber(port, &lastServed));
    dlg.OnCommand(ID_CAPTURE_SERVER_STOP);
    dlg.OnCommand(ID_CAPTURE_STOP);
    ASSERT_FALSE(dlg.IsCapturing());
    uint32_t shown = 0;
    ASSERT_TRUE(paintedFrameNumber(dlg, &shown)) << "the grab painted no picture of the pattern";
    EXPECT_GE(shown, lastServed);
    EXPECT_EQ(dlg.screenFrames(), converted + 1);
    // Painted again with nothing new: nothing is converted again.
    uint32_t again = 0;
    ASSERT_TRUE(paintedFrameNumber(dlg, &again));
    EXPECT_EQ(again, shown);
    EXPECT_EQ(dlg.screenFrames(), converted + 1);
}

} // namespace

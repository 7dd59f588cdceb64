// Tests of control and menu enumeration and control values against simulated devices.
#include "media/sources/v4l2/controls.h"
#include "testing/simulated_v4l2.h"

#include <gtest/gtest.h>

namespace v4l2 = platform::media::v4l2;
using v4l2::testing::SimulatedV4l2;

namespace {

const v4l2::Control* find(const std::vector<v4l2::Control>& controls, uint32_t id) {
    for (const auto& c : controls)
        if (c.id == id)
            return &c;
    return nullptr;
}

} // namespace

TEST(V4l2Controls, EnumeratesWithAndWithoutNextCtrl) {
    for (bool nextCtrl : {true, false}) {
        SCOPED_TRACE(nextCtrl);
        SimulatedV4l2 sim;
        auto spec = v4l2::testing::uvcCamera("/dev/video0", "Cam");
        spec.nextCtrl = nextCtrl;
        sim.addDevice(spec);
        v4l2::DeviceFd fd;
        ASSERT_EQ(v4l2::DeviceFd::open(sim, "/dev/video0", &fd), 0);
        const auto controls = v4l2::enumerateControls(fd);
        ASSERT_EQ(controls.size(), spec.controls.size());
        const auto* brightness = find(controls, V4L2_CID_BRIGHTNESS);
        ASSERT_TRUE(brightness);
        EXPECT_EQ(brightness->name, "Brightness");
        EXPECT_EQ(brightness->minimum, -64);
        EXPECT_EQ(brightness->maximum, 64);
        // The exposure menu has holes at 0 and 2: only the real entries are listed.
        const auto* exposure = find(controls, V4L2_CID_EXPOSURE_AUTO);
        ASSERT_TRUE(exposure);
        ASSERT_EQ(exposure->menu.size(), 2u);
        EXPECT_EQ(exposure->menu[0].index, 1u);
        EXPECT_EQ(exposure->menu[0].name, "Manual Mode");
        EXPECT_EQ(exposure->menu[1].index, 3u);
    }
}

TEST(V4l2Controls, ValuesAreCheckedByTheDevice) {
    SimulatedV4l2 sim;
    auto spec = v4l2::testing::uvcCamera("/dev/video0", "Cam");
    spec.controls[0].flags = V4L2_CTRL_FLAG_READ_ONLY; // brightness
    sim.addDevice(spec);
    v4l2::DeviceFd fd;
    ASSERT_EQ(v4l2::DeviceFd::open(sim, "/dev/video0", &fd), 0);
    int32_t value = -1;
    EXPECT_EQ(v4l2::setControl(fd, V4L2_CID_CONTRAST, 50), 0);
    EXPECT_EQ(v4l2::getControl(fd, V4L2_CID_CONTRAST, &value), 0);
    EXPECT_EQ(value, 50);
    EXPECT_EQ(v4l2::setControl(fd, V4L2_CID_CONTRAST, 65), -ERANGE);
    EXPECT_EQ(v4l2::setControl(fd, V4L2_CID_BRIGHTNESS, 1), -EACCES);
    EXPECT_EQ(v4l2::setControl(fd, V4L2_CID_EXPOSURE_AUTO, 2), -EINVAL); // a menu hole
    EXPECT_EQ(v4l2::getControl(fd, V4L2_CID_ZOOM_ABSOLUTE, &value), -EINVAL);
    EXPECT_EQ(sim.controlValue("/dev/video0", V4L2_CID_CONTRAST), 50);
    const auto controls = v4l2::enumerateControls(fd);
    EXPECT_TRUE(find(controls, V4L2_CID_BRIGHTNESS)->readOnly());
    EXPECT_FALSE(find(controls, V4L2_CID_CONTRAST)->readOnly());
}

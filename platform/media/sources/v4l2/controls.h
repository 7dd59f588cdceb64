// Camera controls read from QUERYCTRL / QUERYMENU, and their values through G_CTRL / S_CTRL.
#pragma once

#include "media/sources/v4l2/v4l2_device.h"

#include <string>
#include <vector>

namespace platform::media::v4l2 {

struct MenuItem {
    uint32_t index;
    std::string name;
};

struct Control {
    uint32_t id = 0;   // V4L2_CID_*
    uint32_t type = 0; // V4L2_CTRL_TYPE_*
    std::string name;
    int32_t minimum = 0, maximum = 0, step = 1, defaultValue = 0;
    uint32_t flags = 0;
    std::vector<MenuItem> menu; // menu controls only
    bool readOnly() const;
};

inline constexpr size_t kMaxControls = 256;
inline constexpr int kMaxMenuItems = 64;

// The device's usable controls (disabled ones and control-class headers skipped), in the
// driver's order; bounded. Uses NEXT_CTRL, or walks the user and camera id ranges for
// drivers without it.
std::vector<Control> enumerateControls(const DeviceFd& fd);

// The current value, or -errno.
int getControl(const DeviceFd& fd, uint32_t id, int32_t* value);
// Sets a value; -ERANGE outside the control's range, -EACCES for a read-only control (as the
// kernel answers), other -errno from the driver.
int setControl(const DeviceFd& fd, uint32_t id, int32_t value);

} // namespace platform::media::v4l2

// Queries controls and menus; values through the single-control ioctls.
#include "media/sources/v4l2/controls.h"

#include "media/sources/v4l2/discovery.h"

#include <linux/videodev2.h>

namespace platform::media::v4l2 {
namespace {

bool usable(const v4l2_queryctrl& query) {
    if (query.flags & V4L2_CTRL_FLAG_DISABLED)
        return false;
    switch (query.type) {
    case V4L2_CTRL_TYPE_INTEGER:
    case V4L2_CTRL_TYPE_BOOLEAN:
    case V4L2_CTRL_TYPE_MENU:
    case V4L2_CTRL_TYPE_INTEGER_MENU:
    case V4L2_CTRL_TYPE_BUTTON:
        return query.minimum <= query.maximum;
    default:
        return false; // class headers, strings, 64-bit and compound controls
    }
}

Control fromQuery(const DeviceFd& fd, const v4l2_queryctrl& query) {
    Control control;
    control.id = query.id;
    control.type = query.type;
    control.name = fieldText(query.name, sizeof(query.name));
    control.minimum = query.minimum;
    control.maximum = query.maximum;
    control.step = query.step > 0 ? query.step : 1;
    control.defaultValue = query.default_value;
    control.flags = query.flags;
    if (query.type == V4L2_CTRL_TYPE_MENU || query.type == V4L2_CTRL_TYPE_INTEGER_MENU) {
        // Menus may have holes (indices the driver refuses); walk the range, bounded.
        const int64_t last =
            std::min<int64_t>(query.maximum, int64_t(query.minimum) + kMaxMenuItems - 1);
        for (int64_t index = query.minimum; index <= last && index >= 0; ++index) {
            v4l2_querymenu item{};
            item.id = query.id;
            item.index = uint32_t(index);
            if (fd.ioctl(VIDIOC_QUERYMENU, &item) < 0)
                continue;
            std::string name = query.type == V4L2_CTRL_TYPE_MENU
                                   ? fieldText(item.name, sizeof(item.name))
                                   : std::to_string(static_cast<long long>(item.value));
            control.menu.push_back({uint32_t(index), std::move(name)});
        }
    }
    return control;
}

void walkRange(const DeviceFd& fd, uint32_t first, uint32_t last, std::vector<Control>& out) {
    for (uint32_t id = first; id < last && out.size() < kMaxControls; ++id) {
        v4l2_queryctrl query{};
        query.id = id;
        if (fd.ioctl(VIDIOC_QUERYCTRL, &query) == 0 && usable(query))
            out.push_back(fromQuery(fd, query));
    }
}

} // namespace

bool Control::readOnly() const {
    return flags & (V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_GRABBED);
}

std::vector<Control> enumerateControls(const DeviceFd& fd) {
    std::vector<Control> out;
    uint32_t id = V4L2_CTRL_FLAG_NEXT_CTRL;
    bool nextSupported = false;
    // Bounded by attempts as well as results: a driver that repeats an id must not loop us.
    for (size_t attempt = 0; attempt < 4 * kMaxControls && out.size() < kMaxControls; ++attempt) {
        v4l2_queryctrl query{};
        query.id = id;
        if (fd.ioctl(VIDIOC_QUERYCTRL, &query) < 0)
            break;
        const uint32_t found =
            query.id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
        if (nextSupported && found <= (id & ~V4L2_CTRL_FLAG_NEXT_CTRL))
            break; // ids must grow
        nextSupported = true;
        if (usable(query))
            out.push_back(fromQuery(fd, query));
        id = found | V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    if (!nextSupported) {
        walkRange(fd, V4L2_CID_BASE, V4L2_CID_LASTP1, out);
        walkRange(fd, V4L2_CID_CAMERA_CLASS_BASE, V4L2_CID_CAMERA_CLASS_BASE + 64, out);
    }
    return out;
}

int getControl(const DeviceFd& fd, uint32_t id, int32_t* value) {
    v4l2_control control{};
    control.id = id;
    if (const int result = fd.ioctl(VIDIOC_G_CTRL, &control); result < 0)
        return result;
    *value = control.value;
    return 0;
}

int setControl(const DeviceFd& fd, uint32_t id, int32_t value) {
    v4l2_control control{};
    control.id = id;
    control.value = value;
    return fd.ioctl(VIDIOC_S_CTRL, &control);
}

} // namespace platform::media::v4l2

// Enumerates formats, frame sizes and frame intervals, bounded and checked.
#include "media/sources/v4l2/capabilities.h"

#include <algorithm>
#include <cerrno>
#include <linux/videodev2.h>

namespace platform::media::v4l2 {
namespace {

struct IntervalRange {
    REFERENCE_TIME min = 0, max = 0;
    std::vector<REFERENCE_TIME> discrete;
    bool valid() const { return min > 0 && max >= min; }
};

void widen(IntervalRange& range, REFERENCE_TIME interval) {
    range.min = range.min == 0 ? interval : std::min(range.min, interval);
    range.max = std::max(range.max, interval);
}

IntervalRange enumerateIntervals(const DeviceFd& fd, uint32_t fourcc, uint32_t width,
                                 uint32_t height) {
    IntervalRange range;
    for (int index = 0; index < kMaxFrameIntervals; ++index) {
        v4l2_frmivalenum entry{};
        entry.index = uint32_t(index);
        entry.pixel_format = fourcc;
        entry.width = width;
        entry.height = height;
        if (fd.ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &entry) < 0)
            break;
        if (entry.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            const REFERENCE_TIME interval =
                intervalFromFraction(entry.discrete.numerator, entry.discrete.denominator);
            if (interval > 0) {
                widen(range, interval);
                range.discrete.push_back(interval);
            }
            continue;
        }
        // Stepwise and continuous answer once, at index 0, with the whole range.
        const REFERENCE_TIME shortest =
            intervalFromFraction(entry.stepwise.min.numerator, entry.stepwise.min.denominator);
        const REFERENCE_TIME longest =
            intervalFromFraction(entry.stepwise.max.numerator, entry.stepwise.max.denominator);
        if (shortest > 0 && longest >= shortest) {
            widen(range, shortest);
            widen(range, longest);
            range.discrete.clear();
        }
        break;
    }
    std::sort(range.discrete.begin(), range.discrete.end());
    range.discrete.erase(std::unique(range.discrete.begin(), range.discrete.end()),
                         range.discrete.end());
    return range;
}

// Without interval enumeration, the current rate is all we know (30 fps if not even that).
IntervalRange currentInterval(const DeviceFd& fd) {
    IntervalRange range;
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    REFERENCE_TIME interval = 0;
    if (fd.ioctl(VIDIOC_G_PARM, &parm) == 0 &&
        (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME))
        interval = intervalFromFraction(parm.parm.capture.timeperframe.numerator,
                                        parm.parm.capture.timeperframe.denominator);
    widen(range, interval > 0 ? interval : UNITS / 30);
    range.discrete.push_back(range.min);
    return range;
}

bool sideOk(uint32_t side) {
    return side >= 1 && side <= kMaxSide;
}

void addCapability(const DeviceFd& fd, const PixelFormat& format, uint32_t minW, uint32_t maxW,
                   uint32_t stepW, uint32_t minH, uint32_t maxH, uint32_t stepH,
                   std::vector<Capability>& out) {
    if (out.size() >= kMaxCapabilities || !sideOk(minW) || !sideOk(minH) || minW > maxW ||
        minH > maxH)
        return;
    maxW = std::min(maxW, kMaxSide);
    maxH = std::min(maxH, kMaxSide);
    IntervalRange range = enumerateIntervals(fd, format.fourcc, maxW, maxH);
    if (minW != maxW || minH != maxH) {
        const IntervalRange small = enumerateIntervals(fd, format.fourcc, minW, minH);
        if (small.valid()) {
            widen(range, small.min);
            widen(range, small.max);
            range.discrete.clear();
        }
    }
    if (!range.valid())
        range = currentInterval(fd);
    Capability capability;
    capability.format = format;
    capability.minWidth = minW;
    capability.maxWidth = maxW;
    capability.stepWidth = std::max<uint32_t>(stepW, 1);
    capability.minHeight = minH;
    capability.maxHeight = maxH;
    capability.stepHeight = std::max<uint32_t>(stepH, 1);
    capability.minInterval = range.min;
    capability.maxInterval = range.max;
    capability.intervals = std::move(range.discrete);
    out.push_back(std::move(capability));
}

// A driver without ENUM_FRAMESIZES: the sizes TRY_FMT adjusts the extremes to.
void addTriedRange(const DeviceFd& fd, const PixelFormat& format, std::vector<Capability>& out) {
    auto tried = [&](uint32_t side, uint32_t* width, uint32_t* height) {
        v4l2_format fmt{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        fmt.fmt.pix.pixelformat = format.fourcc;
        fmt.fmt.pix.width = side;
        fmt.fmt.pix.height = side;
        fmt.fmt.pix.field = V4L2_FIELD_ANY;
        if (fd.ioctl(VIDIOC_TRY_FMT, &fmt) < 0 || fmt.fmt.pix.pixelformat != format.fourcc)
            return false;
        *width = fmt.fmt.pix.width;
        *height = fmt.fmt.pix.height;
        return true;
    };
    uint32_t minW = 0, minH = 0, maxW = 0, maxH = 0;
    if (tried(1, &minW, &minH) && tried(kMaxSide, &maxW, &maxH))
        addCapability(fd, format, minW, maxW, 1, minH, maxH, 1, out);
}

} // namespace

bool Capability::coversSize(uint32_t width, uint32_t height) const {
    return width >= minWidth && width <= maxWidth && height >= minHeight && height <= maxHeight &&
           (width - minWidth) % stepWidth == 0 && (height - minHeight) % stepHeight == 0;
}

REFERENCE_TIME Capability::nearestInterval(REFERENCE_TIME wanted) const {
    if (intervals.empty())
        return std::clamp(wanted, minInterval, maxInterval);
    REFERENCE_TIME best = intervals.front();
    for (REFERENCE_TIME interval : intervals) {
        const auto distance = [&](REFERENCE_TIME x) {
            return x > wanted ? x - wanted : wanted - x;
        };
        if (distance(interval) < distance(best))
            best = interval;
    }
    return best;
}

REFERENCE_TIME intervalFromFraction(uint32_t numerator, uint32_t denominator) {
    if (numerator == 0 || denominator == 0)
        return 0;
    // numerator < 2^32 and UNITS < 2^24: the product fits in 64 bits.
    const uint64_t interval =
        (uint64_t(numerator) * uint64_t(UNITS) + denominator / 2) / denominator;
    if (interval == 0 || interval > uint64_t(kMaxInterval))
        return 0;
    return REFERENCE_TIME(interval);
}

std::vector<Capability> enumerateCapabilities(const DeviceFd& fd) {
    std::vector<Capability> out;
    for (int formatIndex = 0; formatIndex < kMaxFormats; ++formatIndex) {
        v4l2_fmtdesc desc{};
        desc.index = uint32_t(formatIndex);
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (fd.ioctl(VIDIOC_ENUM_FMT, &desc) < 0)
            break;
        const auto format = pixelFormatFromFourcc(desc.pixelformat);
        if (!format)
            continue;
        bool anySize = false;
        for (int sizeIndex = 0; sizeIndex < kMaxFrameSizes; ++sizeIndex) {
            v4l2_frmsizeenum size{};
            size.index = uint32_t(sizeIndex);
            size.pixel_format = desc.pixelformat;
            if (fd.ioctl(VIDIOC_ENUM_FRAMESIZES, &size) < 0)
                break;
            anySize = true;
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                addCapability(fd, *format, size.discrete.width, size.discrete.width, 1,
                              size.discrete.height, size.discrete.height, 1, out);
                continue;
            }
            // Stepwise and continuous: one range, reported at index 0 only.
            addCapability(fd, *format, size.stepwise.min_width, size.stepwise.max_width,
                          size.stepwise.step_width, size.stepwise.min_height,
                          size.stepwise.max_height, size.stepwise.step_height, out);
            break;
        }
        if (!anySize)
            addTriedRange(fd, *format, out);
    }
    return out;
}

} // namespace platform::media::v4l2

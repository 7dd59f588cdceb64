// A device's capture capabilities, read from ENUM_FMT / ENUM_FRAMESIZES / ENUM_FRAMEINTERVALS.
#pragma once

#include "media/sources/v4l2/pixel_formats.h"
#include "media/sources/v4l2/v4l2_device.h"

#include <vector>

namespace platform::media::v4l2 {

// One pixel format over one size or range of sizes, with its frame intervals.
struct Capability {
    PixelFormat format;
    uint32_t minWidth = 0, maxWidth = 0, stepWidth = 1;
    uint32_t minHeight = 0, maxHeight = 0, stepHeight = 1;
    REFERENCE_TIME minInterval = 0; // 100 ns, fastest rate
    REFERENCE_TIME maxInterval = 0; // slowest rate
    // The discrete intervals, shortest first; empty for a stepwise or continuous range.
    std::vector<REFERENCE_TIME> intervals;

    bool coversSize(uint32_t width, uint32_t height) const;
    // The interval the device would pick for a request: the nearest one it offers.
    REFERENCE_TIME nearestInterval(REFERENCE_TIME wanted) const;
};

// Bounds on what a driver may report; anything past them is ignored, not trusted.
inline constexpr int kMaxFormats = 64;
inline constexpr int kMaxFrameSizes = 128;
inline constexpr int kMaxFrameIntervals = 64;
inline constexpr size_t kMaxCapabilities = 512;
inline constexpr uint32_t kMaxSide = 16384;
// 1000 s: a longer frame interval is taken as a driver error.
inline constexpr REFERENCE_TIME kMaxInterval = 1000 * UNITS;

// The device's capabilities in the driver's order: formats we cannot carry are skipped,
// each discrete size gives one capability, a stepwise or continuous range gives one.
std::vector<Capability> enumerateCapabilities(const DeviceFd& fd);

// A V4L2 fraction of seconds in 100 ns units; 0 when it is not a usable interval.
REFERENCE_TIME intervalFromFraction(uint32_t numerator, uint32_t denominator);

} // namespace platform::media::v4l2

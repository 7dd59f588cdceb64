// Pre-rendered pictures of a moving colour-bar pattern in YUY2, RGB24 or MJPG.
#pragma once

#include <platform/media/media_types.h>

#include <vector>

namespace platform::media {

// `count` pictures, each the bars shifted a little further; RGB24 rows are bottom-up, YUY2
// top-down, MJPG a JPEG of the RGB picture. Empty when the subtype is not one of the three.
std::vector<std::vector<BYTE>> renderPatternFrames(const GUID& subtype, LONG width, LONG height,
                                                   int count);

// The bytes one picture of the format needs at most (MJPG: the uncompressed RGB size).
LONG patternFrameSize(const GUID& subtype, LONG width, LONG height);

} // namespace platform::media

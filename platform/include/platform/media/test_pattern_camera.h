// The built-in test-pattern camera: options and a factory for instances beyond the listed one.
#pragma once

#include "../api.h"
#include "media_types.h"

#include <vector>

namespace platform::media {

struct TestPatternOptions {
    // The formats offered, in capability order; every one at 160x120, 320x240, 640x480,
    // 1280x720 and 1920x1080, 1 to 60 frames per second.
    std::vector<GUID> subtypes = {MEDIASUBTYPE_YUY2, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_MJPG};
    // Paced: one frame per frame interval of the graph clock; unpaced: as fast as
    // downstream takes them (benchmarks).
    bool paced = true;
};

// A test-pattern camera filter with these options, queried for riid.
PLATFORM_API HRESULT createTestPatternCamera(const TestPatternOptions& options, REFIID riid,
                                             void** object);

// How the listed camera appears to the system device enumerator (always the last device).
inline constexpr const char16_t* kTestPatternName = u"Test Pattern Camera";
inline constexpr const char16_t* kTestPatternPath = u"ormidal:test-pattern";

} // namespace platform::media

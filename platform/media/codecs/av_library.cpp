// Loading FFmpeg on first use: its libraries by the soname this build was compiled against,
// then every function the platform calls, all or nothing.
#include "media/codecs/av_library.h"

#include <platform/lazy_library.h>

#include <cstdio>
#include <cstdlib>

namespace platform::media::av {

namespace {

struct Loaded {
    Library functions;
    bool ok = false;
};

Loaded load() {
    Loaded loaded;
    // libavformat brings libavcodec and libavutil in as its own dependencies.
    LazyLibrary library{PLATFORM_SONAME(avformat, LIBAVFORMAT_VERSION_MAJOR),
                        PLATFORM_SONAME(avcodec, LIBAVCODEC_VERSION_MAJOR),
                        PLATFORM_SONAME(avutil, LIBAVUTIL_VERSION_MAJOR),
                        PLATFORM_SONAME(swscale, LIBSWSCALE_VERSION_MAJOR)};
#define PLATFORM_AV_RESOLVE(name) library.resolve(loaded.functions.name, #name);
    PLATFORM_AV_FUNCTIONS(PLATFORM_AV_RESOLVE)
#undef PLATFORM_AV_RESOLVE
    if (library.failed()) {
        std::fprintf(stderr, "platform: FFmpeg is not available (%s); no files or codecs\n",
                     library.error().c_str());
        return loaded;
    }
    // The platform shows no messages: FFmpeg's own log would print to the host's stderr.
    loaded.functions.av_log_set_level(AV_LOG_QUIET);
    loaded.ok = true;
    return loaded;
}

const Loaded& loadedOnce() {
    static const Loaded loaded = load(); // thread-safe static: later callers wait for the first
    return loaded;
}

} // namespace

bool available() {
    return loadedOnce().ok;
}

const Library& lib() {
    const Loaded& loaded = loadedOnce();
    if (!loaded.ok) {
        // A caller skipped available(): calling through a missing function would crash later
        // and further from the cause.
        std::fprintf(stderr, "platform: FFmpeg called while unavailable\n");
        std::abort();
    }
    return loaded.functions;
}

} // namespace platform::media::av

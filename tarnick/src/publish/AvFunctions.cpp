// Loading the publisher's FFmpeg functions on first use, all or nothing.
#include "AvFunctions.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct Loaded {
    AvFunctions functions;
    std::string error; // empty when loaded
};

Loaded load() {
    Loaded loaded;
    // libavformat brings libavcodec and libavutil in as its own dependencies.
    platform::LazyLibrary library{PLATFORM_SONAME(avformat, LIBAVFORMAT_VERSION_MAJOR),
                                  PLATFORM_SONAME(avcodec, LIBAVCODEC_VERSION_MAJOR),
                                  PLATFORM_SONAME(avutil, LIBAVUTIL_VERSION_MAJOR)};
#define TARNICK_AV_RESOLVE(name) library.resolve(loaded.functions.name, #name);
    TARNICK_AV_FUNCTIONS(TARNICK_AV_RESOLVE)
#undef TARNICK_AV_RESOLVE
    if (library.failed())
        loaded.error = "FFmpeg cannot be loaded: " + library.error();
    return loaded;
}

const Loaded& loadedOnce() {
    static const Loaded loaded = load();
    return loaded;
}

} // namespace

const AvFunctions* loadAvFunctions(std::string* why) {
    const Loaded& loaded = loadedOnce();
    if (!loaded.error.empty()) {
        if (why)
            *why = loaded.error;
        return nullptr;
    }
    return &loaded.functions;
}

const AvFunctions& av() {
    const Loaded& loaded = loadedOnce();
    if (!loaded.error.empty()) {
        // A caller skipped loadAvFunctions(): a missing function would crash later and further
        // from the cause.
        std::fprintf(stderr, "tarnick: FFmpeg called while unavailable\n");
        std::abort();
    }
    return loaded.functions;
}

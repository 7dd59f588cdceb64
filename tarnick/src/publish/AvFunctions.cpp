// Loading the publisher's FFmpeg functions on first use, all or nothing.
#include "AvFunctions.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// FFmpeg's log, on whichever thread logs: its errors and warnings (a refused certificate is a
// warning) are kept for the thread's caller to explain a failure with; nothing is printed (the
// journal gets the program's own lines only).
thread_local char t_lastError[256];
thread_local char t_certificateError[256];

__attribute__((format(printf, 3, 0))) void keepErrors(void*, int level, const char* format,
                                                      va_list arguments) {
    if (level > AV_LOG_WARNING || !format)
        return;
    char text[256];
    std::vsnprintf(text, sizeof(text), format, arguments);
    std::snprintf(t_lastError, sizeof(t_lastError), "%s", text);
    // The TLS layer's reason is followed by the RTMP client's vaguer one: keep the first.
    if (!t_certificateError[0] && std::strstr(text, "ertificate"))
        std::snprintf(t_certificateError, sizeof(t_certificateError), "%s", text);
}

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
    if (library.failed()) {
        loaded.error = "FFmpeg cannot be loaded: " + library.error();
        return loaded;
    }
    // One log for the process: the platform's FFmpeg is the same library, and it wants it
    // silent too. Errors and warnings still reach keepErrors.
    loaded.functions.av_log_set_callback(&keepErrors);
    loaded.functions.av_log_set_level(AV_LOG_WARNING);
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

std::string lastAvError() {
    std::string text = t_certificateError[0] ? t_certificateError : t_lastError;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

void clearAvError() {
    t_lastError[0] = '\0';
    t_certificateError[0] = '\0';
}

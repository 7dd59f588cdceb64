// Preloaded into a test's child process, stands in for a machine without FFmpeg: every dlopen
// of one of FFmpeg's libraries fails as a missing library does (with dlerror's message set);
// every other dlopen goes through.
#include <dlfcn.h>

#include <cstring>
#include <initializer_list>

namespace {

bool isFfmpeg(const char* file) {
    if (!file)
        return false;
    const char* name = std::strrchr(file, '/');
    name = name ? name + 1 : file;
    for (const char* prefix : {"libavformat", "libavcodec", "libavutil", "libswscale",
                               "libswresample", "libavfilter", "libavdevice", "libpostproc"})
        if (std::strncmp(name, prefix, std::strlen(prefix)) == 0)
            return true;
    return false;
}

using Dlopen = void* (*)(const char*, int);

Dlopen realDlopen() {
    static const auto real = reinterpret_cast<Dlopen>(dlsym(RTLD_NEXT, "dlopen"));
    return real;
}

} // namespace

extern "C" __attribute__((visibility("default"))) void* dlopen(const char* file, int mode) {
    if (isFfmpeg(file)) {
        // A path that cannot exist: the real loader fails and says why, as on such a machine.
        return realDlopen()("/nonexistent-ffmpeg-hidden-by-test/libav.so", mode);
    }
    return realDlopen()(file, mode);
}

// Libraries opened on first use: functions found across every library given, a missing
// library or function reported by name with nothing half-resolved used, and FFmpeg's table
// loading with every function the platform calls.
#include "media/codecs/av_library.h"

#include <platform/lazy_library.h>

#include <gtest/gtest.h>

#include <math.h>
#include <string.h>
#include <unistd.h>

namespace {

#define TEST_MATH_FUNCTIONS(X) X(getpid) X(j0)
struct LibcAndMath {
    TEST_MATH_FUNCTIONS(PLATFORM_LAZY_MEMBER)
};

TEST(LazyLibrary, FindsFunctionsInAnyOfItsLibrariesAndNamesWhatIsMissing) {
    platform::LazyLibrary library{"libc.so.6", "libm.so.6"};
    LibcAndMath math;
#define RESOLVE(name) library.resolve(math.name, #name);
    TEST_MATH_FUNCTIONS(RESOLVE)
#undef RESOLVE
    ASSERT_FALSE(library.failed()) << library.error();
    EXPECT_EQ(math.getpid(), ::getpid());
    EXPECT_DOUBLE_EQ(math.j0(0.0), 1.0); // found in the second library

    void* (*missing)(int) = nullptr;
    library.resolve(missing, "no_such_function_anywhere");
    EXPECT_EQ(missing, nullptr);
    EXPECT_TRUE(library.failed());
    EXPECT_NE(library.error().find("no_such_function_anywhere"), std::string::npos);
    // After the first failure nothing more is handed out: a table is all or nothing.
    double (*j0Again)(double) = nullptr;
    library.resolve(j0Again, "j0");
    EXPECT_EQ(j0Again, nullptr);
}

TEST(LazyLibrary, AMissingLibraryFailsWithTheLoadersReason) {
    platform::LazyLibrary library{"libm.so.6", "libormidal-no-such-library.so.7"};
    EXPECT_TRUE(library.failed());
    EXPECT_NE(library.error().find("libormidal-no-such-library.so.7"), std::string::npos)
        << library.error();
    double (*besselJ0)(double) = nullptr;
    library.resolve(besselJ0, "j0");
    EXPECT_EQ(besselJ0, nullptr);
}

TEST(LazyLibrary, SonamesComeFromTheBuildsVersionMacros) {
#define TEST_MAJOR 59
    EXPECT_STREQ(PLATFORM_SONAME(avcodec, TEST_MAJOR), "libavcodec.so.59");
#undef TEST_MAJOR
}

TEST(AvLibrary, LoadsEveryFunctionThePlatformCalls) {
    ASSERT_TRUE(platform::media::av::available());
    const auto& av = platform::media::av::lib();
#define CHECK_LOADED(name) EXPECT_NE(av.name, nullptr) << #name;
    PLATFORM_AV_FUNCTIONS(CHECK_LOADED)
#undef CHECK_LOADED
    EXPECT_NE(av.avcodec_find_decoder(AV_CODEC_ID_MJPEG), nullptr);
}

} // namespace

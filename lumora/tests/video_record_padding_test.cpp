// A 24-bit camera whose rows need padding (a width that is not a multiple of 4: 318 × 3 bytes
// is no whole number of 32-bit words) recorded to AVI, uncompressed and compressed; ffmpeg
// must decode every picture upright with the strip the camera wrote into it.
#include "SimulatedCameras.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 318, kHeight = 240;

std::string run(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

struct RecordPadding : ::testing::TestWithParam<const char*> {
    fs::path dir = fs::temp_directory_path() / ("lumora-padding-" + std::to_string(getpid()));
    simcam::Scope cameras;
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};

} // namespace

TEST_P(RecordPadding, OddWidthPicturesDecodeUprightWithTheirStrips) {
    auto spec = simcam::rangeDevice("/dev/video0", "Odd Cam", V4L2_PIX_FMT_BGR24, 160, 120, 640,
                                    480, UNITS / 30, UNITS);
    spec.paced = true;
    cameras.sim().addDevice(spec);
    CVideo video;
    ASSERT_EQ(video.Open(OPEN_DEVICE, "Odd Cam", 0), 0);
    ASSERT_EQ(video.CaptureInit(kWidth, kHeight, 24, UNITS / 30), 0);
    ASSERT_EQ(video.GetBitmapInfoPtr()->bmiHeader.biWidth, kWidth);
    simcam::Frames live;
    live.watch(video);
    const std::string file = (dir / "odd.avi").string();
    const char* compressor = *GetParam() ? GetParam() : nullptr;
    ASSERT_EQ(video.CaptureStart(file.c_str(), compressor), 0);
    ASSERT_TRUE(live.waitFor(20));
    video.CaptureStop();
    video.SetSampleCallBack(nullptr, nullptr);

    EXPECT_EQ(run("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of "
                  "csv=p=0 '" +
                  file + "'"),
              std::to_string(kWidth) + "," + std::to_string(kHeight) + "\n");
    EXPECT_EQ(run("ffmpeg -nostdin -v error -i '" + file + "' -f null - 2>&1"), "");
    const std::string pixels = run("ffmpeg -nostdin -v error -i '" + file +
                                   "' -vsync passthrough -f rawvideo -pix_fmt rgb24 - 2>/dev/null");
    const size_t frameBytes = size_t(kWidth) * kHeight * 3;
    ASSERT_GE(pixels.size() / frameBytes, 5u);
    int unreadable = 0;
    uint32_t previous = 0;
    for (size_t offset = 0; offset + frameBytes <= pixels.size(); offset += frameBytes) {
        const auto* rgb = reinterpret_cast<const uint8_t*>(pixels.data() + offset);
        platform::media::pattern::StripData strip;
        const bool read = platform::media::pattern::decodeStrip(
            kWidth, kHeight,
            [&](int x, int y) {
                const uint8_t* p = rgb + (size_t(y) * kWidth + size_t(x)) * 3;
                return (p[0] + p[1] + p[2]) / 3;
            },
            &strip);
        unreadable += !read;
        if (read && offset > 0) {
            EXPECT_GT(strip.frameNumber, previous) << "picture at byte " << offset;
        }
        if (read)
            previous = strip.frameNumber;
    }
    EXPECT_EQ(unreadable, 0) << "pictures skewed or upside down";
}

INSTANTIATE_TEST_SUITE_P(Compressors, RecordPadding, ::testing::Values("", "MJPEG"),
                         [](const auto& param) {
                             return std::string(*param.param ? param.param : "uncompressed");
                         });

// capture_rate: the test-pattern camera at 1280x720 in YUY2 and in MJPG, unpaced, through
// CVideo to a frame callback that copies each frame (as the program's drawing does).
//
// Reported per format: frames per second and process CPU time per frame, the camera's own
// cost of making a frame (drawing, and JPEG encoding for MJPG: work a real camera does in
// hardware), and the floor of the frame path measured in the same run on the same pictures:
// the conversion or decode to bottom-up RGB24 alone plus one copy of the result.
// ratio = (CPU per frame - camera's cost) / floor: what the graph, Lumora and the callback
// cost per frame against the least any implementation must do.
#include <lumora/Video.h>
#include <platform/media/device_interfaces.h>
#include <platform/media/device_providers.h>
#include <platform/media/test_pattern_camera.h>

#include "pattern_provider.h"

#include "media/sources/test_pattern/pattern_jpeg.h"
#include "media/sources/test_pattern/pattern_renderer.h"

#include <libyuv.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <time.h>
#include <vector>

namespace {

constexpr int kWidth = 1280, kHeight = 720;
constexpr int kWarmUp = 20, kFrames = 300;
constexpr int kBandRows = 16;
constexpr size_t kRgbStride = ((kWidth * 24 + 31) / 32) * 4;
constexpr size_t kRgbBytes = kRgbStride * kHeight;
constexpr size_t kYuyvBytes = size_t(kWidth) * 2 * kHeight;

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}
double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What the frame callback shares with the measuring thread.
struct Run {
    std::mutex lock;
    std::condition_variable done;
    std::vector<BYTE> shown = std::vector<BYTE>(kRgbBytes);
    int frames = 0;
    double cpuStart = 0, wallStart = 0, cpuEnd = 0, wallEnd = 0;
};

// Streaming thread: one copy of the frame, and the clocks at the window's edges.
void onFrame(BYTE* pixels, void* param) {
    auto* run = static_cast<Run*>(param);
    std::memcpy(run->shown.data(), pixels, kRgbBytes);
    std::lock_guard lock(run->lock);
    ++run->frames;
    if (run->frames == kWarmUp) {
        run->cpuStart = cpuSeconds();
        run->wallStart = wallSeconds();
    } else if (run->frames == kWarmUp + kFrames) {
        run->cpuEnd = cpuSeconds();
        run->wallEnd = wallSeconds();
        run->done.notify_all();
    }
}

struct Result {
    double fps = 0, cpuMs = 0;
    bool ok = false;
};

Result measure(const char* path, int bits) {
    Result result;
    CVideo video;
    if (video.Open(OPEN_DEVICE, path, -1) != 0 || video.CaptureInit(kWidth, kHeight, bits, 0) != 0)
        return result;
    Run run;
    video.SetSampleCallBack(onFrame, &run);
    if (video.CaptureStart(nullptr, nullptr) != 0)
        return result;
    {
        std::unique_lock lock(run.lock);
        result.ok = run.done.wait_for(lock, std::chrono::seconds(120),
                                      [&] { return run.frames >= kWarmUp + kFrames; });
    }
    video.CaptureStop();
    video.SetSampleCallBack(nullptr, nullptr);
    if (result.ok) {
        result.fps = kFrames / (run.wallEnd - run.wallStart);
        result.cpuMs = (run.cpuEnd - run.cpuStart) * 1e3 / kFrames;
    }
    return result;
}

// The camera's own work per frame: drawing (and encoding), in ms of CPU.
double cameraMs(bool jpeg, std::vector<BYTE>& yuyv, std::vector<BYTE>& encoded, size_t* jpegBytes) {
    platform::media::pattern::PatternRenderer renderer;
    renderer.configure(kWidth, kHeight);
    platform::media::pattern::MjpegEncoder encoder;
    encoder.configure(kWidth, kHeight);
    encoded.assign(encoder.maxFrameBytes(), 0);
    const double start = cpuSeconds();
    for (int i = 0; i < kFrames; ++i) {
        renderer.renderYuy2(yuyv.data(), size_t(kWidth) * 2, {uint32_t(i), 0}, {});
        if (jpeg)
            *jpegBytes =
                encoder.encodeYuy2(yuyv.data(), size_t(kWidth) * 2, encoded.data(), encoded.size());
    }
    return (cpuSeconds() - start) * 1e3 / kFrames;
}

// YUY2 -> bottom-up RGB24 in cache-sized bands, then one copy.
double floorYuy2Ms(const std::vector<BYTE>& yuyv) {
    std::vector<BYTE> rgb(kRgbBytes), shown(kRgbBytes), band(size_t(kWidth) * 4 * kBandRows);
    const double start = cpuSeconds();
    for (int i = 0; i < kFrames; ++i) {
        for (int y = 0; y < kHeight; y += kBandRows) {
            const int rows = std::min(kBandRows, kHeight - y);
            libyuv::YUY2ToARGB(yuyv.data() + size_t(y) * kWidth * 2, kWidth * 2, band.data(),
                               kWidth * 4, kWidth, rows);
            libyuv::ARGBToRGB24(band.data(), kWidth * 4,
                                rgb.data() + size_t(kHeight - y - rows) * kRgbStride,
                                int(kRgbStride), kWidth, -rows);
        }
        std::memcpy(shown.data(), rgb.data(), kRgbBytes);
    }
    return (cpuSeconds() - start) * 1e3 / kFrames;
}

// JPEG -> bottom-up BGR24 with libjpeg-turbo, then one copy.
double floorMjpgMs(const std::vector<BYTE>& jpeg, size_t bytes) {
    std::vector<BYTE> rgb(kRgbBytes), shown(kRgbBytes);
    tjhandle decoder = tjInitDecompress();
    const double start = cpuSeconds();
    for (int i = 0; i < kFrames; ++i) {
        tjDecompress2(decoder, jpeg.data(), bytes, rgb.data(), kWidth, int(kRgbStride), kHeight,
                      TJPF_BGR, TJFLAG_BOTTOMUP | TJFLAG_FASTDCT);
        std::memcpy(shown.data(), rgb.data(), kRgbBytes);
    }
    const double ms = (cpuSeconds() - start) * 1e3 / kFrames;
    tjDestroy(decoder);
    return ms;
}

} // namespace

int main() {
    platform::media::DeviceProviderScope provider(
        std::make_shared<testsupport::PatternCameraProvider>(u"Bench Pattern", u"bench", false));
    std::vector<BYTE> yuyv(kYuyvBytes), jpeg;
    size_t jpegBytes = 0;
    const double cameraYuy2 = cameraMs(false, yuyv, jpeg, &jpegBytes);
    const double floorYuy2 = floorYuy2Ms(yuyv);
    const double cameraMjpg = cameraMs(true, yuyv, jpeg, &jpegBytes);
    const double floorMjpg = floorMjpgMs(jpeg, jpegBytes);

    const Result yuy2 = measure("bench:yuy2", 16); // YUY2 kept, converted to RGB24
    const Result mjpg = measure("bench:mjpg", 24); // MJPG decoded to RGB24
    if (!yuy2.ok || !mjpg.ok) {
        std::fprintf(stderr, "capture_rate: a capture did not deliver its frames\n");
        return 1;
    }
    const double ratioYuy2 = (yuy2.cpuMs - cameraYuy2) / floorYuy2;
    const double ratioMjpg = (mjpg.cpuMs - cameraMjpg) / floorMjpg;
    std::printf("%dx%d, %d frames after %d, unpaced, through CVideo to a copying callback\n",
                kWidth, kHeight, kFrames, kWarmUp);
    std::printf(
        "YUY2: %7.1f fps  %6.3f ms CPU/frame  camera %6.3f ms  floor %6.3f ms  ratio %.2f\n",
        yuy2.fps, yuy2.cpuMs, cameraYuy2, floorYuy2, ratioYuy2);
    std::printf(
        "MJPG: %7.1f fps  %6.3f ms CPU/frame  camera %6.3f ms  floor %6.3f ms  ratio %.2f\n",
        mjpg.fps, mjpg.cpuMs, cameraMjpg, floorMjpg, ratioMjpg);
    std::printf("capture_rate fps_yuy2=%.1f cpu_ms_yuy2=%.3f camera_ms_yuy2=%.3f "
                "floor_ms_yuy2=%.3f ratio_yuy2=%.2f fps_mjpg=%.1f cpu_ms_mjpg=%.3f "
                "camera_ms_mjpg=%.3f floor_ms_mjpg=%.3f ratio_mjpg=%.2f\n",
                yuy2.fps, yuy2.cpuMs, cameraYuy2, floorYuy2, ratioYuy2, mjpg.fps, mjpg.cpuMs,
                cameraMjpg, floorMjpg, ratioMjpg);
    return 0;
}

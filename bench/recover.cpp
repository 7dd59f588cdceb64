// How soon a picture comes back by itself: from a camera's return (unplugged and plugged in
// again while the program serves it) to the first new frame at a viewer, and from a server's
// return (closed and opened again) to the first frame in a client. Ten trials of each, with
// outages of different lengths. The floor is the same viewer's wait for a frame while nothing
// was lost (one frame interval plus the transport's own latency).
//
// Last line: camera_return_ms_p50= camera_return_ms_max= server_return_ms_p50=
// server_return_ms_max= floor_ms=
#include "TarnickDlg.h"
#include "loopback.h"
#include "media/sources/test_pattern/pattern_strip.h"
#include "media/sources/v4l2/v4l2_source.h"
#include "resource.h"
#include "testing/simulated_v4l2.h"

#include <platform/com.h>
#include <platform/media/device_providers.h>

#include <QApplication>
#include <QElapsedTimer>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

namespace v4l2 = platform::media::v4l2;
namespace pattern = platform::media::pattern;
using Clock = std::chrono::steady_clock;

constexpr const char* kNode = "/dev/video9";
constexpr const char* kById = "usb-Bench_Camera-video-index0";
constexpr int kTrials = 10;

bool pumpUntil(const std::function<bool()>& done, int boundMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > boundMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

uint64_t monotonicUs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000) &
           pattern::kStripTimeMask;
}

// A raw viewer of the capture server through the transport's own client: counts frames and
// reads the capture time a pattern frame carries in its strip.
struct Viewer {
    CTavrel client;
    BITMAPINFOHEADER header{};
    std::atomic<int> frames{0};
    std::atomic<uint64_t> lastCaptureUs{0};
    static void onFrame(unsigned char* frame, void* self) {
        auto* v = static_cast<Viewer*>(self);
        pattern::StripData strip;
        if (pattern::decodeStripDib(frame, v->header.biWidth, v->header.biHeight, 24, &strip))
            v->lastCaptureUs = strip.captureTimeUs;
        ++v->frames;
    }
    bool open(int port) {
        return client.OpenClient("127.0.0.1", port) == 0 && client.GetBitmapInfoHdr(&header) == 0 &&
               client.Run(&Viewer::onFrame, this) == 0;
    }
    ~Viewer() {
        client.Stop();
        client.Close();
    }
};

std::string cameraPath() {
    tVideoDev devices[16];
    const int count = CVideo::GetCaptureDeviceList(devices, 16);
    for (int i = 0; i < count; ++i)
        if (std::strcmp(devices[i].szFriendlyName, "Bench Camera") == 0)
            return devices[i].szDevicePath;
    return {};
}

struct Summary {
    double p50 = 0, max = 0;
};

Summary summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    if (values.empty())
        return {};
    return {values[values.size() / 2], values.back()};
}

// Camera return: the program serves a simulated camera; it is unplugged until the program
// has noticed, then plugged in again, and a viewer waits for its next frame.
bool cameraReturns(std::vector<double>* returns, double* floorMs) {
    auto io = std::make_shared<v4l2::testing::SimulatedV4l2>();
    const int provider = v4l2::registerV4l2Provider(io, platform::media::kRankRegistered);
    auto plugIn = [&] { io->addDevice(v4l2::testing::uvcCamera(kNode, "Bench Camera", kById)); };
    plugIn();
    const int port = loopback::freePort();
    bool ok = false;
    {
        CTarnickDlg probe;
        const std::string settings = probe.GetSettingsFilePath().str();
        probe.OnDestroy();
        std::ofstream(settings)
            << "[NETWORK]\nCONNECT_PORT=" << port
            << "\n[CONFIG]\nAUTO_START=1\n[DEVICE]\nDEVICE_PATH=" << cameraPath()
            << "\n[VIDEO]\nWIDTH=640\nHEIGHT=480\nBITCOUNT=24\nFRAME_PER_SEC=30\n";
        CTarnickDlg dlg;
        dlg.Create();
        Viewer viewer;
        ok = pumpUntil([&] { return dlg.IsServing(); }, 10000) && viewer.open(port) &&
             pumpUntil([&] { return viewer.frames > 10; }, 10000);
        // The floor: how long a healthy viewer waits for its next frame.
        std::vector<double> waits;
        for (int i = 0; ok && i < 20; ++i) {
            const int seen = viewer.frames;
            const auto start = Clock::now();
            ok = pumpUntil([&] { return viewer.frames > seen; }, 5000);
            waits.push_back(msSince(start));
        }
        *floorMs = summarise(waits).p50;
        for (int trial = 0; ok && trial < kTrials; ++trial) {
            io->unplug(kNode);
            ok = pumpUntil(
                [&] { return dlg.unattendedState() == CTarnickDlg::Unattended::CameraLost; },
                15000);
            // Away a while longer, from nothing to over a second.
            pumpUntil([] { return false; }, 150 * trial);
            plugIn();
            const auto back = Clock::now();
            const uint64_t backUs = monotonicUs();
            // Meanwhile the server sends the last picture again now and then: a new frame is
            // one captured after the return.
            ok = ok && pumpUntil([&] { return viewer.lastCaptureUs.load() > backUs; }, 15000);
            returns->push_back(msSince(back));
            std::printf("camera trial %d: %.1f ms\n", trial + 1, returns->back());
        }
        dlg.EndDialog(IDOK);
        std::remove(settings.c_str());
    }
    platform::media::unregisterDeviceProvider(provider);
    return ok;
}

// Server return: a client receives from a server that closes and opens again.
bool serverReturns(std::vector<double>* returns) {
    const int port = loopback::freePort();
    const int width = 640, height = 480;
    std::vector<unsigned char> frame(size_t(width) * 3 * height, 0x40);
    auto server = std::make_unique<CTavrel>();
    std::atomic<bool> feeding{true};
    std::atomic<CTavrel*> target{nullptr};
    std::thread feeder([&] {
        while (feeding) {
            if (CTavrel* s = target.load())
                s->AddFrame(frame.data(), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
    });
    bool ok = server->OpenServer(port, width, height, 30) == 0;
    target = server.get();
    Viewer viewer;
    ok = ok && viewer.open(port);
    for (int trial = 0; ok && trial < kTrials; ++trial) {
        target = nullptr;
        server->Close();
        // Away from a quarter of a second to about three seconds.
        std::this_thread::sleep_for(std::chrono::milliseconds(250 + 300 * trial));
        const int seen = viewer.frames;
        ok = server->OpenServer(port, width, height, 30) == 0;
        const auto back = Clock::now();
        target = server.get();
        const auto end = back + std::chrono::seconds(15);
        while (ok && viewer.frames <= seen && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ok = ok && viewer.frames > seen;
        returns->push_back(msSince(back));
        std::printf("server trial %d: %.1f ms\n", trial + 1, returns->back());
    }
    feeding = false;
    feeder.join();
    target = nullptr;
    server->Close();
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CoInitialize(nullptr);
    std::vector<double> camera, server;
    double floorMs = 0;
    const bool cameraOk = cameraReturns(&camera, &floorMs);
    const bool serverOk = serverReturns(&server);
    CoUninitialize();
    if (!cameraOk || !serverOk) {
        std::fprintf(stderr, "bench_recover: a picture did not come back (camera %s, server %s)\n",
                     cameraOk ? "ok" : "failed", serverOk ? "ok" : "failed");
        return 1;
    }
    const Summary c = summarise(camera), s = summarise(server);
    std::printf("camera return: p50 %.1f ms, max %.1f ms (%.1fx the floor of %.1f ms)\n", c.p50,
                c.max, floorMs > 0 ? c.p50 / floorMs : 0.0, floorMs);
    std::printf("server return: p50 %.1f ms, max %.1f ms\n", s.p50, s.max);
    std::printf("camera_return_ms_p50=%.0f camera_return_ms_max=%.0f server_return_ms_p50=%.0f "
                "server_return_ms_max=%.0f floor_ms=%.1f\n",
                c.p50, c.max, s.p50, s.max, floorMs);
    return 0;
}

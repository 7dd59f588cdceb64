// frame_path: the camera frame path through the media graph against the floor of the work it
// must do. A 1280x720 YUY2 test source (copying pre-rendered pictures) feeds the colour
// converter and a sample grabber whose callback copies the frame, as the program's drawing
// does; the floor is one copy of the YUY2 picture, the fastest YUY2 -> BGR24 conversion
// (libyuv, rows fused in cache-sized bands) and one copy of the RGB picture, on the same data.
#include <platform/com.h>
#include <platform/com_ptr.h>
#include <platform/media/media.h>

#include "heap_counter.h"

#include <libyuv.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

constexpr int kWidth = 1280, kHeight = 720;
constexpr int kWarmUp = 20, kFrames = 300, kRounds = 3;
constexpr int kBandRows = 16;

using Clock = std::chrono::steady_clock;
using platform::ComPtr;

constexpr size_t kYuyvBytes = size_t(kWidth) * 2 * kHeight;
constexpr size_t kRgbStride = ((kWidth * 24 + 31) / 32) * 4;
constexpr size_t kRgbBytes = kRgbStride * kHeight;

// The floor: what any implementation must at least do per frame, on the same picture.
double floorMicroseconds(const std::vector<BYTE>& yuyv) {
    std::vector<BYTE> captured(kYuyvBytes), rgb(kRgbBytes), shown(kRgbBytes);
    std::vector<BYTE> band(size_t(kWidth) * 4 * kBandRows);
    const auto start = Clock::now();
    for (int i = 0; i < kFrames; ++i) {
        std::memcpy(captured.data(), yuyv.data(), kYuyvBytes);
        for (int y = 0; y < kHeight; y += kBandRows) {
            const int rows = std::min(kBandRows, kHeight - y);
            libyuv::YUY2ToARGB(captured.data() + size_t(y) * kWidth * 2, kWidth * 2, band.data(),
                               kWidth * 4, kWidth, rows);
            libyuv::ARGBToRGB24(band.data(), kWidth * 4,
                                rgb.data() + size_t(kHeight - y - rows) * kRgbStride,
                                int(kRgbStride), kWidth, -rows);
        }
        std::memcpy(shown.data(), rgb.data(), kRgbBytes);
    }
    const auto elapsed = Clock::now() - start;
    return std::chrono::duration<double, std::micro>(elapsed).count() / kFrames;
}

// The grabber's callback: copies the frame as the window's DrawFrame does and marks time.
class CopyingCallback final : public ISampleGrabberCB {
public:
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT SampleCB(double, IMediaSample*) override { return S_OK; }
    HRESULT BufferCB(double, BYTE* buffer, LONG length) override {
        std::memcpy(shown_.data(), buffer, std::min<size_t>(shown_.size(), size_t(length)));
        const int n = ++frames_;
        if (n == kWarmUp) {
            allocationsBefore_ = heap_counter::allocations.load();
            heap_counter::counting = true;
            start_ = Clock::now();
        } else if (n == kWarmUp + kFrames) {
            end_ = Clock::now();
            heap_counter::counting = false;
            std::lock_guard lock(mutex_);
            done_.notify_all();
        }
        return S_OK;
    }
    bool waitDone() {
        std::unique_lock lock(mutex_);
        return done_.wait_for(lock, std::chrono::seconds(120),
                              [&] { return frames_ >= kWarmUp + kFrames; });
    }
    double frameMicroseconds() const {
        return std::chrono::duration<double, std::micro>(end_ - start_).count() / kFrames;
    }
    long allocationsBefore_ = 0;

private:
    std::vector<BYTE> shown_ = std::vector<BYTE>(kRgbBytes);
    std::atomic<int> frames_{0};
    Clock::time_point start_, end_;
    std::mutex mutex_;
    std::condition_variable done_;
};

template <class I> ComPtr<I> create(const CLSID& clsid) {
    ComPtr<I> object;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, platform::uuidof<I>(),
                     reinterpret_cast<void**>(object.GetAddressOf()));
    return object;
}

ComPtr<IPin> firstPin(IBaseFilter* filter, PIN_DIRECTION direction) {
    ComPtr<IEnumPins> pins;
    filter->EnumPins(pins.GetAddressOf());
    IPin* pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        auto held = ComPtr<IPin>::adopt(pin);
        PIN_DIRECTION d{};
        held->QueryDirection(&d);
        if (d == direction)
            return held;
    }
    return nullptr;
}

struct GraphRun {
    double frameUs = 0;
    double allocsPerFrame = 0;
    bool ok = false;
};

GraphRun runGraph() {
    GraphRun result;
    auto graph = create<IGraphBuilder>(CLSID_FilterGraph);
    auto source = create<IBaseFilter>(CLSID_TestPatternSource);
    auto grabber = create<IBaseFilter>(CLSID_SampleGrabber);
    if (!graph || !source || !grabber)
        return result;
    source.query<ITestPatternSource>()->SetFormat(MEDIASUBTYPE_YUY2, kWidth, kHeight, UNITS / 30);
    auto sg = grabber.query<ISampleGrabber>();
    AM_MEDIA_TYPE mt{};
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_RGB24;
    mt.formattype = FORMAT_VideoInfo;
    sg->SetMediaType(&mt);
    CopyingCallback callback;
    sg->SetCallback(&callback, 1);
    graph->AddFilter(source.Get(), u"Video Capture");
    graph->AddFilter(grabber.Get(), u"Sample Grabber");
    if (FAILED(graph->Connect(firstPin(source.Get(), PINDIR_OUTPUT).Get(),
                              firstPin(grabber.Get(), PINDIR_INPUT).Get())))
        return result;
    auto control = graph.query<IMediaControl>();
    control->Run();
    result.ok = callback.waitDone();
    const long counted = heap_counter::allocations.load() - callback.allocationsBefore_;
    control->Stop();
    sg->SetCallback(nullptr, 1);
    result.frameUs = callback.frameMicroseconds();
    result.allocsPerFrame = double(counted) / kFrames;
    return result;
}

// The picture the test source sends, taken from its own output through a buffering grabber.
std::vector<BYTE> sourcePicture() {
    std::vector<BYTE> picture(kYuyvBytes);
    auto graph = create<IGraphBuilder>(CLSID_FilterGraph);
    auto source = create<IBaseFilter>(CLSID_TestPatternSource);
    auto grabber = create<IBaseFilter>(CLSID_SampleGrabber);
    source.query<ITestPatternSource>()->SetFormat(MEDIASUBTYPE_YUY2, kWidth, kHeight, UNITS / 30);
    auto sg = grabber.query<ISampleGrabber>();
    sg->SetBufferSamples(TRUE);
    sg->SetOneShot(TRUE);
    graph->AddFilter(source.Get(), u"Video Capture");
    graph->AddFilter(grabber.Get(), u"Sample Grabber");
    graph->Connect(firstPin(source.Get(), PINDIR_OUTPUT).Get(),
                   firstPin(grabber.Get(), PINDIR_INPUT).Get());
    auto control = graph.query<IMediaControl>();
    control->Run();
    LONG size = LONG(picture.size());
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (sg->GetCurrentBuffer(&size, reinterpret_cast<LONG*>(picture.data())) != S_OK &&
           Clock::now() < deadline)
        size = LONG(picture.size());
    control->Stop();
    return picture;
}

} // namespace

int main() {
    CoInitialize(nullptr);
    const auto yuyv = sourcePicture();
    double best = 1e30, bestFloor = 1e30, allocs = 0;
    for (int round = 0; round < kRounds; ++round) {
        const GraphRun run = runGraph();
        if (!run.ok) {
            std::printf("frame_path: the graph did not deliver %d frames\n", kWarmUp + kFrames);
            return 1;
        }
        best = std::min(best, run.frameUs);
        allocs = std::max(allocs, run.allocsPerFrame);
        bestFloor = std::min(bestFloor, floorMicroseconds(yuyv));
        std::printf("round %d: graph %.1f us/frame, floor %.1f us/frame, allocations/frame %.2f\n",
                    round + 1, run.frameUs, bestFloor, run.allocsPerFrame);
    }
    std::printf("%dx%d YUY2 -> RGB24, %d frames unpaced, best of %d rounds\n", kWidth, kHeight,
                kFrames, kRounds);
    std::printf("ratio=%.2f allocs_per_frame=%.2f frame_us=%.1f floor_us=%.1f\n", best / bestFloor,
                allocs, best, bestFloor);
    CoUninitialize();
    return 0;
}

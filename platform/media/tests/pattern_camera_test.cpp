// The test-pattern camera filter: its capabilities, picture controls and paced or unpaced
// frames with a counter that advances by one.
#include "graph_harness.h"
#include "media/base/media_type.h"
#include "media/sources/test_pattern/pattern_strip.h"

#include <platform/media/camera_interfaces.h>
#include <platform/media/test_pattern_camera.h>

#include <gtest/gtest.h>

#include <thread>

using namespace graph_test;

namespace {

ComPtr<IBaseFilter> camera(const platform::media::TestPatternOptions& options) {
    ComPtr<IBaseFilter> filter;
    EXPECT_EQ(platform::media::createTestPatternCamera(
                  options, IID_IBaseFilter, reinterpret_cast<void**>(filter.GetAddressOf())),
              S_OK);
    return filter;
}

// Camera -> grabber (RGB24) in a graph, formats set through the pin's stream configuration.
struct PatternGraph {
    explicit PatternGraph(ComPtr<IBaseFilter> source, const GUID& subtype, LONG width, LONG height)
        : filter(std::move(source)) {
        auto config = pinOf(filter.Get(), PINDIR_OUTPUT).query<IAMStreamConfig>();
        AM_MEDIA_TYPE* mt = nullptr;
        config->GetFormat(&mt);
        mt->subtype = subtype;
        auto* info = reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat);
        info->bmiHeader.biWidth = width;
        info->bmiHeader.biHeight = height;
        info->bmiHeader.biBitCount = subtype == MEDIASUBTYPE_YUY2 ? 16 : 24;
        info->AvgTimePerFrame = UNITS / 60;
        EXPECT_EQ(config->SetFormat(mt), S_OK);
        platform::media::deleteMediaType(mt);
        graph->AddFilter(filter.Get(), u"Camera");
        graph->AddFilter(grabberFilter.Get(), u"Grabber");
        AM_MEDIA_TYPE rgb = videoType(MEDIASUBTYPE_RGB24);
        grabber->SetMediaType(&rgb);
        EXPECT_EQ(graph->Connect(pinOf(filter.Get(), PINDIR_OUTPUT).Get(),
                                 pinOf(grabberFilter.Get(), PINDIR_INPUT).Get()),
                  S_OK);
        grabber->SetCallback(&callback, 1);
    }
    ~PatternGraph() {
        graph.query<IMediaControl>()->Stop();
        grabber->SetCallback(nullptr, 1);
    }
    ComPtr<IBaseFilter> filter;
    ComPtr<IGraphBuilder> graph = create<IGraphBuilder>(CLSID_FilterGraph);
    ComPtr<IBaseFilter> grabberFilter = create(CLSID_SampleGrabber);
    ComPtr<ISampleGrabber> grabber = grabberFilter.query<ISampleGrabber>();
    CountingCallback callback;
};

} // namespace

TEST(PatternCamera, OffersEveryFormatAtEverySizeAndRefusesOthers) {
    ComScope com;
    auto filter = camera({});
    auto config = pinOf(filter.Get(), PINDIR_OUTPUT).query<IAMStreamConfig>();
    int count = 0, size = 0;
    ASSERT_EQ(config->GetNumberOfCapabilities(&count, &size), S_OK);
    EXPECT_EQ(count, 15);
    VIDEO_STREAM_CONFIG_CAPS caps{};
    AM_MEDIA_TYPE* mt = nullptr;
    ASSERT_EQ(config->GetStreamCaps(14, &mt, reinterpret_cast<BYTE*>(&caps)), S_OK);
    EXPECT_EQ(mt->subtype, MEDIASUBTYPE_MJPG);
    EXPECT_EQ(caps.MaxOutputSize.cx, 1920);
    EXPECT_EQ(caps.MinFrameInterval, UNITS / 60);
    EXPECT_EQ(caps.MaxFrameInterval, UNITS);
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat);
    info->AvgTimePerFrame = 2 * UNITS; // 0.5 fps
    EXPECT_EQ(config->SetFormat(mt), VFW_E_INVALIDMEDIATYPE);
    info->AvgTimePerFrame = 0; // the fastest
    EXPECT_EQ(config->SetFormat(mt), S_OK);
    platform::media::deleteMediaType(mt);
    ASSERT_EQ(config->GetFormat(&mt), S_OK);
    EXPECT_EQ(reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat)->AvgTimePerFrame, UNITS / 60);
    platform::media::deleteMediaType(mt);

    auto onlyJpeg = camera({{MEDIASUBTYPE_MJPG}, false});
    config = pinOf(onlyJpeg.Get(), PINDIR_OUTPUT).query<IAMStreamConfig>();
    config->GetNumberOfCapabilities(&count, &size);
    EXPECT_EQ(count, 5);
    ComPtr<IBaseFilter> none;
    EXPECT_EQ(
        platform::media::createTestPatternCamera({{MEDIASUBTYPE_NV12}, true}, IID_IBaseFilter,
                                                 reinterpret_cast<void**>(none.GetAddressOf())),
        E_INVALIDARG);
}

TEST(PatternCamera, CounterAdvancesByOneInEveryFormat) {
    ComScope com;
    for (const GUID& subtype : {MEDIASUBTYPE_YUY2, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_MJPG}) {
        PatternGraph g(camera({{subtype}, false}), subtype, 320, 240);
        std::vector<uint32_t> numbers;
        numbers.reserve(64);
        g.callback.onBuffer = [&](BYTE* buffer, LONG) {
            platform::media::pattern::StripData strip;
            if (numbers.size() < numbers.capacity() &&
                platform::media::pattern::decodeStripDib(buffer, 320, 240, 24, &strip))
                numbers.push_back(strip.frameNumber);
        };
        ASSERT_EQ(g.graph.query<IMediaControl>()->Run(), S_OK);
        ASSERT_TRUE(g.callback.waitFor(8));
        g.graph.query<IMediaControl>()->Stop();
        ASSERT_GE(numbers.size(), 8u);
        EXPECT_EQ(numbers[0], 0u);
        for (size_t i = 1; i < numbers.size(); ++i)
            EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
    }
}

TEST(PatternCamera, PictureControlsChangeThePicture) {
    ComScope com;
    PatternGraph g(camera({{MEDIASUBTYPE_RGB24}, false}), MEDIASUBTYPE_RGB24, 160, 120);
    auto procAmp = g.filter.query<IAMVideoProcAmp>();
    ASSERT_TRUE(procAmp);
    LONG min = 0, max = 0, step = 0, def = 0, caps = 0, value = 0, flags = 0;
    ASSERT_EQ(procAmp->GetRange(VideoProcAmp_Contrast, &min, &max, &step, &def, &caps), S_OK);
    EXPECT_EQ(def, 100);
    EXPECT_EQ(procAmp->Set(VideoProcAmp_Contrast, 300, VideoProcAmp_Flags_Manual), E_INVALIDARG);
    EXPECT_EQ(procAmp->Set(VideoProcAmp_Gain, 1, VideoProcAmp_Flags_Manual), E_PROP_ID_UNSUPPORTED);

    auto control = g.graph.query<IMediaControl>();
    auto sumOfPicture = [&] {
        control->Run();
        EXPECT_TRUE(g.callback.waitFor(g.callback.samples() + 2));
        control->Stop();
        const auto frame = g.callback.lastBuffer();
        long long sum = 0;
        for (size_t i = 0; i < frame.size() / 2; ++i) // the lower rows: bars only
            sum += frame[i];
        return sum;
    };
    const long long plain = sumOfPicture();
    ASSERT_EQ(procAmp->Set(VideoProcAmp_Brightness, 60, VideoProcAmp_Flags_Manual), S_OK);
    ASSERT_EQ(procAmp->Get(VideoProcAmp_Brightness, &value, &flags), S_OK);
    EXPECT_EQ(value, 60);
    EXPECT_GT(sumOfPicture(), plain);
    ASSERT_EQ(procAmp->Set(VideoProcAmp_Brightness, 0, VideoProcAmp_Flags_Manual), S_OK);
    ASSERT_EQ(procAmp->Set(VideoProcAmp_Contrast, 0, VideoProcAmp_Flags_Manual), S_OK);
    EXPECT_LT(sumOfPicture(), plain);
}

TEST(PatternCamera, APeerTypeWithAWrongImageSizeNeitherSizesBuffersNorBecomesTheFormat) {
    ComScope com;
    auto filter = camera({{MEDIASUBTYPE_RGB24}, false});
    auto pin = pinOf(filter.Get(), PINDIR_OUTPUT);
    auto config = pin.query<IAMStreamConfig>();
    AM_MEDIA_TYPE* mt = nullptr;
    ASSERT_EQ(config->GetFormat(&mt), S_OK);
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat);
    const DWORD realSize = info->bmiHeader.biSizeImage;
    info->bmiHeader.biSizeImage = 16; // too small for one picture
    mt->lSampleSize = 16;

    auto graph = create<IGraphBuilder>(CLSID_FilterGraph);
    auto grabberFilter = create(CLSID_SampleGrabber);
    auto grabber = grabberFilter.query<ISampleGrabber>();
    CountingCallback callback;
    graph->AddFilter(filter.Get(), u"Camera");
    graph->AddFilter(grabberFilter.Get(), u"Grabber");
    AM_MEDIA_TYPE rgb = videoType(MEDIASUBTYPE_RGB24);
    grabber->SetMediaType(&rgb);
    ASSERT_EQ(graph->ConnectDirect(pin.Get(), pinOf(grabberFilter.Get(), PINDIR_INPUT).Get(), mt),
              S_OK);
    platform::media::deleteMediaType(mt);
    ASSERT_EQ(config->GetFormat(&mt), S_OK);
    EXPECT_EQ(reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat)->bmiHeader.biSizeImage, realSize);
    platform::media::deleteMediaType(mt);

    grabber->SetCallback(&callback, 1);
    auto control = graph.query<IMediaControl>();
    ASSERT_EQ(control->Run(), S_OK);
    EXPECT_TRUE(callback.waitFor(2)); // whole pictures, not refused for want of room
    control->Stop();
    grabber->SetCallback(nullptr, 1);
    EXPECT_EQ(callback.lastBuffer().size(), size_t(realSize));
}

// A paced camera behaves as a sensor: every frame is stamped with the start of the frame
// interval it was taken in (the capture time in its strip lies inside that interval), and a
// consumer that holds the streaming thread costs frames, never the camera's rate.
TEST(PatternCamera, AHeldConsumerCostsFramesAndTheTimesStayTrueToTheClock) {
    ComScope com;
    PatternGraph g(camera({{MEDIASUBTYPE_RGB24}, true}), MEDIASUBTYPE_RGB24, 160, 120);
    constexpr REFERENCE_TIME kInterval = UNITS / 60;
    constexpr auto kHold = std::chrono::milliseconds(200);
    struct Frame {
        REFERENCE_TIME start;
        uint64_t captureUs;
    };
    std::vector<Frame> frames;
    frames.reserve(40);
    g.callback.onSample = [&](IMediaSample* sample) {
        REFERENCE_TIME start = 0, end = 0;
        BYTE* data = nullptr;
        sample->GetTime(&start, &end);
        sample->GetPointer(&data);
        platform::media::pattern::StripData strip;
        if (frames.size() < frames.capacity() &&
            platform::media::pattern::decodeStripDib(data, 160, 120, 24, &strip))
            frames.push_back({start, strip.captureTimeUs});
        if (frames.size() == 5)
            std::this_thread::sleep_for(kHold); // the consumer is late once
    };
    g.grabber->SetCallback(&g.callback, 0);
    ASSERT_EQ(g.graph.query<IMediaControl>()->Run(), S_OK);
    ASSERT_TRUE(g.callback.waitFor(20));
    g.graph.query<IMediaControl>()->Stop();
    ASSERT_GE(frames.size(), 20u);
    // The held thread skipped the intervals that passed meanwhile, less the one it woke in.
    EXPECT_GE(
        frames[5].start - frames[4].start,
        (std::chrono::duration_cast<std::chrono::nanoseconds>(kHold).count() / 100 / kInterval) *
            kInterval);
    REFERENCE_TIME lowest = INT64_MAX, highest = INT64_MIN;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(frames[i].start, frames[i - 1].start);
        }
        EXPECT_EQ(frames[i].start % kInterval, 0);
        // Capture time minus sample time is the same stream start for every frame, within
        // the interval the frame was taken in (microsecond strip times: 10 units of slack).
        const uint64_t sinceFirst =
            (frames[i].captureUs - frames[0].captureUs) & platform::media::pattern::kStripTimeMask;
        const REFERENCE_TIME offset = REFERENCE_TIME(sinceFirst) * 10 - frames[i].start;
        lowest = std::min(lowest, offset);
        highest = std::max(highest, offset);
    }
    EXPECT_LT(highest - lowest, kInterval + 10);
}

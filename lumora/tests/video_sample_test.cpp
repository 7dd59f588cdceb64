// The sample path: the grabber callback object, OnSample's copy into the frame, and
// GetCurrentImage with and without buffering.
#include "../src/SampleCB.cpp" // the callback class is internal to the library

#include <lumora/Video.h>
#include <platform/com_ptr.h>
#include <platform/media/media.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

using platform::ComPtr;

namespace {

class SampleVideo : public CVideo {
public:
    using CVideo::m_llFrameCount;
    using CVideo::m_pBitmapInfo;
    using CVideo::m_pGrabber;
    using CVideo::OnSample;
    ~SampleVideo() {
        std::free(m_pBitmapInfo);
        m_pBitmapInfo = nullptr;
        if (m_pGrabber)
            m_pGrabber->Release();
        m_pGrabber = nullptr;
    }
    // A 4x2 RGB24 frame (stride 12) followed by `guard` bytes of 0xEE past its pixel area.
    void makeFrame(size_t guard = 16) {
        BITMAPINFOHEADER h{sizeof(BITMAPINFOHEADER), 4, 2, 1, 24, BI_RGB, 24, 0, 0, 0, 0};
        auto* block = static_cast<BYTE*>(std::malloc(sizeof h + 24 + guard));
        std::memcpy(block, &h, sizeof h);
        std::memset(block + sizeof h, 0, 24);
        std::memset(block + sizeof h + 24, 0xEE, guard);
        m_pBitmapInfo = reinterpret_cast<BITMAPINFO*>(block);
    }
    BYTE* pixels() { return GetBmpImageData(m_pBitmapInfo); }
};

struct Delivery {
    std::mutex mutex;
    std::condition_variable arrived;
    int calls = 0;
    BYTE* lastFrame = nullptr;
    std::vector<BYTE> copy;
    size_t copyBytes = 24;
    static void callBack(BYTE* frame, void* param) {
        auto* self = static_cast<Delivery*>(param);
        std::lock_guard lock(self->mutex);
        ++self->calls;
        self->lastFrame = frame;
        self->copy.assign(frame, frame + self->copyBytes);
        self->arrived.notify_all();
    }
    bool waitFor(int n) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, std::chrono::seconds(20), [&] { return calls >= n; });
    }
};

TEST(SampleCallbackObject, AnswersItsOwnInterfacesWithoutCounting) {
    SampleVideo video;
    CSampleCB callback(&video);
    void* object = nullptr;
    EXPECT_EQ(callback.QueryInterface(IID_ISampleGrabberCB, &object), S_OK);
    EXPECT_EQ(object, static_cast<ISampleGrabberCB*>(&callback));
    EXPECT_EQ(callback.QueryInterface(IID_IUnknown, &object), S_OK);
    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(callback.QueryInterface(IID_IBaseFilter, &object), E_NOINTERFACE);
    EXPECT_EQ(object, reinterpret_cast<void*>(1)); // untouched
    EXPECT_EQ(callback.AddRef(), 2u);
    EXPECT_EQ(callback.AddRef(), 2u);
    EXPECT_EQ(callback.Release(), 1u);
    EXPECT_EQ(callback.SampleCB(0, nullptr), S_OK);
}

TEST(OnSample, WithoutACallbackNothingIsCopiedOrCounted) {
    SampleVideo video;
    video.makeFrame();
    BYTE sample[24];
    std::memset(sample, 0x11, sizeof sample);
    video.OnSample(sample, sizeof sample);
    EXPECT_EQ(video.pixels()[0], 0);
    EXPECT_EQ(video.GetFrameCount(), 0);
}

TEST(OnSample, EmptySamplesAreCountedAndShowThePreviousPicture) {
    SampleVideo video;
    video.makeFrame();
    Delivery delivery;
    video.SetSampleCallBack(Delivery::callBack, &delivery);
    BYTE sample[24];
    std::memset(sample, 0x22, sizeof sample);
    video.OnSample(sample, sizeof sample);
    video.OnSample(nullptr, 24);
    video.OnSample(sample + 1, 0);
    EXPECT_EQ(video.GetFrameCount(), 3);
    EXPECT_EQ(delivery.calls, 3);
    EXPECT_EQ(delivery.lastFrame, video.pixels());
    EXPECT_EQ(delivery.copy, std::vector<BYTE>(24, 0x22));
}

TEST(OnSample, ALongSampleIsCopiedOnlyUpToThePixelArea) {
    SampleVideo video;
    video.makeFrame();
    Delivery delivery;
    video.SetSampleCallBack(Delivery::callBack, &delivery);
    std::vector<BYTE> sample(40, 0x33);
    video.OnSample(sample.data(), LONG(sample.size()));
    const BYTE* after = video.pixels() + 24;
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(after[i], 0xEE) << i;
    EXPECT_EQ(video.pixels()[23], 0x33);
}

// Two callbacks, each with its own context; a callback that meets the other's context (or
// none) counts a mismatch.
struct Pairing {
    std::atomic<long> own{0}, mismatched{0};
    static void first(BYTE*, void* param) { check(param, 1); }
    static void second(BYTE*, void* param) { check(param, 2); }
    static void check(void* param, int expected) {
        auto* context = static_cast<std::pair<Pairing*, int>*>(param);
        if (!context || context->second != expected) {
            ++instance->mismatched;
            return;
        }
        ++context->first->own;
    }
    static inline Pairing* instance = nullptr;
};

TEST(OnSample, ACallbackAlwaysRunsWithItsOwnParameter) {
    // A large frame makes the copy between reading the callback and calling it take long.
    SampleVideo video;
    BITMAPINFOHEADER h{sizeof(BITMAPINFOHEADER), 1280, 720, 1, 24, BI_RGB,
                       1280 * 3 * 720,           0,    0,   0, 0};
    video.m_pBitmapInfo = CVideo::DupBitmap(reinterpret_cast<BITMAPINFO*>(&h));
    ASSERT_NE(video.m_pBitmapInfo, nullptr);
    std::vector<BYTE> sample(1280 * 3 * 720, 0x44);
    Pairing pairing;
    Pairing::instance = &pairing;
    std::pair<Pairing*, int> one{&pairing, 1}, two{&pairing, 2};

    std::atomic<bool> stop{false};
    std::thread streaming([&] {
        while (!stop.load())
            video.OnSample(sample.data(), LONG(sample.size()));
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (long i = 0; std::chrono::steady_clock::now() < deadline || pairing.own < 200; ++i) {
        switch (i % 3) {
        case 0:
            video.SetSampleCallBack(Pairing::first, &one);
            break;
        case 1:
            video.SetSampleCallBack(Pairing::second, &two);
            break;
        default:
            video.SetSampleCallBack(nullptr, nullptr);
        }
    }
    stop = true;
    streaming.join();
    EXPECT_EQ(pairing.mismatched.load(), 0);
    EXPECT_GE(pairing.own.load(), 200); // both threads really ran together
}

// A YUY2 test source feeds a grabber forced to RGB24 through the converter; the video's frame
// is sized from the connected type, as the capture graph does it.
class GrabberGraph : public ::testing::Test {
protected:
    void build(bool buffering) {
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC, IID_IGraphBuilder,
                                   reinterpret_cast<void**>(graph.GetAddressOf())),
                  S_OK);
        CoCreateInstance(CLSID_TestPatternSource, nullptr, CLSCTX_INPROC, IID_IBaseFilter,
                         reinterpret_cast<void**>(source.GetAddressOf()));
        source.query<ITestPatternSource>()->SetFormat(MEDIASUBTYPE_YUY2, 32, 16, UNITS / 30);
        CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC, IID_IBaseFilter,
                         reinterpret_cast<void**>(grabberFilter.GetAddressOf()));
        grabberFilter.As(&grabber);
        AM_MEDIA_TYPE mt{};
        mt.majortype = MEDIATYPE_Video;
        mt.subtype = MEDIASUBTYPE_RGB24;
        mt.formattype = FORMAT_VideoInfo;
        grabber->SetMediaType(&mt);
        graph->AddFilter(source.Get(), u"Video Capture");
        graph->AddFilter(grabberFilter.Get(), u"Sample Grabber");
        ComPtr<IEnumPins> outs, ins;
        IPin *out = nullptr, *in = nullptr;
        source->EnumPins(outs.GetAddressOf());
        outs->Next(1, &out, nullptr);
        grabberFilter->EnumPins(ins.GetAddressOf());
        ins->Next(1, &in, nullptr);
        ASSERT_EQ(graph->Connect(out, in), S_OK);
        out->Release();
        in->Release();

        AM_MEDIA_TYPE connected{};
        ASSERT_EQ(grabber->GetConnectedMediaType(&connected), S_OK);
        auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(connected.pbFormat);
        video.m_pBitmapInfo = CVideo::DupBitmap(reinterpret_cast<BITMAPINFO*>(&vih->bmiHeader));
        CoTaskMemFree(connected.pbFormat);
        video.m_pGrabber = grabber.Get();
        video.m_pGrabber->AddRef();
        grabber->SetBufferSamples(buffering);
        grabber->SetCallback(&callback, 1);
        graph.As(&control);
    }
    void TearDown() override {
        if (control)
            control->Stop();
        if (grabber)
            grabber->SetCallback(nullptr, 1);
    }

    SampleVideo video;
    CSampleCB callback{&video};
    Delivery delivery;
    ComPtr<IGraphBuilder> graph;
    ComPtr<IBaseFilter> source, grabberFilter;
    ComPtr<ISampleGrabber> grabber;
    ComPtr<IMediaControl> control;
};

TEST_F(GrabberGraph, EverySampleLandsInTheFrameAndReachesTheCallback) {
    build(false);
    delivery.copyBytes = 32 * 3 * 16;
    video.SetSampleCallBack(Delivery::callBack, &delivery);
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(delivery.waitFor(5));
    ASSERT_EQ(control->Stop(), S_OK);
    EXPECT_EQ(video.GetFrameCount(), delivery.calls);
    EXPECT_EQ(delivery.lastFrame, video.pixels());
    EXPECT_NE(delivery.copy, std::vector<BYTE>(delivery.copyBytes, 0)); // a picture arrived
}

TEST_F(GrabberGraph, CurrentImageNeedsBuffering) {
    build(false);
    video.SetSampleCallBack(Delivery::callBack, &delivery);
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(delivery.waitFor(1));
    ASSERT_EQ(control->Stop(), S_OK);
    const int calls = delivery.calls;
    EXPECT_EQ(video.GetCurrentImage(nullptr, 0), -1);
    EXPECT_EQ(delivery.calls, calls); // nothing was called
}

TEST_F(GrabberGraph, CurrentImageWithBufferingCopiesTheLastSample) {
    build(true);
    ASSERT_EQ(control->Run(), S_OK);
    LONG size = 0;
    for (int i = 0; i < 2000 && grabber->GetCurrentBuffer(&size, nullptr) != S_OK; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(control->Stop(), S_OK);
    ASSERT_EQ(size, 32 * 3 * 16);

    video.SetSampleCallBack(Delivery::callBack, &delivery);
    EXPECT_EQ(video.GetCurrentImage(nullptr, 0), 0);
    EXPECT_EQ(delivery.calls, 1);

    std::vector<BYTE> small(100, 0x5A);
    EXPECT_EQ(video.GetCurrentImage(small.data(), LONG(small.size())), 0);
    EXPECT_EQ(small, std::vector<BYTE>(100, 0x5A)); // too small: untouched

    std::vector<BYTE> whole(size, 0);
    EXPECT_EQ(video.GetCurrentImage(whole.data(), size), 0);
    EXPECT_EQ(0, std::memcmp(whole.data(), video.pixels(), size_t(size)));
}

TEST(GetCurrentImage, WithoutGrabberOrFrameAnswersMinusOne) {
    SampleVideo video;
    EXPECT_EQ(video.GetCurrentImage(nullptr, 0), -1);
    EXPECT_EQ(video.GetBitmapInfoPtr(), nullptr);
}

} // namespace

// Whole graphs: building, intelligent connect, running, stopping and the grabber's behaviour.
#include "graph_harness.h"
#include "media/base/media_type.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <limits>
#include <thread>

using namespace graph_test;

namespace {

class Graph : public ::testing::Test {
protected:
    ComScope com;
    // Declared before the graph, so they outlive the grabbers that hold them.
    CountingCallback callback, direct, converted;
    ComPtr<IGraphBuilder> graph = create<IGraphBuilder>(CLSID_FilterGraph);
    ComPtr<IMediaControl> control = graph.query<IMediaControl>();

    ComPtr<IBaseFilter> add(ComPtr<IBaseFilter> filter, const char16_t* name) {
        EXPECT_TRUE(SUCCEEDED(graph->AddFilter(filter.Get(), name)));
        return filter;
    }
    ComPtr<IBaseFilter> grabberFor(const GUID& subtype, CountingCallback& target, LONG mode = 1) {
        auto grabber = add(create(CLSID_SampleGrabber), u"Sample Grabber");
        auto sg = grabber.query<ISampleGrabber>();
        AM_MEDIA_TYPE mt = videoType(subtype);
        EXPECT_EQ(sg->SetMediaType(&mt), S_OK);
        EXPECT_EQ(sg->SetCallback(&target, mode), S_OK);
        return grabber;
    }
    HRESULT connect(IBaseFilter* up, IBaseFilter* down) {
        return graph->Connect(pinOf(up, PINDIR_OUTPUT).Get(), pinOf(down, PINDIR_INPUT).Get());
    }
};

// Reads pixel (x, row-from-top) of a bottom-up 24-bit DIB as {R, G, B}.
std::array<int, 3> pixelAt(const std::vector<BYTE>& dib, LONG width, LONG height, LONG x, LONG y) {
    const LONG stride = ((width * 24 + 31) / 32) * 4;
    const BYTE* p = dib.data() + size_t(height - 1 - y) * stride + x * 3;
    return {p[2], p[1], p[0]};
}

// The index of the test pattern's bar nearest to a colour.
int nearestBar(const std::array<int, 3>& rgb) {
    static const int bars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                                   {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {16, 16, 16}};
    int best = 0, bestDistance = 1 << 30;
    for (int i = 0; i < 8; ++i) {
        int d = 0;
        for (int c = 0; c < 3; ++c)
            d += (rgb[c] - bars[i][c]) * (rgb[c] - bars[i][c]);
        if (d < bestDistance)
            bestDistance = d, best = i;
    }
    return best;
}

// The bars run white, yellow, cyan, green, ... from left to right; with red and blue swapped
// yellow and cyan would trade places and the order would break.
void expectBarsInOrder(const std::vector<BYTE>& frame, LONG width, LONG height) {
    for (LONG y : {LONG{0}, LONG(height - 1)}) {
        std::vector<int> order;
        for (LONG x = 2; x < width; x += 4) {
            const int bar = nearestBar(pixelAt(frame, width, height, x, y));
            if (order.empty() || order.back() != bar)
                order.push_back(bar);
        }
        ASSERT_GE(order.size(), 7u);
        for (size_t i = 1; i < order.size(); ++i)
            EXPECT_EQ(order[i], (order[i - 1] + 1) % 8) << "row " << y;
    }
}

TEST_F(Graph, YuyvSourceThroughConverterGrabberAndNullRendererDeliversBottomUpBgr) {
    auto source = add(testSource(MEDIASUBTYPE_YUY2), u"Source");
    auto converter = add(create(CLSID_Colour), u"Converter");
    auto grabber = grabberFor(MEDIASUBTYPE_RGB24, callback);
    auto renderer = add(create(CLSID_NullRenderer), u"Renderer");
    ASSERT_EQ(graph->ConnectDirect(pinOf(source.Get(), PINDIR_OUTPUT).Get(),
                                   pinOf(converter.Get(), PINDIR_INPUT).Get(), nullptr),
              S_OK);
    ASSERT_EQ(connect(converter.Get(), grabber.Get()), S_OK);
    ASSERT_EQ(connect(grabber.Get(), renderer.Get()), S_OK);

    AM_MEDIA_TYPE connected{};
    ASSERT_EQ(grabber.query<ISampleGrabber>()->GetConnectedMediaType(&connected), S_OK);
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(connected.pbFormat);
    EXPECT_EQ(connected.subtype, MEDIASUBTYPE_RGB24);
    EXPECT_EQ(vih->bmiHeader.biHeight, 48); // bottom-up
    EXPECT_EQ(vih->bmiHeader.biSizeImage, 64u * 3 * 48);
    CoTaskMemFree(connected.pbFormat);

    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(callback.waitFor(5));
    ASSERT_EQ(control->Stop(), S_OK);
    const auto frame = callback.lastBuffer();
    ASSERT_EQ(frame.size(), 64u * 3 * 48);
    expectBarsInOrder(frame, 64, 48);
}

TEST_F(Graph, ConverterKeepsColoursAndOrientation) {
    // An RGB24 source is bottom-up already; forcing it through the converter to RGB32 and
    // comparing with the source's own picture checks channel order and row order together.
    auto source = add(testSource(MEDIASUBTYPE_RGB24, 64, 48), u"Source");
    auto tee = add(create(CLSID_SmartTee), u"Tee");
    auto plain = grabberFor(MEDIASUBTYPE_RGB24, direct);
    auto converter = add(create(CLSID_Colour), u"Converter");
    auto wide = add(create(CLSID_SampleGrabber), u"Wide");
    auto wideType = videoType(MEDIASUBTYPE_RGB32);
    wide.query<ISampleGrabber>()->SetMediaType(&wideType);
    wide.query<ISampleGrabber>()->SetCallback(&converted, 1);
    ASSERT_EQ(connect(source.Get(), tee.Get()), S_OK);
    ASSERT_EQ(graph->Connect(pinOf(tee.Get(), PINDIR_OUTPUT, 0).Get(),
                             pinOf(plain.Get(), PINDIR_INPUT).Get()),
              S_OK);
    ASSERT_EQ(graph->Connect(pinOf(tee.Get(), PINDIR_OUTPUT, 1).Get(),
                             pinOf(converter.Get(), PINDIR_INPUT).Get()),
              S_OK);
    ASSERT_EQ(connect(converter.Get(), wide.Get()), S_OK);
    // The tee hands each picture to both branches in turn, and stopping (downstream first)
    // may come between the two: compare the first picture each branch saw, which is one.
    std::vector<BYTE> rgb, rgbx;
    direct.onBuffer = [&](BYTE* b, LONG n) {
        if (rgb.empty())
            rgb.assign(b, b + n);
    };
    converted.onBuffer = [&](BYTE* b, LONG n) {
        if (rgbx.empty())
            rgbx.assign(b, b + n);
    };
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(direct.waitFor(3));
    ASSERT_TRUE(converted.waitFor(3));
    ASSERT_EQ(control->Stop(), S_OK);
    ASSERT_EQ(rgb.size(), 64u * 3 * 48);
    ASSERT_EQ(rgbx.size(), 64u * 4 * 48);
    for (LONG i = 0; i < 64 * 48; ++i) {
        ASSERT_EQ(rgbx[i * 4 + 0], rgb[(i / 64) * 192 + (i % 64) * 3 + 0]) << i;
        ASSERT_EQ(rgbx[i * 4 + 2], rgb[(i / 64) * 192 + (i % 64) * 3 + 2]) << i;
    }
}

TEST_F(Graph, IntelligentConnectInsertsOnlyTheNeededFilters) {
    struct Case {
        GUID source;
        GUID wanted;
        std::vector<std::u16string> names;
    };
    const std::vector<Case> cases = {
        {MEDIASUBTYPE_YUY2,
         MEDIASUBTYPE_RGB24,
         {u"Source", u"Sample Grabber", u"Color Space Converter"}},
        {MEDIASUBTYPE_MJPG,
         MEDIASUBTYPE_RGB24,
         {u"Source", u"Sample Grabber", u"MJPEG Decompressor"}},
        {MEDIASUBTYPE_MJPG,
         MEDIASUBTYPE_RGB32,
         {u"Source", u"Sample Grabber", u"MJPEG Decompressor"}},
        {MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB24, {u"Source", u"Sample Grabber"}},
    };
    for (const auto& c : cases) {
        auto g = create<IGraphBuilder>(CLSID_FilterGraph);
        auto source = testSource(c.source);
        auto grabber = create(CLSID_SampleGrabber);
        auto mt = videoType(c.wanted);
        grabber.query<ISampleGrabber>()->SetMediaType(&mt);
        g->AddFilter(source.Get(), u"Source");
        g->AddFilter(grabber.Get(), u"Sample Grabber");
        ASSERT_EQ(g->Connect(pinOf(source.Get(), PINDIR_OUTPUT).Get(),
                             pinOf(grabber.Get(), PINDIR_INPUT).Get()),
                  S_OK);
        EXPECT_EQ(filterNames(g.Get()), c.names);
    }
}

TEST_F(Graph, MjpegSourceThroughDecompressorReachesTheGrabber) {
    auto source = add(testSource(MEDIASUBTYPE_MJPG, 64, 48), u"Source");
    auto grabber = grabberFor(MEDIASUBTYPE_RGB24, callback);
    ASSERT_EQ(connect(source.Get(), grabber.Get()), S_OK);
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(callback.waitFor(3));
    ASSERT_EQ(control->Stop(), S_OK);
    const auto frame = callback.lastBuffer();
    ASSERT_EQ(frame.size(), 64u * 3 * 48);
    expectBarsInOrder(frame, 64, 48);
}

TEST_F(Graph, ImpossibleConnectionLeavesNothingBehind) {
    auto source = add(testSource(MEDIASUBTYPE_YUY2), u"Source");
    auto grabber = add(create(CLSID_SampleGrabber), u"Sample Grabber");
    auto audio = videoType(GUID_NULL);
    audio.majortype = MEDIATYPE_Audio;
    grabber.query<ISampleGrabber>()->SetMediaType(&audio);
    EXPECT_EQ(connect(source.Get(), grabber.Get()), VFW_E_CANNOT_CONNECT);
    EXPECT_EQ(filterNames(graph.Get()),
              (std::vector<std::u16string>{u"Source", u"Sample Grabber"}));
    IPin* peer = reinterpret_cast<IPin*>(1);
    EXPECT_EQ(pinOf(source.Get(), PINDIR_OUTPUT)->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(peer, nullptr);
}

TEST_F(Graph, RenderEndsAnOutputInARenderer) {
    auto source = add(testSource(MEDIASUBTYPE_YUY2), u"Source");
    auto grabber = grabberFor(MEDIASUBTYPE_RGB24, callback);
    ASSERT_EQ(connect(source.Get(), grabber.Get()), S_OK);
    ASSERT_EQ(graph->Render(pinOf(grabber.Get(), PINDIR_OUTPUT).Get()), S_OK);
    ComPtr<IBaseFilter> renderer;
    EXPECT_EQ(graph->FindFilterByName(u"Video Renderer", renderer.GetAddressOf()), S_OK);
    EXPECT_EQ(graph->Render(pinOf(grabber.Get(), PINDIR_OUTPUT).Get()), VFW_E_ALREADY_CONNECTED);
}

TEST_F(Graph, MembershipKeepsNamesUniqueAndRemovalDisconnects) {
    auto first = create(CLSID_NullRenderer);
    auto second = create(CLSID_NullRenderer);
    EXPECT_EQ(graph->AddFilter(first.Get(), u"Renderer"), S_OK);
    EXPECT_EQ(graph->AddFilter(second.Get(), u"Renderer"), VFW_S_DUPLICATE_NAME);
    EXPECT_EQ(filterNames(graph.Get()),
              (std::vector<std::u16string>{u"Renderer", u"Renderer 0001"}));
    ComPtr<IBaseFilter> found;
    EXPECT_EQ(graph->FindFilterByName(u"Nobody", found.GetAddressOf()), VFW_E_NOT_FOUND);
    EXPECT_EQ(found, nullptr);

    auto source = add(testSource(MEDIASUBTYPE_YUY2), u"Source");
    ASSERT_EQ(graph->ConnectDirect(pinOf(source.Get(), PINDIR_OUTPUT).Get(),
                                   pinOf(first.Get(), PINDIR_INPUT).Get(), nullptr),
              S_OK);
    EXPECT_EQ(graph->RemoveFilter(first.Get()), S_OK);
    EXPECT_EQ(graph->RemoveFilter(first.Get()), VFW_E_NOT_FOUND);
    IPin* peer = nullptr;
    EXPECT_EQ(pinOf(source.Get(), PINDIR_OUTPUT)->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    FILTER_INFO info{};
    first->QueryFilterInfo(&info);
    EXPECT_EQ(info.pGraph, nullptr);
}

TEST_F(Graph, ConnectionsChangeOnlyWhileStopped) {
    auto source = add(testSource(MEDIASUBTYPE_RGB24), u"Source");
    auto grabber = grabberFor(MEDIASUBTYPE_RGB24, callback);
    auto renderer = add(create(CLSID_NullRenderer), u"Renderer");
    ASSERT_EQ(connect(source.Get(), grabber.Get()), S_OK);
    ASSERT_EQ(control->Run(), S_OK);
    EXPECT_EQ(connect(grabber.Get(), renderer.Get()), VFW_E_NOT_STOPPED);
    EXPECT_EQ(pinOf(source.Get(), PINDIR_OUTPUT)->Disconnect(), VFW_E_NOT_STOPPED);
    EXPECT_EQ(graph->RemoveFilter(renderer.Get()), VFW_E_NOT_STOPPED);
    OAFilterState state = -1;
    EXPECT_EQ(control->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Running);
    ASSERT_EQ(control->Stop(), S_OK);
    EXPECT_EQ(control->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Stopped);
}

TEST_F(Graph, NoSampleOrCallbackFollowsStop) {
    std::atomic<bool> stopped{false};
    std::atomic<int> late{0};
    callback.onBuffer = [&](BYTE*, LONG) {
        if (stopped)
            ++late;
    };
    auto source = add(testSource(MEDIASUBTYPE_YUY2), u"Source");
    auto grabber = grabberFor(MEDIASUBTYPE_RGB24, callback);
    ASSERT_EQ(connect(source.Get(), grabber.Get()), S_OK);
    for (int round = 0; round < 20; ++round) {
        stopped = false;
        const int before = callback.samples();
        ASSERT_EQ(control->Run(), S_OK);
        ASSERT_TRUE(callback.waitFor(before + 2));
        ASSERT_EQ(control->Stop(), S_OK);
        stopped = true;
        std::this_thread::yield();
    }
    EXPECT_EQ(late, 0);
}

TEST_F(Graph, StopWaitsForASleepingCallbackAndNothingFollows) {
    std::atomic<bool> inside{false}, finished{false};
    callback.onBuffer = [&](BYTE*, LONG) {
        if (inside.exchange(true))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        finished = true;
    };
    auto source = add(testSource(MEDIASUBTYPE_YUY2), u"Source");
    auto grabber = grabberFor(MEDIASUBTYPE_RGB24, callback);
    ASSERT_EQ(connect(source.Get(), grabber.Get()), S_OK);
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(callback.waitFor(1));
    ASSERT_EQ(control->Stop(), S_OK);
    EXPECT_TRUE(finished); // Stop returned only after the callback left
    const int count = callback.samples();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(callback.samples(), count);
}

TEST_F(Graph, StopWakesAStreamBlockedOnAnExhaustedPool) {
    // Mode 0 hands out the sample itself; holding on to every one empties the converter's
    // pool, so the streaming thread waits in GetBuffer until Stop decommits the pool.
    std::mutex heldMutex;
    std::vector<ComPtr<IMediaSample>> held;
    callback.onSample = [&](IMediaSample* sample) {
        std::lock_guard lock(heldMutex);
        held.emplace_back(sample);
    };
    auto source = add(testSource(MEDIASUBTYPE_YUY2), u"Source");
    auto grabber = grabberFor(MEDIASUBTYPE_RGB24, callback, 0);
    ASSERT_EQ(connect(source.Get(), grabber.Get()), S_OK);
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(callback.waitFor(2)); // the converter's pool has two buffers
    ASSERT_EQ(control->Stop(), S_OK);
    EXPECT_EQ(callback.samples(), 2);
    std::lock_guard lock(heldMutex);
    held.clear(); // samples outlive the stop and go back to their pool
}

TEST_F(Graph, ThousandRunPauseStopCyclesLeaveNothingBehind) {
    auto source = add(testSource(MEDIASUBTYPE_YUY2, 320, 240), u"Source");
    auto converter = add(create(CLSID_Colour), u"Converter");
    auto grabber = grabberFor(MEDIASUBTYPE_RGB24, callback);
    auto renderer = add(create(CLSID_NullRenderer), u"Renderer");
    ASSERT_EQ(connect(source.Get(), converter.Get()), S_OK);
    ASSERT_EQ(connect(converter.Get(), grabber.Get()), S_OK);
    ASSERT_EQ(connect(grabber.Get(), renderer.Get()), S_OK);
    const ULONG sourceRefs = refCount(source.Get());
    const ULONG converterRefs = refCount(converter.Get());
    for (int cycle = 0; cycle < 1000; ++cycle) {
        ASSERT_EQ(control->Run(), S_OK);
        if (cycle % 3 == 0) {
            ASSERT_EQ(control->Pause(), S_OK);
        }
        if (cycle % 5 == 0) {
            ASSERT_EQ(control->StopWhenReady(), S_OK);
        }
        ASSERT_EQ(control->Stop(), S_OK);
    }
    EXPECT_EQ(refCount(source.Get()), sourceRefs);
    EXPECT_EQ(refCount(converter.Get()), converterRefs);
    graph = nullptr;
    control = nullptr;
    EXPECT_EQ(refCount(source.Get()), 1u); // the graph let go of everything
    EXPECT_EQ(refCount(grabber.Get()), 1u);
}

TEST_F(Graph, StateChangesFromAStreamingThreadAreRefused) {
    std::atomic<HRESULT> fromCallback{S_OK};
    callback.onBuffer = [&](BYTE*, LONG) { fromCallback = control->Stop(); };
    auto source = add(testSource(MEDIASUBTYPE_RGB24), u"Source");
    auto grabber = grabberFor(MEDIASUBTYPE_RGB24, callback);
    ASSERT_EQ(connect(source.Get(), grabber.Get()), S_OK);
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(callback.waitFor(1));
    ASSERT_EQ(control->Stop(), S_OK);
    EXPECT_EQ(fromCallback, VFW_E_WRONG_STATE);
}

// Stops the graph on another thread and fails at once, rather than at the suite's time-out,
// when Stop never returns.
void stopWithin(IMediaControl* control, std::chrono::seconds limit) {
    auto stopped = std::async(std::launch::async, [control] { return control->Stop(); });
    if (stopped.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "Stop did not return: deadlock\n");
        std::abort();
    }
    EXPECT_EQ(stopped.get(), S_OK);
}

TEST_F(Graph, ACallbackAskingForItsConnectionWhileStopWaitsForItDoesNotDeadlock) {
    auto source = add(testSource(MEDIASUBTYPE_RGB24), u"Source");
    auto grabber = grabberFor(MEDIASUBTYPE_RGB24, callback);
    auto sg = grabber.query<ISampleGrabber>();
    auto input = pinOf(grabber.Get(), PINDIR_INPUT);
    ASSERT_EQ(connect(source.Get(), grabber.Get()), S_OK);
    std::atomic<bool> asked{false};
    std::atomic<HRESULT> typeAnswer{E_FAIL}, peerAnswer{E_FAIL};
    callback.onBuffer = [&](BYTE*, LONG) {
        if (asked.exchange(true))
            return;
        // Once the grabber reads as stopped, Stop holds its state lock and waits for this
        // callback to leave.
        FILTER_STATE state = State_Running;
        while (grabber->GetState(0, &state) == S_OK && state != State_Stopped)
            std::this_thread::yield();
        AM_MEDIA_TYPE mt{};
        typeAnswer = sg->GetConnectedMediaType(&mt);
        platform::media::freeMediaType(mt);
        IPin* peer = nullptr;
        peerAnswer = input->ConnectedTo(&peer);
        if (peer)
            peer->Release();
    };
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(callback.waitFor(1));
    stopWithin(control.Get(), std::chrono::seconds(10));
    EXPECT_EQ(typeAnswer, S_OK);
    EXPECT_EQ(peerAnswer, S_OK);
}

// A reference-counted callback that detaches itself from inside its call and counts the
// call afterwards: the grabber must keep it alive until the call returns.
class SelfDetachingCallback final : public ISampleGrabberCB {
public:
    SelfDetachingCallback(ISampleGrabber* grabber, std::atomic<int>& calls, std::atomic<bool>& gone)
        : grabber_(grabber), calls_(calls), gone_(gone) {}
    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_ISampleGrabberCB) {
            *object = static_cast<ISampleGrabberCB*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) {
            gone_ = true;
            delete this;
        }
        return left;
    }
    HRESULT SampleCB(double, IMediaSample*) override { return S_OK; }
    HRESULT BufferCB(double, BYTE*, LONG) override {
        grabber_->SetCallback(nullptr, 1);
        ++calls_; // reads this object after detaching
        return S_OK;
    }

private:
    ~SelfDetachingCallback() = default;
    ISampleGrabber* grabber_;
    std::atomic<int>& calls_;
    std::atomic<bool>& gone_;
    std::atomic<ULONG> refs_{1};
};

TEST_F(Graph, ACallbackThatDetachesItselfStaysAliveUntilItsCallReturns) {
    auto source = add(testSource(MEDIASUBTYPE_RGB24), u"Source");
    auto grabber = add(create(CLSID_SampleGrabber), u"Sample Grabber");
    auto sg = grabber.query<ISampleGrabber>();
    AM_MEDIA_TYPE mt = videoType(MEDIASUBTYPE_RGB24);
    ASSERT_EQ(sg->SetMediaType(&mt), S_OK);
    ASSERT_EQ(connect(source.Get(), grabber.Get()), S_OK);
    std::atomic<int> calls{0};
    std::atomic<bool> gone{false};
    auto* own = new SelfDetachingCallback(sg.Get(), calls, gone);
    ASSERT_EQ(sg->SetCallback(own, 1), S_OK);
    own->Release(); // the grabber holds the only reference now
    ASSERT_EQ(control->Run(), S_OK);
    for (int i = 0; i < 2000 && !gone; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(control->Stop(), S_OK);
    EXPECT_TRUE(gone);
    EXPECT_EQ(calls, 1);
}

TEST_F(Graph, TransformsRefusePicturesTooLargeOrTallToSize) {
    auto decoder = create(CLSID_MjpegDec);
    auto converter = create(CLSID_Colour);
    auto typeOf = [](const GUID& subtype, LONG width, LONG height, WORD bits) {
        BITMAPINFOHEADER header{};
        header.biSize = sizeof(header);
        header.biWidth = width;
        header.biHeight = height;
        header.biPlanes = 1;
        header.biBitCount = bits;
        return platform::media::MediaType::video(subtype, header, UNITS / 30);
    };
    auto decoderIn = pinOf(decoder.Get(), PINDIR_INPUT);
    EXPECT_EQ(decoderIn->QueryAccept(&typeOf(MEDIASUBTYPE_MJPG, 640, 480, 24).get()), S_OK);
    // 40000 x 40000 RGB32 rows would wrap the 32-bit output size to a small buffer.
    EXPECT_EQ(decoderIn->QueryAccept(&typeOf(MEDIASUBTYPE_MJPG, 40000, 40000, 24).get()), S_FALSE);
    EXPECT_EQ(decoderIn->QueryAccept(
                  &typeOf(MEDIASUBTYPE_MJPG, 640, std::numeric_limits<LONG>::min(), 24).get()),
              S_FALSE);
    auto converterIn = pinOf(converter.Get(), PINDIR_INPUT);
    EXPECT_EQ(converterIn->QueryAccept(&typeOf(MEDIASUBTYPE_YUY2, 640, -480, 16).get()), S_OK);
    EXPECT_EQ(converterIn->QueryAccept(
                  &typeOf(MEDIASUBTYPE_YUY2, 640, std::numeric_limits<LONG>::min(), 16).get()),
              S_FALSE);
}

} // namespace

TEST_F(Graph, OneShotDeliversOneSamplePerRunAndKeepsIt) {
    auto source = add(testSource(MEDIASUBTYPE_YUY2), u"Source");
    auto grabber = grabberFor(MEDIASUBTYPE_RGB24, callback);
    auto sg = grabber.query<ISampleGrabber>();
    ASSERT_EQ(connect(source.Get(), grabber.Get()), S_OK);
    ASSERT_EQ(sg->SetOneShot(TRUE), S_OK);
    ASSERT_EQ(sg->SetBufferSamples(TRUE), S_OK);
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_EQ(control->Run(), S_OK);
        ASSERT_TRUE(callback.waitFor(run));
        // At 30 frames a second, several more pictures would have come by now.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(callback.samples(), run);
        ASSERT_EQ(control->Stop(), S_OK);
        // The one sample is kept.
        LONG size = 0;
        ASSERT_EQ(sg->GetCurrentBuffer(&size, nullptr), S_OK);
        EXPECT_EQ(size, 64 * 3 * 48);
        std::vector<BYTE> kept(static_cast<size_t>(size));
        ASSERT_EQ(sg->GetCurrentBuffer(&size, reinterpret_cast<LONG*>(kept.data())), S_OK);
        EXPECT_EQ(kept, callback.lastBuffer());
    }
    // Back to continuous: the stream keeps flowing.
    ASSERT_EQ(sg->SetOneShot(FALSE), S_OK);
    ASSERT_EQ(control->Run(), S_OK);
    EXPECT_TRUE(callback.waitFor(6));
    ASSERT_EQ(control->Stop(), S_OK);
}

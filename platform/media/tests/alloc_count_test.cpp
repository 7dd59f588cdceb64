// Steady-state streaming allocates nothing: heap allocations are counted on every thread
// between frame 10 and frame 110 of a source -> converter -> grabber graph.
#include "graph_harness.h"
#include "heap_counter.h"

using namespace graph_test;

namespace {

TEST(SteadyState, HundredFramesThroughConverterAndGrabberAllocateNothing) {
    ComScope com;
    auto graph = create<IGraphBuilder>(CLSID_FilterGraph);
    auto source = testSource(MEDIASUBTYPE_YUY2, 320, 240);
    auto grabber = create(CLSID_SampleGrabber);
    auto renderer = create(CLSID_NullRenderer);
    graph->AddFilter(source.Get(), u"Source");
    graph->AddFilter(grabber.Get(), u"Sample Grabber");
    graph->AddFilter(renderer.Get(), u"Renderer");
    auto sg = grabber.query<ISampleGrabber>();
    auto mt = videoType(MEDIASUBTYPE_RGB24);
    sg->SetMediaType(&mt);
    sg->SetBufferSamples(TRUE);

    // The callback copies each frame into a buffer sized once, as the program's drawing does.
    std::vector<BYTE> copy(320 * 240 * 3);
    std::atomic<int> frames{0};
    std::mutex doneMutex;
    std::condition_variable done;
    CountingCallback callback; // its recording allocates: only its hook is used here
    struct Hook final : ISampleGrabberCB {
        std::function<void(BYTE*, LONG)> body;
        HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
        ULONG AddRef() override { return 2; }
        ULONG Release() override { return 1; }
        HRESULT SampleCB(double, IMediaSample*) override { return S_OK; }
        HRESULT BufferCB(double, BYTE* buffer, LONG length) override {
            body(buffer, length);
            return S_OK;
        }
    } hook;
    hook.body = [&](BYTE* buffer, LONG length) {
        std::memcpy(copy.data(), buffer, std::min<size_t>(copy.size(), size_t(length)));
        const int n = ++frames;
        if (n == 10)
            heap_counter::counting = true;
        if (n == 110) {
            heap_counter::counting = false;
            std::lock_guard lock(doneMutex);
            done.notify_all();
        }
    };
    sg->SetCallback(&hook, 1);
    ASSERT_EQ(graph->Connect(pinOf(source.Get(), PINDIR_OUTPUT).Get(),
                             pinOf(grabber.Get(), PINDIR_INPUT).Get()),
              S_OK);
    ASSERT_EQ(graph->Connect(pinOf(grabber.Get(), PINDIR_OUTPUT).Get(),
                             pinOf(renderer.Get(), PINDIR_INPUT).Get()),
              S_OK);
    auto control = graph.query<IMediaControl>();
    ASSERT_EQ(control->Run(), S_OK);
    {
        std::unique_lock lock(doneMutex);
        ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(30), [&] { return frames >= 110; }));
    }
    ASSERT_EQ(control->Stop(), S_OK);
    EXPECT_EQ(heap_counter::allocations.load(), 0);
    sg->SetCallback(nullptr, 1);
}

} // namespace

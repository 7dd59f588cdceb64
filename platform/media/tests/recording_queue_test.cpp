// The recording queue between a camera's capture stream and the recording branch: the live
// picture never waits for the branch, frames the branch cannot take are dropped and counted,
// and stopping hands over what the queue holds.
#include "graph_harness.h"
#include "media/base/media_type.h"
#include "media/filters/recording_queue/recording_queue.h"

#include <platform/media/test_pattern_camera.h>

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

using namespace graph_test;

namespace {

// A recording side the test can hold: its callback blocks while `held` is set.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    int blocked = 0; // callbacks waiting right now

    void hold() {
        std::lock_guard lock(mutex);
        held = true;
    }
    void release() {
        std::lock_guard lock(mutex);
        held = false;
        changed.notify_all();
    }
    void pass() {
        std::unique_lock lock(mutex);
        ++blocked;
        changed.notify_all();
        changed.wait(lock, [&] { return !held; });
        --blocked;
    }
    bool waitBlocked() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return blocked > 0; });
    }
};

// Camera (unpaced: as fast as it is taken) -> smart tee; preview -> live grabber; capture ->
// recording queue -> recording grabber, built by the capture graph builder as a recording
// branch is.
struct RecordingGraph {
    explicit RecordingGraph(bool paced = false) {
        platform::media::createTestPatternCamera({{MEDIASUBTYPE_YUY2}, paced}, IID_IBaseFilter,
                                                 reinterpret_cast<void**>(camera.GetAddressOf()));
        auto config = pinOf(camera.Get(), PINDIR_OUTPUT).query<IAMStreamConfig>();
        AM_MEDIA_TYPE* mt = nullptr;
        config->GetFormat(&mt);
        auto* info = reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat);
        info->bmiHeader.biWidth = 160;
        info->bmiHeader.biHeight = 120;
        info->AvgTimePerFrame = UNITS / 30;
        EXPECT_EQ(config->SetFormat(mt), S_OK);
        platform::media::deleteMediaType(mt);
        builder->SetFiltergraph(graph.Get());
        graph->AddFilter(camera.Get(), u"Camera");
        graph->AddFilter(liveFilter.Get(), u"Live");
        graph->AddFilter(recordFilter.Get(), u"Record");
        EXPECT_TRUE(SUCCEEDED(builder->RenderStream(&PIN_CATEGORY_PREVIEW, &MEDIATYPE_Video,
                                                    camera.Get(), nullptr, liveFilter.Get())));
        EXPECT_EQ(builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.Get(),
                                        nullptr, recordFilter.Get()),
                  S_OK);
        // The queue sits right in front of the recording side.
        PIN_INFO info2{};
        ComPtr<IPin> peer;
        pinOf(recordFilter.Get(), PINDIR_INPUT)->ConnectedTo(peer.GetAddressOf());
        EXPECT_TRUE(peer);
        if (peer && SUCCEEDED(peer->QueryPinInfo(&info2)) && info2.pFilter)
            queue = ComPtr<IBaseFilter>::adopt(info2.pFilter);
        live->SetCallback(&liveFrames, 1);
        recordFrames.onSample = [this](IMediaSample* sample) {
            REFERENCE_TIME start = 0, end = 0;
            sample->GetTime(&start, &end);
            lastRecordedEnd = end;
            gate.pass();
        };
        record->SetCallback(&recordFrames, 0);
    }
    ~RecordingGraph() {
        gate.release();
        control->Stop();
        live->SetCallback(nullptr, 1);
        record->SetCallback(nullptr, 0);
    }
    long dropped() {
        long n = -1;
        queue.query<IAMDroppedFrames>()->GetNumDropped(&n);
        return n;
    }
    long passed() {
        long n = -1;
        queue.query<IAMDroppedFrames>()->GetNumNotDropped(&n);
        return n;
    }

    ComPtr<IBaseFilter> camera;
    ComPtr<IGraphBuilder> graph = create<IGraphBuilder>(CLSID_FilterGraph);
    ComPtr<ICaptureGraphBuilder2> builder =
        create<ICaptureGraphBuilder2>(CLSID_CaptureGraphBuilder2);
    ComPtr<IBaseFilter> liveFilter = create(CLSID_SampleGrabber);
    ComPtr<ISampleGrabber> live = liveFilter.query<ISampleGrabber>();
    ComPtr<IBaseFilter> recordFilter = create(CLSID_SampleGrabber);
    ComPtr<ISampleGrabber> record = recordFilter.query<ISampleGrabber>();
    ComPtr<IBaseFilter> queue;
    ComPtr<IMediaControl> control = graph.query<IMediaControl>();
    CountingCallback liveFrames, recordFrames;
    Gate gate;
    REFERENCE_TIME lastRecordedEnd = -1; // written by the queue's thread inside the gate
};

} // namespace

TEST(RecordingQueue, LiveFramesFlowWhileTheRecordingSideIsHeldAndItsDropsAreCounted) {
    ComScope com;
    RecordingGraph g;
    ASSERT_TRUE(g.queue);
    CLSID clsid{};
    g.queue->GetClassID(&clsid);
    EXPECT_EQ(clsid, CLSID_RecordingQueue);
    g.gate.hold();
    ASSERT_EQ(g.control->Run(), S_OK);
    ASSERT_TRUE(g.gate.waitBlocked()); // the recording side is stuck in its first frame
    const int liveBefore = g.liveFrames.samples();
    // Far more live frames than the queue can hold arrive while the recording side waits.
    ASSERT_TRUE(g.liveFrames.waitFor(liveBefore + 100));
    EXPECT_EQ(g.recordFrames.samples(), 1);
    const long dropped = g.dropped();
    EXPECT_GE(dropped, 100 - 8 - 1) << "every frame the full queue could not take is counted";
    long numbers[4] = {};
    long copied = 0;
    ASSERT_EQ(g.queue.query<IAMDroppedFrames>()->GetDroppedInfo(4, numbers, &copied), S_OK);
    EXPECT_EQ(copied, 4);
    for (int i = 1; i < copied; ++i)
        EXPECT_EQ(numbers[i], numbers[i - 1] + 1) << "a full queue drops frame after frame";
    g.gate.release();
    // Once released, the recording side catches up and takes new frames again.
    ASSERT_TRUE(g.recordFrames.waitFor(20));
    g.control->Stop();
    EXPECT_EQ(g.passed(), g.recordFrames.samples());
}

TEST(RecordingQueue, FinishHandsOverWhatItHoldsAndGivesTheEndOfTheRecording) {
    ComScope com;
    RecordingGraph g;
    ASSERT_TRUE(g.queue);
    auto finish = g.queue.query<IRecordingQueue>();
    ASSERT_TRUE(finish);
    REFERENCE_TIME end = 0;
    EXPECT_EQ(finish->Finish(0, &end), S_FALSE); // nothing arrived yet
    g.gate.hold();
    ASSERT_EQ(g.control->Run(), S_OK);
    ASSERT_TRUE(g.gate.waitBlocked());
    ASSERT_TRUE(g.liveFrames.waitFor(g.liveFrames.samples() + 30)); // the queue is full
    const long droppedWhileHeld = g.dropped();
    ASSERT_GT(droppedWhileHeld, 0);
    g.gate.release();
    ASSERT_EQ(finish->Finish(20000, &end), S_OK);
    // Every queued frame reached the recording side; the queue takes nothing more.
    const int recorded = g.recordFrames.samples();
    EXPECT_EQ(g.passed(), recorded);
    EXPECT_GT(recorded, 2);
    ASSERT_TRUE(g.liveFrames.waitFor(g.liveFrames.samples() + 20));
    EXPECT_EQ(g.recordFrames.samples(), recorded);
    // The end lies at or after the last recorded frame's end, on the frame grid: frames
    // dropped at the end still count towards the recording's length.
    EXPECT_GE(end, g.lastRecordedEnd);
    EXPECT_EQ((end - g.lastRecordedEnd) % (UNITS / 30), 0);
    g.control->Stop();
}

TEST(RecordingQueue, FinishGivesUpOnAHeldBranchAfterItsTimeOutAndCountsWhatItHeldAsDropped) {
    ComScope com;
    RecordingGraph g;
    ASSERT_TRUE(g.queue);
    g.gate.hold();
    ASSERT_EQ(g.control->Run(), S_OK);
    ASSERT_TRUE(g.gate.waitBlocked());
    ASSERT_TRUE(g.liveFrames.waitFor(g.liveFrames.samples() + 30));
    REFERENCE_TIME end = 0;
    ASSERT_EQ(g.queue.query<IRecordingQueue>()->Finish(10, &end), S_OK);
    const long dropped = g.dropped();
    g.gate.release();
    g.control->Stop();
    // The frames still queued at the time-out were dropped there, not delivered later.
    EXPECT_EQ(g.recordFrames.samples(), 1);
    EXPECT_EQ(g.dropped(), dropped);
    EXPECT_GE(end, g.lastRecordedEnd);
}

// Frames still queued when a finish gives up are dropped there: the count covers them and the
// dropped-frame list names each by its number, never as frame 0 (which was delivered). The
// camera keeps its rate, so the few frames queued behind the held one are the first dropped.
TEST(RecordingQueue, FramesDiscardedAtAFinishAreListedByTheirNumbers) {
    ComScope com;
    RecordingGraph g(true);
    ASSERT_TRUE(g.queue);
    g.gate.hold();
    ASSERT_EQ(g.control->Run(), S_OK);
    ASSERT_TRUE(g.gate.waitBlocked()); // frame 0 is held on the recording side
    ASSERT_TRUE(g.liveFrames.waitFor(g.liveFrames.samples() + 3));
    REFERENCE_TIME end = 0;
    ASSERT_EQ(g.queue.query<IRecordingQueue>()->Finish(10, &end), S_OK);
    const long dropped = g.dropped();
    ASSERT_GT(dropped, 0);
    std::vector<long> numbers(size_t(dropped) + 1, -1);
    long copied = 0;
    ASSERT_EQ(g.queue.query<IAMDroppedFrames>()->GetDroppedInfo(long(numbers.size()),
                                                                numbers.data(), &copied),
              S_OK);
    EXPECT_EQ(copied, std::min<long>(dropped, 64));
    std::set<long> distinct;
    for (long i = 0; i < copied; ++i) {
        EXPECT_GE(numbers[size_t(i)], 1) << "entry " << i;
        distinct.insert(numbers[size_t(i)]);
    }
    EXPECT_EQ(long(distinct.size()), copied) << "a frame listed twice";
    g.gate.release();
    g.control->Stop();
}

// The graph utilities of CVideo: adding filters, finding pins, connecting, and removing
// everything downstream of a filter.
#include <lumora/Video.h>
#include <platform/com_ptr.h>
#include <platform/com_registry.h>
#include <platform/media/media.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using platform::ComPtr;

namespace {

class GraphVideo : public CVideo {
public:
    using CVideo::AddFilter;
    using CVideo::CloseInterfaces;
    using CVideo::ConnectFilters;
    using CVideo::GetInPin;
    using CVideo::GetInterfaces;
    using CVideo::GetOutPin;
    using CVideo::GetPin;
    using CVideo::GetUnconnectedPin;
    using CVideo::m_nOpenMode;
    using CVideo::m_pCapBuilder;
    using CVideo::m_pGraph;
    using CVideo::m_pMediaControl;
    using CVideo::Release;
    using CVideo::ReleaseDownstream;
};

ULONG refCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// A graph that records the filters it is asked to remove and passes every call on.
class RecordingGraph final : public IGraphBuilder {
public:
    explicit RecordingGraph(IGraphBuilder* inner) : inner_(inner) {}
    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_IFilterGraph || riid == IID_IGraphBuilder) {
            *object = static_cast<IGraphBuilder*>(this);
            return S_OK;
        }
        return inner_->QueryInterface(riid, object);
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT AddFilter(IBaseFilter* f, LPCWSTR n) override { return inner_->AddFilter(f, n); }
    HRESULT RemoveFilter(IBaseFilter* f) override {
        FILTER_INFO info{};
        f->QueryFilterInfo(&info);
        if (info.pGraph)
            info.pGraph->Release();
        removed.emplace_back(info.achName);
        return inner_->RemoveFilter(f);
    }
    HRESULT EnumFilters(IEnumFilters** e) override { return inner_->EnumFilters(e); }
    HRESULT FindFilterByName(LPCWSTR n, IBaseFilter** f) override {
        return inner_->FindFilterByName(n, f);
    }
    HRESULT ConnectDirect(IPin* o, IPin* i, const AM_MEDIA_TYPE* m) override {
        return inner_->ConnectDirect(o, i, m);
    }
    HRESULT Reconnect(IPin* p) override { return inner_->Reconnect(p); }
    HRESULT Disconnect(IPin* p) override { return inner_->Disconnect(p); }
    HRESULT SetDefaultSyncSource() override { return inner_->SetDefaultSyncSource(); }
    HRESULT Connect(IPin* o, IPin* i) override { return inner_->Connect(o, i); }
    HRESULT Render(IPin* o) override { return inner_->Render(o); }
    HRESULT RenderFile(LPCWSTR f, LPCWSTR p) override { return inner_->RenderFile(f, p); }
    HRESULT AddSourceFilter(LPCWSTR f, LPCWSTR n, IBaseFilter** o) override {
        return inner_->AddSourceFilter(f, n, o);
    }
    HRESULT SetLogFile(DWORD_PTR f) override { return inner_->SetLogFile(f); }
    HRESULT Abort() override { return inner_->Abort(); }
    HRESULT ShouldOperationContinue() override { return inner_->ShouldOperationContinue(); }

    std::vector<std::u16string> removed;

private:
    IGraphBuilder* inner_;
};

class VideoGraph : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC, IID_IGraphBuilder,
                                   reinterpret_cast<void**>(graph.GetAddressOf())),
                  S_OK);
    }
    ComPtr<IBaseFilter> add(const CLSID& clsid, const char16_t* name) {
        IBaseFilter* filter = nullptr;
        EXPECT_EQ(video.AddFilter(graph.Get(), clsid, name, &filter), S_OK);
        return ComPtr<IBaseFilter>::adopt(filter);
    }
    ComPtr<IGraphBuilder> graph;
    GraphVideo video;
};

TEST_F(VideoGraph, ReleaseDownstreamRemovesTheChainLastFirstAndKeepsTheSource) {
    auto source = add(CLSID_TestPatternSource, u"Source");
    auto converter = add(CLSID_Colour, u"Converter");
    auto tee = add(CLSID_SmartTee, u"Tee");
    auto renderer = add(CLSID_NullRenderer, u"Renderer");
    ASSERT_EQ(video.ConnectFilters(graph.Get(), source.Get(), converter.Get()), S_OK);
    ASSERT_EQ(video.ConnectFilters(graph.Get(), converter.Get(), tee.Get()), S_OK);
    ASSERT_EQ(video.ConnectFilters(graph.Get(), tee.Get(), renderer.Get()), S_OK);

    RecordingGraph recorder(graph.Get());
    video.m_pGraph = &recorder;
    video.ReleaseDownstream(source.Get());
    video.m_pGraph = nullptr;

    EXPECT_EQ(recorder.removed, (std::vector<std::u16string>{u"Renderer", u"Tee", u"Converter"}));
    ComPtr<IEnumFilters> left;
    graph->EnumFilters(left.GetAddressOf());
    IBaseFilter* only[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(left->Next(2, only, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(only[0], source.Get());
    only[0]->Release();
    IPin* out = video.GetOutPin(source.Get(), 0);
    ASSERT_NE(out, nullptr);
    IPin* peer = nullptr;
    EXPECT_EQ(out->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    out->Release();
    video.ReleaseDownstream(nullptr); // harmless
}

TEST_F(VideoGraph, PinsAreFoundByDirectionAndIndex) {
    auto grabber = add(CLSID_SampleGrabber, u"Sample Grabber");
    IPin* pin = reinterpret_cast<IPin*>(1);
    EXPECT_EQ(video.GetPin(grabber.Get(), PINDIR_OUTPUT, 1, &pin), E_FAIL);
    EXPECT_EQ(pin, nullptr);
    EXPECT_EQ(video.GetOutPin(grabber.Get(), 1), nullptr);
    IPin* in = video.GetInPin(grabber.Get(), 0);
    ASSERT_NE(in, nullptr);
    PIN_DIRECTION direction = PINDIR_OUTPUT;
    in->QueryDirection(&direction);
    EXPECT_EQ(direction, PINDIR_INPUT);
    in->Release();
    EXPECT_EQ(refCount(grabber.Get()), 2u); // ours and the graph's: no pin reference left
}

TEST_F(VideoGraph, ConnectFiltersWithNoFreeInputLeavesNoReferenceBehind) {
    auto source = add(CLSID_TestPatternSource, u"Source");
    auto second = add(CLSID_TestPatternSource, u"Second");
    auto renderer = add(CLSID_NullRenderer, u"Renderer");
    ASSERT_EQ(video.ConnectFilters(graph.Get(), source.Get(), renderer.Get()), S_OK);
    const ULONG secondRefs = refCount(second.Get());
    const ULONG rendererRefs = refCount(renderer.Get());
    EXPECT_EQ(video.ConnectFilters(graph.Get(), second.Get(), renderer.Get()), E_FAIL);
    EXPECT_EQ(refCount(second.Get()), secondRefs);
    EXPECT_EQ(refCount(renderer.Get()), rendererRefs);
    IPin* free = reinterpret_cast<IPin*>(1);
    EXPECT_EQ(video.GetUnconnectedPin(renderer.Get(), PINDIR_INPUT, &free), E_FAIL);
    EXPECT_EQ(free, nullptr);
}

TEST_F(VideoGraph, AddFilterOfAnUnknownClassLeavesTheOutPointerNull) {
    const CLSID unknown = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
    IBaseFilter* filter = reinterpret_cast<IBaseFilter*>(1);
    EXPECT_EQ(video.AddFilter(graph.Get(), unknown, u"Nothing", &filter), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(filter, nullptr);
}

TEST_F(VideoGraph, InterfacesComeAndGoAndReleaseTwiceIsHarmless) {
    ASSERT_EQ(video.GetInterfaces(), S_OK);
    ASSERT_NE(video.m_pGraph, nullptr);
    ASSERT_NE(video.m_pCapBuilder, nullptr);
    ASSERT_NE(video.m_pMediaControl, nullptr);
    // The builder works on the object's own graph.
    ComPtr<IGraphBuilder> builderGraph;
    ASSERT_EQ(video.m_pCapBuilder->GetFiltergraph(builderGraph.GetAddressOf()), S_OK);
    EXPECT_EQ(builderGraph.Get(), video.m_pGraph);
    builderGraph.reset();
    video.CloseInterfaces();
    EXPECT_EQ(video.m_pGraph, nullptr);
    EXPECT_EQ(video.m_pCapBuilder, nullptr);
    EXPECT_EQ(video.m_pMediaControl, nullptr);

    // Without a capture graph builder the graph made so far is kept for CloseInterfaces.
    const platform::ClassFactory builder =
        platform::registerClass(CLSID_CaptureGraphBuilder2, nullptr);
    platform::unregisterClass(CLSID_CaptureGraphBuilder2);
    const HRESULT hr = video.GetInterfaces();
    platform::registerClass(CLSID_CaptureGraphBuilder2, builder);
    EXPECT_EQ(hr, REGDB_E_CLASSNOTREG);
    EXPECT_NE(video.m_pGraph, nullptr);
    EXPECT_EQ(video.m_pCapBuilder, nullptr);
    EXPECT_EQ(video.m_pMediaControl, nullptr);
    video.CloseInterfaces();
    EXPECT_EQ(video.m_pGraph, nullptr);
    video.m_nOpenMode = OPEN_DEVICE;
    video.Release();
    video.Release();
    video.m_nOpenMode = OPEN_CLOSED;
    EXPECT_EQ(video.IsConnect(), 0);
}

} // namespace

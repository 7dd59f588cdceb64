// Helpers for graph tests: COM set-up, filter creation, pin lookup and a counting callback.
#pragma once

#include <platform/com.h>
#include <platform/com_ptr.h>
#include <platform/media/media.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace graph_test {

using platform::ComPtr;

struct ComScope {
    ComScope() { CoInitialize(nullptr); }
    ~ComScope() { CoUninitialize(); }
};

template <class I = IBaseFilter> ComPtr<I> create(const CLSID& clsid) {
    ComPtr<I> object;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, platform::uuidof<I>(),
                               reinterpret_cast<void**>(object.GetAddressOf())),
              S_OK);
    return object;
}

inline ComPtr<IPin> pinOf(IBaseFilter* filter, PIN_DIRECTION direction, int index = 0) {
    ComPtr<IEnumPins> pins;
    filter->EnumPins(pins.GetAddressOf());
    IPin* pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        auto held = ComPtr<IPin>::adopt(pin);
        PIN_DIRECTION d{};
        held->QueryDirection(&d);
        if (d == direction && index-- == 0)
            return held;
    }
    return nullptr;
}

// The names of the graph's filters, in enumeration order.
inline std::vector<std::u16string> filterNames(IFilterGraph* graph) {
    std::vector<std::u16string> names;
    ComPtr<IEnumFilters> filters;
    graph->EnumFilters(filters.GetAddressOf());
    IBaseFilter* filter = nullptr;
    while (filters->Next(1, &filter, nullptr) == S_OK) {
        FILTER_INFO info{};
        filter->QueryFilterInfo(&info);
        if (info.pGraph)
            info.pGraph->Release();
        names.emplace_back(info.achName);
        filter->Release();
    }
    return names;
}

inline ComPtr<IBaseFilter> testSource(const GUID& subtype, LONG width = 64, LONG height = 48) {
    auto source = create(CLSID_TestPatternSource);
    auto config = source.query<ITestPatternSource>();
    EXPECT_EQ(config->SetFormat(subtype, width, height, UNITS / 30), S_OK);
    return source;
}

inline AM_MEDIA_TYPE videoType(const GUID& subtype) {
    AM_MEDIA_TYPE mt{};
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = subtype;
    mt.formattype = FORMAT_VideoInfo;
    return mt;
}

inline ULONG refCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// A grabber callback that counts samples, keeps the last buffer, and runs an optional hook.
// Reference counting is real so the grabber's hold on it is visible.
class CountingCallback final : public ISampleGrabberCB {
public:
    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_ISampleGrabberCB) {
            *object = static_cast<ISampleGrabberCB*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }

    HRESULT SampleCB(double, IMediaSample* sample) override {
        record(sample ? sample->GetActualDataLength() : -1, nullptr);
        if (onSample)
            onSample(sample);
        return S_OK;
    }
    HRESULT BufferCB(double time, BYTE* buffer, LONG length) override {
        lastTime = time;
        record(length, buffer);
        if (onBuffer)
            onBuffer(buffer, length);
        return S_OK;
    }

    // Waits (bounded) until `n` samples arrived.
    bool waitFor(int n) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, std::chrono::seconds(20), [&] { return count >= n; });
    }
    int samples() {
        std::lock_guard lock(mutex);
        return count;
    }
    std::vector<BYTE> lastBuffer() {
        std::lock_guard lock(mutex);
        return last;
    }

    std::atomic<ULONG> refs{1};
    std::function<void(IMediaSample*)> onSample;
    std::function<void(BYTE*, LONG)> onBuffer;
    double lastTime = 0;
    LONG lastLength = 0;

private:
    void record(LONG length, BYTE* buffer) {
        std::lock_guard lock(mutex);
        ++count;
        lastLength = length;
        if (buffer && length > 0)
            last.assign(buffer, buffer + length);
        arrived.notify_all();
    }
    std::mutex mutex;
    std::condition_variable arrived;
    int count = 0;
    std::vector<BYTE> last;
};

} // namespace graph_test

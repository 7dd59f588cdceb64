// The capture graph builder (CLSID_CaptureGraphBuilder2): finds interfaces and pins by
// category, and renders a capture filter's preview and capture streams, putting a smart tee
// in front of a filter that has only a capture pin.
#include "media/graph/pin_walk.h"

#include <platform/com_object.h>
#include <platform/com_registry.h>
#include <platform/media/camera_interfaces.h>
#include <platform/media/file_interfaces.h>
#include <platform/media/filter_classes.h>
#include <platform/media/graph_interfaces.h>
#include <platform/media/recording_interfaces.h>

#include "media/base/media_type.h"

#include <deque>
#include <set>

namespace platform::media {
namespace {

// The smart tee's outputs, by name: it marks them by name, not by a property set.
constexpr const char16_t* kTeeCapture = u"Capture";
constexpr const char16_t* kTeePreview = u"Preview";

bool isSmartTee(IBaseFilter* filter) {
    CLSID clsid{};
    return filter && SUCCEEDED(filter->GetClassID(&clsid)) && clsid == CLSID_SmartTee;
}

std::u16string pinName(IPin* pin) {
    PIN_INFO info{};
    if (FAILED(pin->QueryPinInfo(&info)))
        return {};
    if (info.pFilter)
        info.pFilter->Release();
    return std::u16string(info.achName);
}

// A pin's category: its property set when it has one, else what its filter and name say
// (the smart tee's two outputs).
GUID categoryOf(IPin* pin) {
    ComPtr<IKsPropertySet> properties;
    if (SUCCEEDED(pin->QueryInterface(IID_IKsPropertySet,
                                      reinterpret_cast<void**>(properties.GetAddressOf())))) {
        GUID category{};
        DWORD returned = 0;
        if (SUCCEEDED(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0,
                                      &category, sizeof(category), &returned)) &&
            returned == sizeof(category))
            return category;
    }
    if (isSmartTee(filterOf(pin).Get())) {
        const std::u16string name = pinName(pin);
        if (name == kTeeCapture)
            return PIN_CATEGORY_CAPTURE;
        if (name == kTeePreview)
            return PIN_CATEGORY_PREVIEW;
    }
    return GUID_NULL;
}

// Whether the pin carries the major type: its connection's, or one it offers.
bool carriesType(IPin* pin, const GUID* type) {
    if (!type || *type == GUID_NULL)
        return true;
    AM_MEDIA_TYPE connected{};
    if (SUCCEEDED(pin->ConnectionMediaType(&connected))) {
        const bool match = connected.majortype == *type;
        freeMediaType(connected);
        return match;
    }
    ComPtr<IEnumMediaTypes> types;
    if (FAILED(pin->EnumMediaTypes(types.GetAddressOf())) || !types)
        return false;
    AM_MEDIA_TYPE* mt = nullptr;
    bool match = false;
    while (!match && types->Next(1, &mt, nullptr) == S_OK && mt) {
        match = mt->majortype == *type;
        deleteMediaType(mt);
        mt = nullptr;
    }
    return match;
}

// The filter itself, or the filter a pin belongs to.
ComPtr<IBaseFilter> asFilter(IUnknown* object) {
    ComPtr<IBaseFilter> filter;
    if (object && SUCCEEDED(object->QueryInterface(
                      IID_IBaseFilter, reinterpret_cast<void**>(filter.GetAddressOf()))))
        return filter;
    ComPtr<IPin> pin;
    if (object &&
        SUCCEEDED(object->QueryInterface(IID_IPin, reinterpret_cast<void**>(pin.GetAddressOf()))))
        return filterOf(pin.Get());
    return nullptr;
}

HRESULT queryInto(IUnknown* object, REFIID riid, void** out) {
    return object ? object->QueryInterface(riid, out) : E_NOINTERFACE;
}

// Filters reachable from `start` through its pins of one direction, nearest first.
std::vector<ComPtr<IBaseFilter>> neighbours(IBaseFilter* start, PIN_DIRECTION direction) {
    std::vector<ComPtr<IBaseFilter>> found;
    std::set<IBaseFilter*> seen{start};
    std::deque<ComPtr<IBaseFilter>> queue{ComPtr<IBaseFilter>(start)};
    while (!queue.empty()) {
        ComPtr<IBaseFilter> filter = queue.front();
        queue.pop_front();
        for (const auto& pin : pinsOf(filter.Get())) {
            if (directionOf(pin.Get()) != direction)
                continue;
            ComPtr<IBaseFilter> next = filterOf(peerOf(pin.Get()).Get());
            if (next && seen.insert(next.Get()).second) {
                found.push_back(next);
                queue.push_back(next);
            }
        }
    }
    return found;
}

// Asks a filter and then each of its pins.
HRESULT queryFilterAndPins(IBaseFilter* filter, REFIID riid, void** out) {
    if (SUCCEEDED(filter->QueryInterface(riid, out)))
        return S_OK;
    for (const auto& pin : pinsOf(filter))
        if (SUCCEEDED(pin->QueryInterface(riid, out)))
            return S_OK;
    return E_NOINTERFACE;
}

// Control threads only; holds the graph it builds in.
class CaptureGraphBuilder final : public ComObject<ICaptureGraphBuilder2> {
public:
    HRESULT SetFiltergraph(IGraphBuilder* graph) override {
        if (!graph)
            return E_POINTER;
        if (graph_)
            return E_UNEXPECTED; // one graph per builder, as the platform has it
        graph_ = graph;
        return S_OK;
    }
    HRESULT GetFiltergraph(IGraphBuilder** graph) override {
        if (!graph)
            return E_POINTER;
        *graph = nullptr;
        if (!graph_) {
            HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IGraphBuilder,
                                          reinterpret_cast<void**>(graph_.GetAddressOf()));
            if (FAILED(hr))
                return hr;
        }
        return graph_.CopyTo(graph);
    }
    // An AVI multiplexer feeding a file writer that has already created the file, so a name
    // that cannot be written fails here and leaves neither filter behind.
    HRESULT SetOutputFileName(const GUID* type, LPCOLESTR file, IBaseFilter** mux,
                              IFileSinkFilter** sink) override {
        if (!type || !file || !mux)
            return E_POINTER;
        *mux = nullptr;
        if (sink)
            *sink = nullptr;
        if (*type != MEDIASUBTYPE_Avi)
            return E_INVALIDARG;
        ComPtr<IGraphBuilder> graph;
        if (HRESULT hr = GetFiltergraph(graph.GetAddressOf()); FAILED(hr))
            return hr;
        ComPtr<IBaseFilter> muxer, writer;
        ComPtr<IFileSinkFilter> fileSink;
        HRESULT hr = CoCreateInstance(CLSID_AviDest, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                      reinterpret_cast<void**>(muxer.GetAddressOf()));
        if (SUCCEEDED(hr))
            hr = CoCreateInstance(CLSID_FileWriter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void**>(writer.GetAddressOf()));
        if (SUCCEEDED(hr))
            hr = writer.As(&fileSink);
        if (SUCCEEDED(hr))
            hr = fileSink->SetFileName(file, nullptr);
        if (FAILED(hr))
            return hr;
        if (FAILED(hr = graph->AddFilter(muxer.Get(), u"AVI Mux")))
            return hr;
        ComPtr<IPin> muxOut = firstPin(muxer.Get(), PINDIR_OUTPUT, true);
        ComPtr<IPin> writerIn = firstPin(writer.Get(), PINDIR_INPUT, true);
        if (SUCCEEDED(hr = graph->AddFilter(writer.Get(), u"File Writer"))) {
            hr = muxOut && writerIn ? graph->ConnectDirect(muxOut.Get(), writerIn.Get(), nullptr)
                                    : E_FAIL;
            if (FAILED(hr))
                graph->RemoveFilter(writer.Get());
        }
        if (FAILED(hr)) {
            graph->RemoveFilter(muxer.Get());
            return hr;
        }
        *mux = muxer.Detach();
        if (sink)
            *sink = fileSink.Detach();
        return S_OK;
    }

    HRESULT FindInterface(const GUID* category, const GUID* type, IBaseFilter* filter, REFIID riid,
                          void** object) override {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (!filter)
            return E_POINTER;
        if (!category) {
            // The filter, its pins, then everything downstream, then upstream.
            if (SUCCEEDED(queryFilterAndPins(filter, riid, object)))
                return S_OK;
            for (PIN_DIRECTION direction : {PINDIR_OUTPUT, PINDIR_INPUT})
                for (const auto& other : neighbours(filter, direction))
                    if (SUCCEEDED(queryFilterAndPins(other.Get(), riid, object)))
                        return S_OK;
            return E_NOINTERFACE;
        }
        if (*category == LOOK_UPSTREAM_ONLY || *category == LOOK_DOWNSTREAM_ONLY) {
            const PIN_DIRECTION direction =
                *category == LOOK_UPSTREAM_ONLY ? PINDIR_INPUT : PINDIR_OUTPUT;
            for (const auto& other : neighbours(filter, direction))
                if (SUCCEEDED(queryFilterAndPins(other.Get(), riid, object)))
                    return S_OK;
            return E_NOINTERFACE;
        }
        // A pin category: the filter's output pins of that category (and type), then
        // downstream of each.
        bool anyPin = false;
        for (const auto& pin : pinsOf(filter)) {
            if (directionOf(pin.Get()) != PINDIR_OUTPUT || categoryOf(pin.Get()) != *category ||
                !carriesType(pin.Get(), type))
                continue;
            anyPin = true;
            if (SUCCEEDED(queryInto(pin.Get(), riid, object)))
                return S_OK;
            if (ComPtr<IBaseFilter> next = filterOf(peerOf(pin.Get()).Get())) {
                if (SUCCEEDED(queryFilterAndPins(next.Get(), riid, object)))
                    return S_OK;
                for (const auto& other : neighbours(next.Get(), PINDIR_OUTPUT))
                    if (SUCCEEDED(queryFilterAndPins(other.Get(), riid, object)))
                        return S_OK;
            }
        }
        return anyPin ? E_NOINTERFACE : E_FAIL;
    }

    HRESULT RenderStream(const GUID* category, const GUID* type, IUnknown* source,
                         IBaseFilter* compressor, IBaseFilter* renderer) override {
        if (!source)
            return E_POINTER;
        ComPtr<IGraphBuilder> graph;
        if (HRESULT hr = GetFiltergraph(graph.GetAddressOf()); FAILED(hr))
            return hr;
        ComPtr<IPin> output;
        HRESULT result = S_OK;
        if (HRESULT hr = streamPin(category, type, source, &output, &result); FAILED(hr))
            return hr;
        // A capture stream rendered to a multiplexer goes through a video compressor that
        // waits unconnected in the graph, when there is one, behind a recording queue: the
        // queue's thread encodes and writes, so the camera never waits for either.
        if (renderer && category && *category == PIN_CATEGORY_CAPTURE) {
            if (!compressor)
                compressor = waitingCompressor(graph.Get()).Get();
            if (HRESULT hr = insertRecordingQueue(graph.Get(), &output); FAILED(hr))
                return hr;
        }
        // Output pin -> compressor -> renderer, each link by intelligent connect.
        if (compressor) {
            ComPtr<IPin> in = firstPin(compressor, PINDIR_INPUT, true);
            if (!in)
                return E_FAIL;
            if (HRESULT hr = graph->Connect(output.Get(), in.Get()); FAILED(hr))
                return hr;
            output = firstPin(compressor, PINDIR_OUTPUT, true);
            if (!output)
                return renderer ? E_FAIL : result;
        }
        if (!renderer) {
            const HRESULT hr = graph->Render(output.Get());
            return FAILED(hr) ? hr : result;
        }
        ComPtr<IPin> in = firstPin(renderer, PINDIR_INPUT, true);
        if (!in)
            return E_FAIL;
        const HRESULT hr = graph->Connect(output.Get(), in.Get());
        return FAILED(hr) ? hr : result;
    }

    HRESULT ControlStream(const GUID*, const GUID*, IBaseFilter*, REFERENCE_TIME*, REFERENCE_TIME*,
                          WORD, WORD) override {
        return E_NOTIMPL;
    }
    HRESULT AllocCapFile(LPCOLESTR, ULONGLONG) override { return E_NOTIMPL; }
    HRESULT CopyCaptureFile(LPOLESTR, LPOLESTR, int, IAMCopyCaptureFileProgress*) override {
        return E_NOTIMPL;
    }

    HRESULT FindPin(IUnknown* source, PIN_DIRECTION direction, const GUID* category,
                    const GUID* type, BOOL unconnected, int index, IPin** pin) override {
        if (!source || !pin)
            return E_POINTER;
        *pin = nullptr;
        ComPtr<IBaseFilter> filter = asFilter(source);
        if (!filter)
            return E_FAIL;
        int matched = 0;
        for (const auto& candidate : pinsOf(filter.Get())) {
            if (directionOf(candidate.Get()) != direction ||
                (category && categoryOf(candidate.Get()) != *category) ||
                !carriesType(candidate.Get(), type) || (unconnected && peerOf(candidate.Get())))
                continue;
            if (matched++ == index)
                return candidate.CopyTo(pin);
        }
        return E_FAIL;
    }

private:
    static ComPtr<IBaseFilter> waitingCompressor(IGraphBuilder* graph) {
        ComPtr<IEnumFilters> filters;
        if (FAILED(graph->EnumFilters(filters.GetAddressOf())) || !filters)
            return nullptr;
        ComPtr<IBaseFilter> filter;
        while (filters->Next(1, filter.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
            CLSID clsid{};
            if (SUCCEEDED(filter->GetClassID(&clsid)) && clsid == CLSID_VideoCompressor &&
                firstPin(filter.Get(), PINDIR_INPUT, true))
                return filter;
        }
        return nullptr;
    }

    static ComPtr<IPin> firstPin(IBaseFilter* filter, PIN_DIRECTION direction, bool unconnected) {
        for (const auto& pin : pinsOf(filter))
            if (directionOf(pin.Get()) == direction && (!unconnected || !peerOf(pin.Get())))
                return pin;
        return nullptr;
    }

    // The output pin a stream of this category leaves from. Preview of a filter with only a
    // capture pin goes through a smart tee put (once) behind the capture pin; capture then
    // leaves from the tee's capture output. `result` becomes VFW_S_NOPREVIEWPIN when the
    // preview comes from a tee.
    HRESULT streamPin(const GUID* category, const GUID* type, IUnknown* source, ComPtr<IPin>* out,
                      HRESULT* result) {
        ComPtr<IPin> pin;
        if (SUCCEEDED(
                source->QueryInterface(IID_IPin, reinterpret_cast<void**>(pin.GetAddressOf())))) {
            if (peerOf(pin.Get()))
                return VFW_E_ALREADY_CONNECTED;
            *out = pin;
            return S_OK;
        }
        ComPtr<IBaseFilter> filter = asFilter(source);
        if (!filter)
            return E_NOINTERFACE;
        const bool preview = category && *category == PIN_CATEGORY_PREVIEW;
        const bool capture = category && *category == PIN_CATEGORY_CAPTURE;
        if (!preview && !capture) {
            // Any category: the first unconnected output that carries the type.
            return FindPin(filter.Get(), PINDIR_OUTPUT, category, type, TRUE, 0,
                           out->ReleaseAndGetAddressOf()) == S_OK
                       ? S_OK
                       : E_FAIL;
        }
        if (preview && SUCCEEDED(FindPin(filter.Get(), PINDIR_OUTPUT, &PIN_CATEGORY_PREVIEW, type,
                                         FALSE, 0, out->ReleaseAndGetAddressOf())))
            return peerOf(out->Get()) ? VFW_E_ALREADY_CONNECTED : S_OK;
        ComPtr<IPin> capturePin;
        if (FAILED(FindPin(filter.Get(), PINDIR_OUTPUT, &PIN_CATEGORY_CAPTURE, type, FALSE, 0,
                           capturePin.GetAddressOf())))
            return E_FAIL;
        ComPtr<IBaseFilter> tee = filterOf(peerOf(capturePin.Get()).Get());
        if (!isSmartTee(tee.Get())) {
            if (tee)
                return VFW_E_ALREADY_CONNECTED; // the capture pin feeds something else
            if (capture) {
                *out = capturePin;
                return S_OK;
            }
            // Preview from a capture-only filter: a tee splits the capture stream.
            if (HRESULT hr = insertTee(capturePin.Get(), &tee); FAILED(hr))
                return hr;
        }
        if (preview)
            *result = VFW_S_NOPREVIEWPIN;
        ComPtr<IPin> teeOut;
        if (FAILED(tee->FindPin(preview ? kTeePreview : kTeeCapture, teeOut.GetAddressOf())))
            return E_FAIL;
        if (peerOf(teeOut.Get()))
            return VFW_E_ALREADY_CONNECTED;
        *out = teeOut;
        return S_OK;
    }

    // Puts a recording queue behind `output`; `output` becomes the queue's output.
    static HRESULT insertRecordingQueue(IGraphBuilder* graph, ComPtr<IPin>* output) {
        ComPtr<IBaseFilter> queue;
        HRESULT hr =
            CoCreateInstance(CLSID_RecordingQueue, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                             reinterpret_cast<void**>(queue.GetAddressOf()));
        if (FAILED(hr))
            return hr;
        if (FAILED(hr = graph->AddFilter(queue.Get(), u"Recording Queue")))
            return hr;
        ComPtr<IPin> input = firstPin(queue.Get(), PINDIR_INPUT, true);
        hr = input ? graph->ConnectDirect(output->Get(), input.Get(), nullptr) : E_FAIL;
        if (FAILED(hr)) {
            graph->RemoveFilter(queue.Get());
            return hr;
        }
        *output = firstPin(queue.Get(), PINDIR_OUTPUT, true);
        return *output ? S_OK : E_FAIL;
    }

    HRESULT insertTee(IPin* capturePin, ComPtr<IBaseFilter>* tee) {
        ComPtr<IBaseFilter> created;
        HRESULT hr =
            CoCreateInstance(CLSID_SmartTee, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                             reinterpret_cast<void**>(created.GetAddressOf()));
        if (FAILED(hr))
            return hr;
        if (FAILED(hr = graph_->AddFilter(created.Get(), u"Smart Tee")))
            return hr;
        ComPtr<IPin> input = firstPin(created.Get(), PINDIR_INPUT, true);
        hr = input ? graph_->ConnectDirect(capturePin, input.Get(), nullptr) : E_FAIL;
        if (FAILED(hr)) {
            graph_->RemoveFilter(created.Get());
            return hr;
        }
        *tee = created;
        return S_OK;
    }

    ComPtr<IGraphBuilder> graph_;
};

const ClassRegistration registration{CLSID_CaptureGraphBuilder2,
                                     createInstance<CaptureGraphBuilder>};

} // namespace
} // namespace platform::media

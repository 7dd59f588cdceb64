// FilterGraph: intelligent connect and Render, inserting registered filters by merit.
#include "media/base/media_type.h"
#include "media/graph/filter_graph.h"
#include "media/graph/filter_registry.h"
#include "media/graph/pin_walk.h"

#include <algorithm>

namespace platform::media {

namespace {

// Inserted transforms between two pins at most: enough for decoder + converter chains.
constexpr int kMaxInserted = 3;

std::vector<MediaType> typesOf(IPin* pin) {
    std::vector<MediaType> types;
    ComPtr<IEnumMediaTypes> walk;
    if (FAILED(pin->EnumMediaTypes(walk.GetAddressOf())) || !walk)
        return types;
    AM_MEDIA_TYPE* mt = nullptr;
    while (walk->Next(1, &mt, nullptr) == S_OK) {
        types.emplace_back(*mt);
        deleteMediaType(mt);
    }
    return types;
}

ComPtr<IPin> freePin(IBaseFilter* filter, PIN_DIRECTION direction) {
    for (auto& pin : pinsOf(filter)) {
        if (directionOf(pin.Get()) == direction && !peerOf(pin.Get()))
            return pin;
    }
    return nullptr;
}

bool isTypeFailure(HRESULT hr) {
    return hr != VFW_E_ALREADY_CONNECTED && hr != VFW_E_NOT_STOPPED && hr != E_POINTER &&
           hr != VFW_E_INVALID_DIRECTION;
}

} // namespace

HRESULT FilterGraph::Connect(IPin* out, IPin* in) {
    if (!out || !in)
        return E_POINTER;
    if (directionOf(out) != PINDIR_OUTPUT || directionOf(in) != PINDIR_INPUT)
        return VFW_E_INVALID_DIRECTION;
    if (!pinInGraph(out) || !pinInGraph(in))
        return VFW_E_NOT_IN_GRAPH;
    std::vector<CLSID> chain;
    return connectThrough(out, in, kMaxInserted, chain);
}

HRESULT FilterGraph::connectThrough(IPin* out, IPin* in, int depth, std::vector<CLSID>& chain) {
    const HRESULT direct = out->Connect(in, nullptr);
    if (SUCCEEDED(direct) || !isTypeFailure(direct))
        return direct;
    if (depth == 0)
        return VFW_E_CANNOT_CONNECT;
    const auto offered = typesOf(out);
    for (const auto& entry : registeredFilters()) {
        if (entry.role != RegisteredFilter::Role::Transform ||
            std::find(chain.begin(), chain.end(), entry.clsid) != chain.end() ||
            !acceptsAnyOf(entry, offered))
            continue;
        if (SUCCEEDED(tryInsert(entry.clsid, entry.name, out, in, depth, chain)))
            return S_OK;
    }
    return VFW_E_CANNOT_CONNECT;
}

// Adds one transform after `out` and connects on to `in`; on failure the transform leaves the
// graph again, so a failed attempt leaves nothing behind.
HRESULT FilterGraph::tryInsert(const CLSID& clsid, const char16_t* name, IPin* out, IPin* in,
                               int depth, std::vector<CLSID>& chain) {
    ComPtr<IBaseFilter> filter;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(filter.GetAddressOf()))))
        return E_FAIL;
    if (FAILED(AddFilter(filter.Get(), name)))
        return E_FAIL;
    HRESULT hr = VFW_E_CANNOT_CONNECT;
    ComPtr<IPin> filterIn = freePin(filter.Get(), PINDIR_INPUT);
    if (filterIn && SUCCEEDED(out->Connect(filterIn.Get(), nullptr))) {
        chain.push_back(clsid);
        for (auto& filterOut : pinsOf(filter.Get())) {
            if (directionOf(filterOut.Get()) != PINDIR_OUTPUT)
                continue;
            if (hr = connectThrough(filterOut.Get(), in, depth - 1, chain); SUCCEEDED(hr))
                break;
        }
        chain.pop_back();
    }
    if (FAILED(hr))
        RemoveFilter(filter.Get());
    return hr;
}

HRESULT FilterGraph::Render(IPin* out) {
    if (!out)
        return E_POINTER;
    if (directionOf(out) != PINDIR_OUTPUT)
        return VFW_E_INVALID_DIRECTION;
    if (peerOf(out))
        return VFW_E_ALREADY_CONNECTED;
    if (!pinInGraph(out))
        return VFW_E_NOT_IN_GRAPH;
    for (const auto& entry : registeredFilters()) {
        if (entry.role != RegisteredFilter::Role::Renderer)
            continue;
        ComPtr<IBaseFilter> renderer;
        if (FAILED(CoCreateInstance(entry.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                    reinterpret_cast<void**>(renderer.GetAddressOf()))) ||
            FAILED(AddFilter(renderer.Get(), entry.name)))
            continue;
        std::vector<CLSID> chain;
        ComPtr<IPin> rendererIn = freePin(renderer.Get(), PINDIR_INPUT);
        if (rendererIn && SUCCEEDED(connectThrough(out, rendererIn.Get(), kMaxInserted, chain)))
            return S_OK;
        RemoveFilter(renderer.Get());
    }
    return VFW_E_CANNOT_RENDER;
}

} // namespace platform::media

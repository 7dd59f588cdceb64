// Walks over filters and pins.
#include "media/graph/pin_walk.h"

namespace platform::media {

std::vector<ComPtr<IPin>> pinsOf(IBaseFilter* filter) {
    std::vector<ComPtr<IPin>> pins;
    ComPtr<IEnumPins> walk;
    if (!filter || FAILED(filter->EnumPins(walk.GetAddressOf())) || !walk)
        return pins;
    IPin* pin = nullptr;
    while (walk->Next(1, &pin, nullptr) == S_OK)
        pins.push_back(ComPtr<IPin>::adopt(pin));
    return pins;
}

ComPtr<IBaseFilter> filterOf(IPin* pin) {
    PIN_INFO info{};
    if (!pin || FAILED(pin->QueryPinInfo(&info)))
        return nullptr;
    return ComPtr<IBaseFilter>::adopt(info.pFilter);
}

PIN_DIRECTION directionOf(IPin* pin) {
    PIN_DIRECTION direction = PINDIR_INPUT;
    pin->QueryDirection(&direction);
    return direction;
}

ComPtr<IPin> peerOf(IPin* pin) {
    IPin* peer = nullptr;
    if (!pin || pin->ConnectedTo(&peer) != S_OK)
        return nullptr;
    return ComPtr<IPin>::adopt(peer);
}

} // namespace platform::media

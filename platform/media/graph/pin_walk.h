// Small walks over filters and pins that the graph manager shares between its files.
#pragma once

#include <platform/com_ptr.h>
#include <platform/media/filter_interfaces.h>

#include <vector>

namespace platform::media {

// Every pin of a filter, in enumeration order.
std::vector<ComPtr<IPin>> pinsOf(IBaseFilter* filter);
// The filter that owns a pin, or null.
ComPtr<IBaseFilter> filterOf(IPin* pin);
PIN_DIRECTION directionOf(IPin* pin);
// The pin's peer, or null when unconnected.
ComPtr<IPin> peerOf(IPin* pin);

} // namespace platform::media

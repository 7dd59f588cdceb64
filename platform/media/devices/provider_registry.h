// Internal side of the device-provider registry: the whole list of a category, in order.
#pragma once

#include <platform/media/device_providers.h>

namespace platform::media {

// Every provider's devices of the category, providers by rank; asked afresh on every call.
std::vector<DeviceEntry> enumerateDevices(REFCLSID category);

} // namespace platform::media

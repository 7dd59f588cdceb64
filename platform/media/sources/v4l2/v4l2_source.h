// The V4L2 camera filter and the provider that lists V4L2 capture nodes as video inputs.
#pragma once

#include "media/sources/v4l2/v4l2_io.h"

#include <platform/api.h>
#include <platform/com.h>

#include <memory>
#include <string>

namespace platform::media::v4l2 {

// A source filter for one capture node, reading and streaming it through `io`.
HRESULT createV4l2Source(std::shared_ptr<V4l2Io> io, const std::string& node, REFIID riid,
                         void** object);

// Lists the capture nodes `io` finds as video input devices (rank: see device_providers.h);
// returns the registration id. The system's own nodes are listed by a provider registered
// at load; tests register one over a simulated device.
PLATFORM_API int registerV4l2Provider(std::shared_ptr<V4l2Io> io, int rank);

} // namespace platform::media::v4l2

// The device-provider registry behind the system device enumerator: every enumeration asks
// each provider afresh, so hot-plugged devices show at once.
#pragma once

#include "../api.h"
#include "../com.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::media {

struct DeviceEntry {
    std::u16string friendlyName;
    std::u16string description; // empty: the device has none
    std::u16string devicePath;  // empty: the device has none
    // Creates the device's filter and queries it for riid (BindToObject).
    std::function<HRESULT(REFIID riid, void** object)> bind;
};

class DeviceProvider {
public:
    virtual ~DeviceProvider() = default;
    // The devices of a category as they are now. Called on the enumerating thread.
    virtual std::vector<DeviceEntry> devices(REFCLSID category) = 0;
};

// Where a provider's devices stand in the list: lower ranks first. The V4L2 cameras have
// kRankSystem, the test-pattern camera kRankLast.
inline constexpr int kRankSystem = 0;
inline constexpr int kRankRegistered = 100;
inline constexpr int kRankLast = 1000;

// Adds a provider; returns an id for unregisterDeviceProvider. Thread-safe.
PLATFORM_API int registerDeviceProvider(std::shared_ptr<DeviceProvider> provider,
                                        int rank = kRankRegistered);
PLATFORM_API void unregisterDeviceProvider(int id);

// Registers a provider for the lifetime of the scope (tests).
class DeviceProviderScope {
public:
    explicit DeviceProviderScope(std::shared_ptr<DeviceProvider> provider,
                                 int rank = kRankRegistered)
        : id_(registerDeviceProvider(std::move(provider), rank)) {}
    ~DeviceProviderScope() { unregisterDeviceProvider(id_); }
    DeviceProviderScope(const DeviceProviderScope&) = delete;
    DeviceProviderScope& operator=(const DeviceProviderScope&) = delete;

private:
    int id_;
};

} // namespace platform::media

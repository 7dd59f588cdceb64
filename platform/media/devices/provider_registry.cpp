// The registry of device providers, ordered by rank then registration.
#include "media/devices/provider_registry.h"

#include <algorithm>
#include <mutex>

namespace platform::media {
namespace {

struct Registered {
    int id;
    int rank;
    std::shared_ptr<DeviceProvider> provider;
};

struct Registry {
    std::mutex lock;
    std::vector<Registered> providers;
    int nextId = 1;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

} // namespace

int registerDeviceProvider(std::shared_ptr<DeviceProvider> provider, int rank) {
    Registry& r = registry();
    std::lock_guard lock(r.lock);
    const int id = r.nextId++;
    r.providers.push_back({id, rank, std::move(provider)});
    std::stable_sort(r.providers.begin(), r.providers.end(),
                     [](const Registered& a, const Registered& b) { return a.rank < b.rank; });
    return id;
}

void unregisterDeviceProvider(int id) {
    Registry& r = registry();
    std::lock_guard lock(r.lock);
    std::erase_if(r.providers, [id](const Registered& entry) { return entry.id == id; });
}

std::vector<DeviceEntry> enumerateDevices(REFCLSID category) {
    std::vector<std::shared_ptr<DeviceProvider>> providers;
    {
        Registry& r = registry();
        std::lock_guard lock(r.lock);
        for (const Registered& entry : r.providers)
            providers.push_back(entry.provider);
    }
    // Providers are asked without the registry's lock: one may register another, or block
    // on its own device I/O, without stalling other enumerations.
    std::vector<DeviceEntry> devices;
    for (const auto& provider : providers) {
        auto found = provider->devices(category);
        for (auto& device : found)
            devices.push_back(std::move(device));
    }
    return devices;
}

} // namespace platform::media

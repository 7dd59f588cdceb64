// The class registry behind CoCreateInstance.
#include "platform/com_registry.h"

#include <cstring>
#include <map>
#include <mutex>

namespace platform {
namespace {

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const {
        return std::memcmp(&a, &b, sizeof(GUID)) < 0;
    }
};

struct Registry {
    std::mutex lock;
    std::map<GUID, ClassFactory, GuidLess> classes;
};

// Built-in classes register from static initialisers of this library, so the registry must
// exist before the first of them runs, whatever the order of initialisation.
Registry& registry() {
    static Registry instance;
    return instance;
}

} // namespace

PLATFORM_API ClassFactory registerClass(REFCLSID clsid, ClassFactory factory) {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    ClassFactory& slot = r.classes[clsid];
    ClassFactory previous = std::move(slot);
    slot = std::move(factory);
    return previous;
}

PLATFORM_API void unregisterClass(REFCLSID clsid) {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.classes.erase(clsid);
}

PLATFORM_API bool isClassRegistered(REFCLSID clsid) {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    return r.classes.count(clsid) != 0;
}

} // namespace platform

extern "C" PLATFORM_API HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context,
                                                 REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!platform::isComInitialized())
        return CO_E_NOTINITIALIZED;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    if ((context & CLSCTX_ALL) == 0)
        return E_INVALIDARG;

    platform::ClassFactory factory;
    {
        platform::Registry& r = platform::registry();
        std::lock_guard guard(r.lock);
        auto it = r.classes.find(clsid);
        if (it == r.classes.end())
            return REGDB_E_CLASSNOTREG;
        factory = it->second;
    }
    // The factory runs outside the registry lock: constructors may create other classes.
    return factory(riid, object);
}

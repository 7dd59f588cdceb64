// The class registry behind CoCreateInstance: built-in classes register at load time, tests
// may register their own.
#pragma once

#include "api.h"
#include "com.h"

#include <functional>

namespace platform {

// Creates one object of a class and queries it for `riid`.
using ClassFactory = std::function<HRESULT(REFIID riid, void** object)>;

// Registers (or replaces) the factory of a class id and returns the one it replaced (empty
// when there was none), so a test can stand in for a class and put the real one back.
// Thread-safe.
PLATFORM_API ClassFactory registerClass(REFCLSID clsid, ClassFactory factory);
// Forgets a class id; later creation fails with REGDB_E_CLASSNOTREG.
PLATFORM_API void unregisterClass(REFCLSID clsid);
PLATFORM_API bool isClassRegistered(REFCLSID clsid);
// Whether COM is initialised on the calling thread.
PLATFORM_API bool isComInitialized();

// Registers a class when the library that holds this object is loaded.
struct ClassRegistration {
    ClassRegistration(REFCLSID clsid, ClassFactory factory) {
        registerClass(clsid, std::move(factory));
    }
};

} // namespace platform

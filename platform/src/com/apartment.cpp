// Per-thread COM initialisation, counted as CoInitializeEx and CoUninitialize pair up.
#include "platform/com.h"
#include "platform/com_registry.h"

namespace {

struct ThreadComState {
    unsigned count = 0;
    DWORD mode = COINIT_APARTMENTTHREADED;
};

thread_local ThreadComState threadState;

} // namespace

extern "C" PLATFORM_API HRESULT CoInitializeEx(LPVOID, DWORD coInit) {
    const DWORD mode = coInit & COINIT_APARTMENTTHREADED;
    if (threadState.count > 0) {
        if (threadState.mode != mode)
            return RPC_E_CHANGED_MODE;
        ++threadState.count;
        return S_FALSE;
    }
    threadState.count = 1;
    threadState.mode = mode;
    return S_OK;
}

extern "C" PLATFORM_API HRESULT CoInitialize(LPVOID reserved) {
    return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

extern "C" PLATFORM_API void CoUninitialize() {
    if (threadState.count > 0)
        --threadState.count;
}

namespace platform {
PLATFORM_API bool isComInitialized() {
    return threadState.count > 0;
}
} // namespace platform

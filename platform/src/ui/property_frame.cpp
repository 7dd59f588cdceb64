// OleCreatePropertyFrame: checks the call and hands it to the host the program installed.
#include "platform/com_ptr.h"
#include "platform/ui.h"

#include <mutex>
#include <utility>
#include <vector>

namespace {

// The installed host. Written by the program's window thread, read by any caller; the
// lock guards only the copy, never the call, so a host may open nested frames or replace
// itself while its frame is open.
struct HostSlot {
    std::mutex lock;
    platform::PropertyFrameHost host;
};

HostSlot& slot() {
    static HostSlot instance;
    return instance;
}

platform::PropertyFrameHost currentHost() {
    auto& s = slot();
    std::lock_guard held(s.lock);
    return s.host;
}

} // namespace

namespace platform {

PropertyFrameHost setPropertyFrameHost(PropertyFrameHost host) {
    auto& s = slot();
    PropertyFrameHost previous;
    {
        std::lock_guard held(s.lock);
        previous = std::exchange(s.host, std::move(host));
    }
    // Destroyed outside the lock: a host's captures may run code of their own on the way out.
    return previous;
}

} // namespace platform

extern "C" HRESULT OleCreatePropertyFrame(HWND owner, UINT x, UINT y, LPCOLESTR caption,
                                          ULONG objectCount, LPUNKNOWN* objects, ULONG pageCount,
                                          LPCLSID pageClsids, LCID locale, DWORD reserved,
                                          LPVOID reservedPointer) {
    if (reserved != 0 || reservedPointer != nullptr || objectCount == 0)
        return E_INVALIDARG;
    if (!objects || (pageCount != 0 && !pageClsids))
        return E_POINTER;
    for (ULONG i = 0; i < objectCount; ++i)
        if (!objects[i])
            return E_POINTER;
    // The host turns the owner's handle back into its window: only a live registered
    // window may reach it.
    if (owner && !IsWindow(owner))
        return E_INVALIDARG;
    const platform::PropertyFrameHost host = currentHost();
    if (!host)
        return E_NOTIMPL;
    // The frame holds its objects for as long as it is open, whatever the caller does.
    std::vector<platform::ComPtr<IUnknown>> held(objects, objects + objectCount);
    const platform::PropertyFrameRequest request{owner,
                                                 x,
                                                 y,
                                                 caption,
                                                 std::span<IUnknown* const>(objects, objectCount),
                                                 std::span<const CLSID>(pageClsids, pageCount),
                                                 locale};
    return host(request);
}

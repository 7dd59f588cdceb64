// Window handles and property frames: the program registers its windows' handles and the host
// that draws property frames; IsWindow and OleCreatePropertyFrame answer from those.
#pragma once

#include "api.h"
#include "com.h"
#include "hresult.h"
#include "wintypes.h"

#include <functional>
#include <span>

using LCID = DWORD;
using LPCLSID = CLSID*;

extern "C" {

// TRUE for a handle the program registered and has not unregistered yet; FALSE for null and
// for any other value. Any thread.
PLATFORM_API BOOL IsWindow(HWND window);

// Shows a modal property frame over `objects` with the pages `pageClsids` name, owned by
// `owner` (null: no owner), captioned `caption` (null: no caption), and returns when the
// user closes it. The position is left to the host. Results: what the host returns (S_OK
// once the frame was shown and closed); E_INVALIDARG for a non-zero or non-null reserved
// argument, no objects, or an owner that is not a registered window; E_POINTER for a null
// array with a non-zero count or a null object; E_NOTIMPL when no host is installed.
// Runs the host on the caller's thread, which must be the thread the host draws on.
PLATFORM_API HRESULT OleCreatePropertyFrame(HWND owner, UINT x, UINT y, LPCOLESTR caption,
                                            ULONG objectCount, LPUNKNOWN* objects, ULONG pageCount,
                                            LPCLSID pageClsids, LCID locale, DWORD reserved,
                                            LPVOID reservedPointer);

} // extern "C"

namespace platform {

// The program's windows: a window registers its handle once it can be an owner and
// unregisters it before it is destroyed. Registering twice is the same as once.
PLATFORM_API void registerWindow(HWND window);
PLATFORM_API void unregisterWindow(HWND window);

// What a property-frame host is asked to show. The pointers stay valid, and the objects
// referenced, for the whole call.
struct PropertyFrameRequest {
    HWND owner;        // a registered window, or null
    UINT x, y;         // a position the caller proposed, relative to the owner
    LPCOLESTR caption; // null: the frame has no caption
    std::span<IUnknown* const> objects;
    std::span<const CLSID> pages;
    LCID locale;
};

// Draws the frame modally and returns once the user has closed it.
using PropertyFrameHost = std::function<HRESULT(const PropertyFrameRequest&)>;

// Installs the host that draws every property frame (an empty one removes it) and returns
// the host it replaces. A frame already open keeps the host it was started with.
PLATFORM_API PropertyFrameHost setPropertyFrameHost(PropertyFrameHost host);

} // namespace platform

// A small in-process COM runtime: IUnknown, per-thread initialisation, a class registry,
// task memory, BSTR and VARIANT.
#pragma once

#include "api.h"
#include "hresult.h"
#include "wintypes.h"

namespace platform {
// Maps an interface type to its IID (the role of __uuidof); specialised by DEFINE_INTERFACE_IID.
template <class Interface> struct InterfaceIid;
template <class Interface> constexpr const IID& uuidof() {
    return InterfaceIid<Interface>::value;
}
} // namespace platform

// Declares the IID constant IID_<Iface> and ties it to the interface type.
#define DEFINE_INTERFACE_IID(Iface, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                     \
    inline constexpr IID IID_##Iface = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};              \
    template <> struct platform::InterfaceIid<Iface> {                                             \
        static constexpr const IID& value = IID_##Iface;                                           \
    }

// Declares a GUID constant (class ids, categories, media types).
#define DEFINE_GUID_CONSTANT(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                      \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};
DEFINE_INTERFACE_IID(IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x46);
using LPUNKNOWN = IUnknown*;

// Class contexts: every object here lives in-process, so each in-process flag is accepted.
inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
inline constexpr DWORD CLSCTX_ALL =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

// VARIANT: the subset of OLE Automation's tagged value the system reads and writes.
using VARTYPE = USHORT;
using VARIANT_BOOL = SHORT;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;
enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_BSTR = 8,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
};

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        BSTR bstrVal;
        IUnknown* punkVal;
    };
};
using VARIANTARG = VARIANT;

extern "C" {

// COM is initialised per thread and counted: S_OK the first time, S_FALSE after; each
// successful call is matched by one CoUninitialize. Asking for another threading mode than
// the thread already has fails with RPC_E_CHANGED_MODE.
PLATFORM_API HRESULT CoInitialize(LPVOID reserved);
PLATFORM_API HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
PLATFORM_API void CoUninitialize();

// Creates a registered class. CO_E_NOTINITIALIZED on a thread that did not initialise COM,
// CLASS_E_NOAGGREGATION for an outer unknown, REGDB_E_CLASSNOTREG for an unknown class,
// E_POINTER for a null out pointer.
PLATFORM_API HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                                      void** object);

PLATFORM_API LPVOID CoTaskMemAlloc(size_t size);
PLATFORM_API LPVOID CoTaskMemRealloc(LPVOID block, size_t size);
PLATFORM_API void CoTaskMemFree(LPVOID block);

// BSTR: length-prefixed, NUL-terminated UTF-16.
PLATFORM_API BSTR SysAllocString(const OLECHAR* text);
PLATFORM_API BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
PLATFORM_API void SysFreeString(BSTR text);
PLATFORM_API UINT SysStringLen(BSTR text);

PLATFORM_API void VariantInit(VARIANT* value);
PLATFORM_API HRESULT VariantClear(VARIANT* value);
PLATFORM_API HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);

} // extern "C"

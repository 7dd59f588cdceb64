// VARIANT helpers: initialise, clear (freeing what the value owns) and copy.
#include "platform/com.h"

#include <cstring>

extern "C" PLATFORM_API void VariantInit(VARIANT* value) {
    if (!value)
        return;
    std::memset(value, 0, sizeof(*value));
    value->vt = VT_EMPTY;
}

extern "C" PLATFORM_API HRESULT VariantClear(VARIANT* value) {
    if (!value)
        return E_INVALIDARG;
    switch (value->vt) {
    case VT_BSTR:
        SysFreeString(value->bstrVal);
        break;
    case VT_UNKNOWN:
        if (value->punkVal)
            value->punkVal->Release();
        break;
    case VT_EMPTY:
    case VT_NULL:
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_BOOL:
    case VT_ERROR:
        break;
    default:
        return DISP_E_BADVARTYPE;
    }
    VariantInit(value);
    return S_OK;
}

extern "C" PLATFORM_API HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
    if (!dest || !src)
        return E_INVALIDARG;
    if (dest == src)
        return S_OK;
    if (HRESULT hr = VariantClear(dest); FAILED(hr))
        return hr;
    *dest = *src;
    if (src->vt == VT_BSTR && src->bstrVal) {
        dest->bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
        if (!dest->bstrVal) {
            VariantInit(dest);
            return E_OUTOFMEMORY;
        }
    } else if (src->vt == VT_UNKNOWN && src->punkVal) {
        src->punkVal->AddRef();
    }
    return S_OK;
}

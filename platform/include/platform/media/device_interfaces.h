// Device enumeration interfaces: the system device enumerator, monikers and property bags.
// Declared here; the device providers implement them.
#pragma once

#include "../com.h"

struct IBindCtx;
struct IErrorLog;
struct IMoniker;

struct IEnumMoniker : IUnknown {
    virtual HRESULT Next(ULONG count, IMoniker** monikers, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumMoniker** clone) = 0;
};
DEFINE_INTERFACE_IID(IEnumMoniker, 0x00000102, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x46);

// The two moniker methods the system calls.
struct IMoniker : IUnknown {
    virtual HRESULT BindToObject(IBindCtx* context, IMoniker* left, REFIID riid, void** object) = 0;
    virtual HRESULT BindToStorage(IBindCtx* context, IMoniker* left, REFIID riid,
                                  void** object) = 0;
};
DEFINE_INTERFACE_IID(IMoniker, 0x0000000f, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x46);

struct IPropertyBag : IUnknown {
    virtual HRESULT Read(LPCOLESTR name, VARIANT* value, IErrorLog* errorLog) = 0;
    virtual HRESULT Write(LPCOLESTR name, VARIANT* value) = 0;
};
DEFINE_INTERFACE_IID(IPropertyBag, 0x55272A00, 0x42CB, 0x11CE, 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B,
                     0xB8, 0x51);

struct ICreateDevEnum : IUnknown {
    // S_FALSE with a null enumerator when the category is empty.
    virtual HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** monikers,
                                          DWORD flags) = 0;
};
DEFINE_INTERFACE_IID(ICreateDevEnum, 0x29840822, 0x5B84, 0x11D0, 0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11,
                     0xCE, 0x86);

DEFINE_GUID_CONSTANT(CLSID_SystemDeviceEnum, 0x62BE5D10, 0x60EB, 0x11d0, 0xBD, 0x3B, 0x00, 0xA0,
                     0xC9, 0x11, 0xCE, 0x86);
DEFINE_GUID_CONSTANT(CLSID_VideoInputDeviceCategory, 0x860BB310, 0x5D01, 0x11d0, 0xBD, 0x3B, 0x00,
                     0xA0, 0xC9, 0x11, 0xCE, 0x86);
DEFINE_GUID_CONSTANT(CLSID_VideoCompressorCategory, 0x33D9A760, 0x90C8, 0x11d0, 0xBD, 0x43, 0x00,
                     0xA0, 0xC9, 0x11, 0xCE, 0x86);

// Camera interfaces: pin categories, picture and camera controls, property pages, and the
// device-provider registry behind the system device enumerator.
#pragma once

#include "capture_interfaces.h"

// Results of property sets and of a preview rendered through a smart tee.
inline constexpr HRESULT E_PROP_ID_UNSUPPORTED = hresultFromBits(0x80070490);
inline constexpr HRESULT E_PROP_SET_UNSUPPORTED = hresultFromBits(0x80070492);
inline constexpr HRESULT VFW_S_NOPREVIEWPIN = 0x0004027E;

// Pin properties (IKsPropertySet on a pin): the category of a capture filter's pin.
DEFINE_GUID_CONSTANT(AMPROPSETID_Pin, 0x9b00f101, 0x1567, 0x11d1, 0xb3, 0xf1, 0x00, 0xaa, 0x00,
                     0x37, 0x61, 0xc5);
inline constexpr DWORD AMPROPERTY_PIN_CATEGORY = 0;
inline constexpr DWORD KSPROPERTY_SUPPORT_GET = 1;
inline constexpr DWORD KSPROPERTY_SUPPORT_SET = 2;

struct IKsPropertySet : IUnknown {
    virtual HRESULT Set(REFGUID set, DWORD id, LPVOID instance, DWORD instanceLength, LPVOID data,
                        DWORD dataLength) = 0;
    virtual HRESULT Get(REFGUID set, DWORD id, LPVOID instance, DWORD instanceLength, LPVOID data,
                        DWORD dataLength, DWORD* returned) = 0;
    virtual HRESULT QuerySupported(REFGUID set, DWORD id, DWORD* support) = 0;
};
DEFINE_INTERFACE_IID(IKsPropertySet, 0x31EFAC30, 0x515C, 0x11d0, 0xA9, 0xAA, 0x00, 0xAA, 0x00, 0x61,
                     0xBE, 0x93);

enum VideoProcAmpProperty {
    VideoProcAmp_Brightness = 0,
    VideoProcAmp_Contrast,
    VideoProcAmp_Hue,
    VideoProcAmp_Saturation,
    VideoProcAmp_Sharpness,
    VideoProcAmp_Gamma,
    VideoProcAmp_ColorEnable,
    VideoProcAmp_WhiteBalance,
    VideoProcAmp_BacklightCompensation,
    VideoProcAmp_Gain,
};
inline constexpr LONG VideoProcAmp_Flags_Auto = 0x0001;
inline constexpr LONG VideoProcAmp_Flags_Manual = 0x0002;

struct IAMVideoProcAmp : IUnknown {
    virtual HRESULT GetRange(LONG property, LONG* min, LONG* max, LONG* step, LONG* defaultValue,
                             LONG* capsFlags) = 0;
    virtual HRESULT Set(LONG property, LONG value, LONG flags) = 0;
    virtual HRESULT Get(LONG property, LONG* value, LONG* flags) = 0;
};
DEFINE_INTERFACE_IID(IAMVideoProcAmp, 0xC6E13360, 0x30AC, 0x11d0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9,
                     0x11, 0x89, 0x56);

enum CameraControlProperty {
    CameraControl_Pan = 0,
    CameraControl_Tilt,
    CameraControl_Roll,
    CameraControl_Zoom,
    CameraControl_Exposure,
    CameraControl_Iris,
    CameraControl_Focus,
};
inline constexpr LONG CameraControl_Flags_Auto = 0x0001;
inline constexpr LONG CameraControl_Flags_Manual = 0x0002;

struct IAMCameraControl : IUnknown {
    virtual HRESULT GetRange(LONG property, LONG* min, LONG* max, LONG* step, LONG* defaultValue,
                             LONG* capsFlags) = 0;
    virtual HRESULT Set(LONG property, LONG value, LONG flags) = 0;
    virtual HRESULT Get(LONG property, LONG* value, LONG* flags) = 0;
};
DEFINE_INTERFACE_IID(IAMCameraControl, 0xC6E13370, 0x30AC, 0x11d0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9,
                     0x11, 0x89, 0x56);

// A counted array of GUIDs; the elements are CoTaskMemAlloc'd and freed by the caller.
struct CAUUID {
    ULONG cElems;
    GUID* pElems;
};

struct ISpecifyPropertyPages : IUnknown {
    virtual HRESULT GetPages(CAUUID* pages) = 0;
};
DEFINE_INTERFACE_IID(ISpecifyPropertyPages, 0xB196B28B, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA,
                     0x00, 0x34, 0x1D, 0x07);

// The two generic pages a property-frame host draws: a device's camera controls (its
// IAMVideoProcAmp and IAMCameraControl) and a capture pin's stream format (IAMStreamConfig).
DEFINE_GUID_CONSTANT(CLSID_CameraControlsPage, 0x6f4c2b1e, 0x8d7a, 0x4e51, 0x9a, 0x3c, 0x21, 0x5e,
                     0x7b, 0x90, 0xd4, 0x11);
DEFINE_GUID_CONSTANT(CLSID_StreamFormatPage, 0x6f4c2b1f, 0x8d7a, 0x4e51, 0x9a, 0x3c, 0x21, 0x5e,
                     0x7b, 0x90, 0xd4, 0x11);

// The V4L2 camera filter (created through the device's moniker, not by class).
DEFINE_GUID_CONSTANT(CLSID_V4l2Camera, 0x0b7d9e53, 0x3f1c, 0x4a86, 0xb4, 0x20, 0x5d, 0xc1, 0x6e,
                     0x33, 0x8a, 0x07);
// The built-in test-pattern camera's filter.
DEFINE_GUID_CONSTANT(CLSID_TestPatternCamera, 0x0b7d9e52, 0x3f1c, 0x4a86, 0xb4, 0x20, 0x5d, 0xc1,
                     0x6e, 0x33, 0x8a, 0x07);

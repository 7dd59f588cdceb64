// Test helpers over a capture pin's stream configuration: choosing a size as a user would on
// the format page, and reading the pin's format back.
#pragma once

#include <lumora/Video.h>
#include <platform/com_ptr.h>
#include <platform/media/camera_interfaces.h>
#include <platform/media/media.h>

namespace testsupport {

// Picks a size at 24 bits on the pin's stream configuration (reached through `object`) from
// the first capability that allows it, and sets it.
inline HRESULT pickFormat(IUnknown* object, LONG width, LONG height) {
    platform::ComPtr<IAMStreamConfig> config;
    if (FAILED(object->QueryInterface(IID_IAMStreamConfig,
                                      reinterpret_cast<void**>(config.GetAddressOf()))))
        return E_NOINTERFACE;
    int count = 0, size = 0;
    config->GetNumberOfCapabilities(&count, &size);
    for (int i = 0; i < count; ++i) {
        VIDEO_STREAM_CONFIG_CAPS caps{};
        AM_MEDIA_TYPE* mt = nullptr;
        if (config->GetStreamCaps(i, &mt, reinterpret_cast<BYTE*>(&caps)) != S_OK)
            continue;
        auto* info = reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat);
        HRESULT hr = E_FAIL;
        if (info->bmiHeader.biBitCount == 24 && caps.MinOutputSize.cx <= width &&
            width <= caps.MaxOutputSize.cx && caps.MinOutputSize.cy <= height &&
            height <= caps.MaxOutputSize.cy) {
            info->bmiHeader.biWidth = width;
            info->bmiHeader.biHeight = height;
            hr = config->SetFormat(mt);
        }
        CoTaskMemFree(mt->pbFormat);
        CoTaskMemFree(mt);
        if (SUCCEEDED(hr))
            return hr;
    }
    return E_FAIL;
}

// The format the pin reports (zero when there is none), and its subtype when asked.
inline tVideoInf streamConfigFormat(IAMStreamConfig* config, GUID* subtype = nullptr) {
    tVideoInf inf{};
    AM_MEDIA_TYPE* mt = nullptr;
    if (config && SUCCEEDED(config->GetFormat(&mt))) {
        const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat);
        inf = {info->bmiHeader.biBitCount, info->bmiHeader.biWidth, info->bmiHeader.biHeight,
               info->AvgTimePerFrame};
        if (subtype)
            *subtype = mt->subtype;
        CoTaskMemFree(mt->pbFormat);
        CoTaskMemFree(mt);
    }
    return inf;
}

} // namespace testsupport

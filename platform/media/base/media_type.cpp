// MediaType and the AM_MEDIA_TYPE helpers.
#include "media/base/media_type.h"

#include <cstring>
#include <utility>

namespace platform::media {

void freeMediaType(AM_MEDIA_TYPE& mt) {
    if (mt.pbFormat)
        CoTaskMemFree(mt.pbFormat);
    mt.pbFormat = nullptr;
    mt.cbFormat = 0;
    if (mt.pUnk) {
        mt.pUnk->Release();
        mt.pUnk = nullptr;
    }
}

void deleteMediaType(AM_MEDIA_TYPE* mt) {
    if (!mt)
        return;
    freeMediaType(*mt);
    CoTaskMemFree(mt);
}

HRESULT copyMediaType(AM_MEDIA_TYPE& target, const AM_MEDIA_TYPE& source) {
    target = source;
    target.pbFormat = nullptr;
    target.cbFormat = 0;
    if (source.cbFormat && source.pbFormat) {
        target.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source.cbFormat));
        if (!target.pbFormat) {
            target = AM_MEDIA_TYPE{};
            return E_OUTOFMEMORY;
        }
        std::memcpy(target.pbFormat, source.pbFormat, source.cbFormat);
        target.cbFormat = source.cbFormat;
    }
    if (target.pUnk)
        target.pUnk->AddRef();
    return S_OK;
}

AM_MEDIA_TYPE* createMediaType(const AM_MEDIA_TYPE& source) {
    auto* mt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!mt)
        return nullptr;
    if (FAILED(copyMediaType(*mt, source))) {
        CoTaskMemFree(mt);
        return nullptr;
    }
    return mt;
}

bool matchesPartial(const AM_MEDIA_TYPE& wanted, const AM_MEDIA_TYPE& offered) {
    auto fits = [](const GUID& want, const GUID& have) {
        return want == GUID_NULL || want == have;
    };
    return fits(wanted.majortype, offered.majortype) && fits(wanted.subtype, offered.subtype) &&
           fits(wanted.formattype, offered.formattype);
}

bool isFullySpecified(const AM_MEDIA_TYPE& mt) {
    return mt.majortype != GUID_NULL && mt.subtype != GUID_NULL && mt.formattype != GUID_NULL;
}

MediaType::MediaType() : mt_{} {}

MediaType::MediaType(const AM_MEDIA_TYPE& mt) : mt_{} {
    copyMediaType(mt_, mt);
}

MediaType::MediaType(const MediaType& other) : mt_{} {
    copyMediaType(mt_, other.mt_);
}

MediaType::MediaType(MediaType&& other) noexcept : mt_(std::exchange(other.mt_, AM_MEDIA_TYPE{})) {}

MediaType& MediaType::operator=(const MediaType& other) {
    if (this != &other) {
        MediaType copy(other);
        *this = std::move(copy);
    }
    return *this;
}

MediaType& MediaType::operator=(MediaType&& other) noexcept {
    if (this != &other) {
        freeMediaType(mt_);
        mt_ = std::exchange(other.mt_, AM_MEDIA_TYPE{});
    }
    return *this;
}

MediaType::~MediaType() {
    freeMediaType(mt_);
}

bool MediaType::empty() const {
    return mt_.majortype == GUID_NULL && mt_.subtype == GUID_NULL;
}

void MediaType::clear() {
    freeMediaType(mt_);
    mt_ = AM_MEDIA_TYPE{};
}

const VIDEOINFOHEADER* MediaType::videoInfo() const {
    if (mt_.formattype != FORMAT_VideoInfo || !mt_.pbFormat ||
        mt_.cbFormat < sizeof(VIDEOINFOHEADER))
        return nullptr;
    return reinterpret_cast<const VIDEOINFOHEADER*>(mt_.pbFormat);
}

VIDEOINFOHEADER* MediaType::videoInfo() {
    return const_cast<VIDEOINFOHEADER*>(std::as_const(*this).videoInfo());
}

MediaType MediaType::video(const GUID& subtype, const BITMAPINFOHEADER& header,
                           REFERENCE_TIME avgTimePerFrame) {
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = avgTimePerFrame;
    vih.bmiHeader = header;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    AM_MEDIA_TYPE mt{};
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = subtype;
    mt.bFixedSizeSamples = TRUE;
    mt.lSampleSize = header.biSizeImage;
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = sizeof(vih);
    mt.pbFormat = reinterpret_cast<BYTE*>(&vih);
    return MediaType(mt); // deep-copies the block off the stack
}

bool MediaType::rgbFor(const VIDEOINFOHEADER* input, int position, MediaType& mt) {
    if (!input || position < 0 || position > 1)
        return false;
    const int bits = position == 0 ? 24 : 32;
    BITMAPINFOHEADER header{};
    header.biWidth = input->bmiHeader.biWidth;
    header.biHeight =
        input->bmiHeader.biHeight < 0 ? -input->bmiHeader.biHeight : input->bmiHeader.biHeight;
    header.biPlanes = 1;
    header.biBitCount = WORD(bits);
    header.biCompression = BI_RGB;
    header.biSizeImage = DWORD(dibStride(header.biWidth, bits) * header.biHeight);
    mt =
        video(bits == 24 ? MEDIASUBTYPE_RGB24 : MEDIASUBTYPE_RGB32, header, input->AvgTimePerFrame);
    return true;
}

} // namespace platform::media

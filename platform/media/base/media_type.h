// MediaType: an owning AM_MEDIA_TYPE (deep copies of the format block), and the free, copy and
// match helpers the pins and the graph share.
#pragma once

#include <platform/media/media_types.h>

namespace platform::media {

// Releases the format block and pUnk and zeroes them (the platform's FreeMediaType).
void freeMediaType(AM_MEDIA_TYPE& mt);
// freeMediaType, then CoTaskMemFree of the structure itself (DeleteMediaType).
void deleteMediaType(AM_MEDIA_TYPE* mt);
// Deep copy into `target`, which must hold nothing; E_OUTOFMEMORY leaves it empty.
HRESULT copyMediaType(AM_MEDIA_TYPE& target, const AM_MEDIA_TYPE& source);
// A CoTaskMemAlloc'd deep copy for enumerators and GetFormat-style calls; null on failure.
AM_MEDIA_TYPE* createMediaType(const AM_MEDIA_TYPE& source);

// Whether `offered` satisfies `wanted`, where each GUID_NULL field of `wanted` matches anything.
bool matchesPartial(const AM_MEDIA_TYPE& wanted, const AM_MEDIA_TYPE& offered);
// Major type, subtype and format type all given.
bool isFullySpecified(const AM_MEDIA_TYPE& mt);

class MediaType {
public:
    MediaType();
    explicit MediaType(const AM_MEDIA_TYPE& mt);
    MediaType(const MediaType& other);
    MediaType(MediaType&& other) noexcept;
    MediaType& operator=(const MediaType& other);
    MediaType& operator=(MediaType&& other) noexcept;
    ~MediaType();

    const AM_MEDIA_TYPE& get() const { return mt_; }
    AM_MEDIA_TYPE& get() { return mt_; }
    bool empty() const;
    void clear();
    // The VIDEOINFOHEADER of a FORMAT_VideoInfo type with a large enough block, else null.
    const VIDEOINFOHEADER* videoInfo() const;
    VIDEOINFOHEADER* videoInfo();

    // A video type with a VIDEOINFOHEADER; fixed-size samples of biSizeImage bytes.
    static MediaType video(const GUID& subtype, const BITMAPINFOHEADER& header,
                           REFERENCE_TIME avgTimePerFrame);
    // The bottom-up RGB picture a decoder or converter offers for `input`: RGB24 at position
    // 0, RGB32 at position 1; false past the end or without a video input.
    static bool rgbFor(const VIDEOINFOHEADER* input, int position, MediaType& mt);

private:
    AM_MEDIA_TYPE mt_;
};

// Row stride of a packed picture: rows padded to 4 bytes, as DIB rows are.
inline LONG dibStride(LONG width, int bitCount) {
    return ((width * bitCount + 31) / 32) * 4;
}

} // namespace platform::media

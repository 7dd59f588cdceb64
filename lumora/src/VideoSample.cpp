// Sample grabbing and the current image: the per-sample copy into the object's frame.
#include "lumora/Video.h"

#include <platform/media/sample_grabber.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace {

// The frame's pixel area: row stride x height, as sized when the frame was made.
LONG pixelAreaOf(const BITMAPINFOHEADER& header) {
    const LONG stride = ((header.biWidth * header.biBitCount + 31) / 32) * 4;
    const LONG height = header.biHeight < 0 ? -header.biHeight : header.biHeight;
    return stride > 0 && height > 0 ? stride * height : 0;
}

// The callback pair of every object is guarded by one of these locks, picked by the object's
// address: held for the two stores or the two loads only, never while a callback runs, so
// the per-sample cost is one uncontended lock and nothing is allocated.
std::mutex& pairLock(const CVideo* video) {
    static std::mutex locks[16];
    return locks[(reinterpret_cast<uintptr_t>(video) / alignof(CVideo)) % 16];
}

} // namespace

void CVideo::StoreSampleCallBack(SampleCallBack callBack, void* param) {
    std::lock_guard lock(pairLock(this));
    m_pfnSampleCallBack = callBack;
    m_pSampleCallBackParam = param;
}

SampleCallBack CVideo::LoadSampleCallBack(void** param) const {
    std::lock_guard lock(pairLock(this));
    *param = m_pSampleCallBackParam;
    return m_pfnSampleCallBack;
}

// Runs on the graph's streaming thread, once per sample; the caller's thread may set the
// callback pair at any time. Nothing of the object is touched once the callback is called:
// a Close inside the callback lets the graph go on without the object.
void CVideo::OnSample(BYTE* buffer, LONG length) {
    void* param = nullptr;
    const SampleCallBack callBack = LoadSampleCallBack(&param);
    if (!callBack)
        return;
    BITMAPINFO* frame = m_pBitmapInfo;
    if (!frame)
        return;
    BYTE* pixels = GetBmpImageData(frame);
    if (buffer && length > 0) {
        // A sample longer than the frame would run past the block: copy the pixel area only.
        std::memcpy(pixels, buffer, size_t(std::min(length, pixelAreaOf(frame->bmiHeader))));
    }
    std::atomic_ref<LONGLONG>(m_llFrameCount).fetch_add(1, std::memory_order_relaxed);
    callBack(pixels, param);
}

void CVideo::SetCompressedSampleCallBack(CompressedSampleCallBack callBack, void* param) {
    std::lock_guard lock(pairLock(this));
    m_pfnCompressedCallBack = callBack;
    m_pCompressedCallBackParam = param;
}

CompressedSampleCallBack CVideo::LoadCompressedCallBack(void** param) const {
    std::lock_guard lock(pairLock(this));
    *param = m_pCompressedCallBackParam;
    return m_pfnCompressedCallBack;
}

// Streaming thread, ahead of the decoder: the camera's bytes go to the callback as they are.
void CVideo::OnCompressedSample(BYTE* buffer, LONG length) {
    void* param = nullptr;
    const CompressedSampleCallBack callBack = LoadCompressedCallBack(&param);
    if (callBack && buffer && length > 0)
        callBack(buffer, length, param);
}

int CVideo::GetCurrentImage(BYTE* buffer, LONG size) {
    if (!m_pGrabber || !m_pBitmapInfo)
        return -1;
    // The grabber writes into the frame itself: never ask for more than its pixel area.
    const LONG area = pixelAreaOf(m_pBitmapInfo->bmiHeader);
    const LONG sizeImage = LONG(m_pBitmapInfo->bmiHeader.biSizeImage);
    LONG bytes = sizeImage > 0 ? std::min(sizeImage, area) : area;
    BYTE* pixels = GetBmpImageData(m_pBitmapInfo);
    if (FAILED(m_pGrabber->GetCurrentBuffer(&bytes, reinterpret_cast<LONG*>(pixels))))
        return -1;
    if (buffer && size >= bytes)
        std::memcpy(buffer, pixels, size_t(bytes));
    void* param = nullptr;
    if (const SampleCallBack callBack = LoadSampleCallBack(&param))
        callBack(pixels, param);
    return 0;
}

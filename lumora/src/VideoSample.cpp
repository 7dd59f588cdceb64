// Sample grabbing and the current image: the per-sample copy into the object's frame.
#include "lumora/Video.h"

#include <platform/media/sample_grabber.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

// The frame's pixel area: row stride x height, as sized when the frame was made.
LONG pixelAreaOf(const BITMAPINFOHEADER& header) {
    const LONG stride = ((header.biWidth * header.biBitCount + 31) / 32) * 4;
    const LONG height = header.biHeight < 0 ? -header.biHeight : header.biHeight;
    return stride > 0 && height > 0 ? stride * height : 0;
}

} // namespace

// Runs on the graph's streaming thread, once per sample; the caller's thread may set the
// callback pair at any time, so both are read atomically.
void CVideo::OnSample(BYTE* buffer, LONG length) {
    const SampleCallBack callBack =
        std::atomic_ref<SampleCallBack>(m_pfnSampleCallBack).load(std::memory_order_acquire);
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
    callBack(pixels,
             std::atomic_ref<void*>(m_pSampleCallBackParam).load(std::memory_order_relaxed));
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
    const SampleCallBack callBack =
        std::atomic_ref<SampleCallBack>(m_pfnSampleCallBack).load(std::memory_order_acquire);
    if (callBack)
        callBack(pixels,
                 std::atomic_ref<void*>(m_pSampleCallBackParam).load(std::memory_order_relaxed));
    return 0;
}

// CVideo: one video source (a camera or a media file) delivering packed RGB frames.
//
// The member layout below is part of the library's binary interface: the program is
// compiled against this header and reads members through the inline accessors.
#pragma once

#include <platform/carray.h>
#include <platform/cstring.h>
#include <platform/media/forward.h>
#include <platform/wintypes.h>

#include <atomic>

#define LUMORA_API __attribute__((visibility("default")))

class CSampleCB;

// Open modes (CVideo::m_nOpenMode).
enum {
    OPEN_CLOSED = 0, // nothing is open; every interface member is null
    OPEN_DEVICE = 1, // a capture device is bound
    OPEN_FILE = 2,   // a media file is open for playback
};

// Capacity of a device's capability table.
#define CAPINF_MAX 32

// One enumerated capture device; texts are NUL-terminated UTF-8.
struct tVideoDev {
    char szFriendlyName[128];
    char szDescription[128]; // empty when the device has none
    char szDevicePath[256];  // empty when the device has none
    // 0 when no other listed device has the same friendly name; otherwise 1, 2, 3, ...
    // numbering the devices sharing that name in enumeration order.
    int nIndex;
};

// A video format.
struct tVideoInf {
    int nBitCount;
    int nWidth;
    int nHeight;
    LONGLONG llFrameInterval; // 100-ns units: 10000000 / frames per second
};

// One capture capability of a device.
struct tVideoCapInf {
    int nBitCount;
    int nMaxWidth;
    int nMaxHeight;
    int nMinWidth;
    int nMinHeight;
    LONGLONG llMaxFrameInterval; // slowest rate
    LONGLONG llMinFrameInterval; // fastest rate
};

// The frame callback: `frame` points at the pixel rows of the current frame.
typedef void (*SampleCallBack)(BYTE* frame, void* param);
// The compressed-sample callback: the camera's own compressed picture (MJPEG), `length` bytes
// at `data`, valid during the call only.
typedef void (*CompressedSampleCallBack)(BYTE* data, LONG length, void* param);

class LUMORA_API CVideo {
public:
    CVideo();
    // Copies take the source's plain settings (format, interval, callback) and never its
    // open source: a copy starts closed, so two objects never share graph references or a
    // frame block. For a closed source this is a memberwise copy.
    CVideo(const CVideo& other);
    ~CVideo();
    CVideo& operator=(const CVideo& other);

    // Object and open modes.
    int Open(int mode, const char* name, int index);
    void Close();
    int IsOpen() { return m_nOpenMode == OPEN_DEVICE || m_nOpenMode == OPEN_FILE; }
    int GetOpenMode() { return m_nOpenMode; }
    int IsConnect();
    // Read on the caller's thread while a streaming thread may be running: atomic access
    // keeps the plain BOOL member of the layout.
    int IsRunning() { return std::atomic_ref<BOOL>(m_bRunning).load(std::memory_order_relaxed); }
    CString GetFileName();
    LONGLONG GetFrameCount();

    // Device enumeration and naming.
    static int GetCaptureDeviceList(tVideoDev* list, int max);
    static CString GetDevicePath(const char* friendlyName, int index);
    static CString GetDeviceFriendlyName(const char* devicePath, int* index);
    CString GetDeviceDispName();
    static CString GetDeviceDispName(const char* friendlyName, int index, const char* description);
    static CString GetDeviceDispName(tVideoDev dev);

    // Capture graph and video format.
    int CaptureInit(int width, int height, int bitCount, LONGLONG frameInterval);
    int CaptureInit(const char* ignored);
    int CaptureInit(VIDEOINFOHEADER* format);
    BOOL GetVideoInf(tVideoInf& inf) {
        if (!m_pStreamConfig)
            return FALSE;
        inf = m_VideoInf;
        return TRUE;
    }
    int GetVideoCapInf(tVideoCapInf* list, int max);
    LONGLONG GetFrameInterval() { return m_llFrameInterval; }

    // Sample grabbing and the current image. The callback pair is written here on the
    // caller's thread and read on the streaming thread for every sample, always as one unit:
    // a callback never runs with another callback's parameter. A call already running when
    // this returns finishes with the pair it started with.
    void SetSampleCallBack(SampleCallBack callBack, void* param) {
        StoreSampleCallBack(callBack, param);
    }
    // A camera that delivers MJPEG also shows each compressed sample, as the camera sent it,
    // to this callback on the streaming thread, just before the frame decoded from it reaches
    // the frame callback (a sample that fails to decode is followed by no frame). Set and read
    // as one pair, like the frame callback. Cameras delivering other formats never call it.
    // The graph gets the grabber that sees these samples when it is built (Open, CaptureInit)
    // with a callback set, so set it before; clearing it later only stops the calls.
    void SetCompressedSampleCallBack(CompressedSampleCallBack callBack, void* param);
    int GetCurrentImage(BYTE* buffer, LONG size);
    const BITMAPINFO* GetBitmapInfoPtr() { return m_pBitmapInfo; }

    // Bitmap frame helpers.
    static BYTE* GetBmpImageData(const BITMAPINFO* info);
    static int GetBmpImageDataPos(const BITMAPINFO* info);
    static BITMAPINFO* DupBitmap(const BITMAPINFO* info);
    static BITMAPINFO* DupBitmapInfo(const BITMAPINFO* info);
    static void ReleaseBitmap(BITMAPINFO* info);
    static void ReleaseBitmapInfo(BITMAPINFO* info);

    // Capture start and stop, recording.
    int CaptureStart(const char* fileName, const char* compressorName);
    void CaptureStop();
    void CaptureEnd();
    static int GetCompressFilterList(char** names, int max);

    // File playback.
    int PlayStart();
    void PlayStop();
    void PlayPause();
    LONGLONG SetPlayPos(LONGLONG frame);

    // Device dialogs.
    int ShowPropertyDialog(HWND parent, const char* caption);
    int CheckShowPropertyDialog();
    int GetStreamFormat(tVideoInf& inf, HWND parent, const char* caption);
    int ShowStreamFormatDialog(HWND parent, const char* caption);

protected:
    static int GetCaptureDeviceList(CArray<tVideoDev, tVideoDev&>& list);
    BOOL BindCaptureDevice(const char* devicePath);
    BOOL BindCaptureDevice(const char* friendlyName, int index);

    HRESULT AddFilter(IGraphBuilder* graph, const GUID& clsid, LPCWSTR name, IBaseFilter** out);
    HRESULT GetUnconnectedPin(IBaseFilter* filter, PIN_DIRECTION direction, IPin** out);
    HRESULT ConnectFilters(IGraphBuilder* graph, IBaseFilter* upstream, IBaseFilter* downstream);
    HRESULT GetPin(IBaseFilter* filter, PIN_DIRECTION direction, int index, IPin** out);
    IPin* GetInPin(IBaseFilter* filter, int index);
    IPin* GetOutPin(IBaseFilter* filter, int index);
    HRESULT GetInterfaces();
    void CloseInterfaces();
    void Release();
    void ReleaseDownstream(IBaseFilter* filter);

    int Connect(const char* devicePath);
    int Connect(const char* friendlyName, int index);
    void RecordBoundDevice(const tVideoDev& dev);
    int InitVideoCapInf();
    HRESULT SetVideoInf(int width, int height, int bitCount, LONGLONG frameInterval);

    // Runs on the streaming thread, once per sample.
    void OnSample(BYTE* buffer, LONG length);
    // Runs on the streaming thread, once per compressed sample, ahead of the decoder.
    void OnCompressedSample(BYTE* buffer, LONG length);
    // Puts a pass-through grabber between an MJPEG device and the decoder (CaptureInit).
    HRESULT AddCompressedTap(IBaseFilter** tap);
    // The callback pair, written and read together (any thread).
    void StoreSampleCallBack(SampleCallBack callBack, void* param);
    SampleCallBack LoadSampleCallBack(void** param) const;
    CompressedSampleCallBack LoadCompressedCallBack(void** param) const;
    friend class CSampleCB;

    static LONG GetBmpLineLen(const BITMAPINFOHEADER* header);
    static LONG GetBmpRGBNum(const BITMAPINFOHEADER* header);
    static LONG GetBmpDataSize(const BITMAPINFOHEADER* header);

    static HRESULT GetCompressFilter(const char* name, IBaseFilter** out);

    int FileOpen(const char* fileName);
    void FileClose();

    int m_nOpenMode;
    CString m_strDevicePath;
    CString m_strFriendlyName;
    int m_nDeviceIndex;
    IGraphBuilder* m_pGraph;
    ICaptureGraphBuilder2* m_pCapBuilder;
    IMediaControl* m_pMediaControl;
    IBaseFilter* m_pSource;
    IBaseFilter* m_pGrabberFilter;
    ISampleGrabber* m_pGrabber;
    IAMStreamConfig* m_pStreamConfig;
    IBaseFilter* m_pMux;
    IFileSinkFilter* m_pFileSink;
    IMediaSeeking* m_pSeeking;
    CSampleCB* m_pSampleCB;
    tVideoCapInf m_CapInf[CAPINF_MAX];
    int m_nCapInfNum;
    tVideoInf m_VideoInf;
    BITMAPINFO* m_pBitmapInfo;
    LONGLONG m_llFrameInterval;
    LONGLONG m_llFrameCount;
    BOOL m_bRunning;
    LONGLONG m_llFirstFrame;
    LONGLONG m_llPlayFrame;
    CString m_strFileName;
    SampleCallBack m_pfnSampleCallBack;
    void* m_pSampleCallBackParam;
    // The compressed-sample tap (MJPEG devices only) and its callback pair.
    IBaseFilter* m_pTapFilter;
    ISampleGrabber* m_pTap;
    CSampleCB* m_pTapCB;
    CompressedSampleCallBack m_pfnCompressedCallBack;
    void* m_pCompressedCallBackParam;
};

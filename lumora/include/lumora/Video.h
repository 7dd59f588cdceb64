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

/// Marks what liblumora exports: the CVideo class and nothing else.
#define LUMORA_API __attribute__((visibility("default")))

class CSampleCB;

/// Open modes (CVideo::GetOpenMode).
enum {
    OPEN_CLOSED = 0, ///< nothing is open; every interface member is null
    OPEN_DEVICE = 1, ///< a capture device is bound
    OPEN_FILE = 2,   ///< a media file is open for playback
};

/// Capacity of a device's capability table.
#define CAPINF_MAX 32

/// One enumerated capture device; texts are NUL-terminated UTF-8.
struct tVideoDev {
    char szFriendlyName[128]; ///< the name a person reads
    char szDescription[128];  ///< empty when the device has none
    char szDevicePath[256];   ///< stable path to open it by; empty when the device has none
    /// 0 when no other listed device has the same friendly name; otherwise 1, 2, 3, ...
    /// numbering the devices sharing that name in enumeration order.
    int nIndex;
};

/// A video format.
struct tVideoInf {
    int nBitCount;            ///< bits per pixel of the frames delivered (24 or 32)
    int nWidth;               ///< pixels
    int nHeight;              ///< pixels
    LONGLONG llFrameInterval; ///< 100-ns units: 10000000 / frames per second
};

/// One capture capability of a device.
struct tVideoCapInf {
    int nBitCount;
    int nMaxWidth;
    int nMaxHeight;
    int nMinWidth;
    int nMinHeight;
    LONGLONG llMaxFrameInterval; ///< slowest rate
    LONGLONG llMinFrameInterval; ///< fastest rate
};

/// The frame callback: `frame` points at the pixel rows of the current frame (bottom-up, laid
/// out as GetBitmapInfoPtr describes), valid during the call only. Called on the streaming
/// thread.
typedef void (*SampleCallBack)(BYTE* frame, void* param);
/// The compressed-sample callback: the camera's own compressed picture (MJPEG), `length` bytes
/// at `data`, valid during the call only. Called on the streaming thread.
typedef void (*CompressedSampleCallBack)(BYTE* data, LONG length, void* param);

/// One video source (a camera or a media file) delivering packed RGB frames.
///
/// Members run on the caller's thread unless their comment says otherwise; the callbacks run
/// on the library's streaming thread. Members returning int give 0 on success and a negative
/// value on failure, unless their comment says otherwise.
class LUMORA_API CVideo {
public:
    /// A closed object (OPEN_CLOSED).
    CVideo();
    /// Copies take the source's plain settings (format, interval, callback) and never its
    /// open source: a copy starts closed, so two objects never share graph references or a
    /// frame block. For a closed source this is a memberwise copy.
    CVideo(const CVideo& other);
    /// Stops any capture or playback and closes the source.
    ~CVideo();
    /// Closes this object's source and takes `other`'s plain settings, as the copy does.
    CVideo& operator=(const CVideo& other);

    // Object and open modes.
    /// Opens a capture device (`mode` OPEN_DEVICE: `name` is a device path when `index` is
    /// negative, else a friendly name and its nIndex) or a media file (OPEN_FILE: `name` is
    /// the file). Closes what was open first; on failure the object is left closed.
    int Open(int mode, const char* name, int index);
    /// Stops capture or playback and releases the source.
    void Close();
    /// 1 while a device or a file is open, else 0.
    int IsOpen() { return m_nOpenMode == OPEN_DEVICE || m_nOpenMode == OPEN_FILE; }
    /// OPEN_CLOSED, OPEN_DEVICE or OPEN_FILE.
    int GetOpenMode() { return m_nOpenMode; }
    /// Non-zero when a device has been bound (by path or by name).
    int IsConnect();
    /// 1 while capturing or playing. Read on the caller's thread while a streaming thread may
    /// be running: atomic access keeps the plain BOOL member of the layout.
    int IsRunning() { return std::atomic_ref<BOOL>(m_bRunning).load(std::memory_order_relaxed); }
    /// The open media file's name, or the recording's; empty when there is none.
    CString GetFileName();
    /// Frames delivered so far (written by the streaming thread, read from any thread).
    LONGLONG GetFrameCount();

    // Device enumeration and naming.
    /// Fills `list` with up to `max` capture devices; returns how many were written.
    static int GetCaptureDeviceList(tVideoDev* list, int max);
    /// The device path of the device with this friendly name and index; the first device's
    /// when none matches; empty when there are no devices.
    static CString GetDevicePath(const char* friendlyName, int index);
    /// The friendly name (and, in `*index`, its nIndex) of the device at `devicePath`; empty
    /// when no listed device has that path.
    static CString GetDeviceFriendlyName(const char* devicePath, int* index);
    /// The bound device's display name ("Name (2)" for the second of a name); empty if none.
    CString GetDeviceDispName();
    /// A device's display name: the friendly name, its index when above 0, the description.
    static CString GetDeviceDispName(const char* friendlyName, int index, const char* description);
    /// The display name of an enumerated device.
    static CString GetDeviceDispName(tVideoDev dev);

    // Capture graph and video format.
    /// Builds the capture graph for this format (device mode), replacing the current one.
    int CaptureInit(int width, int height, int bitCount, LONGLONG frameInterval);
    /// Builds the capture graph again at the current format; the argument is not used.
    int CaptureInit(const char* ignored);
    /// Builds the capture graph for the size, depth and interval `format` describes.
    int CaptureInit(VIDEOINFOHEADER* format);
    /// Copies the current format to `inf`; FALSE when no capture graph is built.
    BOOL GetVideoInf(tVideoInf& inf) {
        if (!m_pStreamConfig)
            return FALSE;
        inf = m_VideoInf;
        return TRUE;
    }
    /// Fills `list` with up to `max` capabilities of the device; returns how many, or -1.
    int GetVideoCapInf(tVideoCapInf* list, int max);
    /// The current frame interval, in 100-ns units.
    LONGLONG GetFrameInterval() { return m_llFrameInterval; }

    // Sample grabbing and the current image.
    /// Sets the frame callback and its parameter (null stops the calls). The pair is written
    /// here on the caller's thread and read on the streaming thread for every sample, always
    /// as one unit: a callback never runs with another callback's parameter. A call already
    /// running when this returns finishes with the pair it started with.
    void SetSampleCallBack(SampleCallBack callBack, void* param) {
        StoreSampleCallBack(callBack, param);
    }
    /// A camera that delivers MJPEG also shows each compressed sample, as the camera sent it,
    /// to this callback on the streaming thread, just before the frame decoded from it reaches
    /// the frame callback (a sample that fails to decode is followed by no frame). Set and read
    /// as one pair, like the frame callback. Cameras delivering other formats never call it.
    /// The graph gets the grabber that sees these samples when it is built (Open, CaptureInit)
    /// with a callback set, so set it before; clearing it later only stops the calls.
    void SetCompressedSampleCallBack(CompressedSampleCallBack callBack, void* param);
    /// Copies the current frame's pixels into `buffer` when `size` bytes hold them, and shows
    /// the frame to the frame callback (on the caller's thread).
    int GetCurrentImage(BYTE* buffer, LONG size);
    /// The current frame: its header, followed by its pixels; null without a capture graph.
    const BITMAPINFO* GetBitmapInfoPtr() { return m_pBitmapInfo; }

    // Bitmap frame helpers.
    /// Where a bitmap's pixels start (after its header and colour table).
    static BYTE* GetBmpImageData(const BITMAPINFO* info);
    /// The offset of a bitmap's pixels from its start.
    static int GetBmpImageDataPos(const BITMAPINFO* info);
    /// A copy of a bitmap (header, colour table and pixels); free it with ReleaseBitmap.
    static BITMAPINFO* DupBitmap(const BITMAPINFO* info);
    /// A copy of a bitmap's header and colour table; free it with ReleaseBitmapInfo.
    static BITMAPINFO* DupBitmapInfo(const BITMAPINFO* info);
    /// Frees what DupBitmap returned.
    static void ReleaseBitmap(BITMAPINFO* info);
    /// Frees what DupBitmapInfo returned.
    static void ReleaseBitmapInfo(BITMAPINFO* info);

    // Capture start and stop, recording.
    /// Starts capturing; with a `fileName`, also records to that file, through the named
    /// encoder when `compressorName` names one (GetCompressFilterList).
    int CaptureStart(const char* fileName, const char* compressorName);
    /// Stops capturing, keeping the graph. A stop that cannot happen now (asked inside the
    /// frame callback) returns at once and changes nothing.
    void CaptureStop();
    /// Stops capturing and takes the capture graph down; no callback runs after it returns.
    void CaptureEnd();
    /// Writes up to `max` names of the encoders a recording may use into `names` (each at
    /// least 256 bytes); returns how many.
    static int GetCompressFilterList(char** names, int max);

    // File playback.
    /// Starts or resumes playing the open file; frames reach the frame callback.
    int PlayStart();
    /// Stops playing and goes back to the first frame.
    void PlayStop();
    /// Pauses playing at the current frame.
    void PlayPause();
    /// Moves playback to frame `frame`; returns that frame, or -1.
    LONGLONG SetPlayPos(LONGLONG frame);

    // Device dialogs.
    /// Shows the device's own controls in a window over `parent`, titled `caption`.
    int ShowPropertyDialog(HWND parent, const char* caption);
    /// 1 when the device has controls ShowPropertyDialog can show, else 0.
    int CheckShowPropertyDialog();
    /// Lets the user pick a stream format in a window over `parent`, leaving the graph to be
    /// rebuilt with CaptureInit. Returns 0 with the format in force afterwards (confirmed or
    /// cancelled alike) in `inf`, 1 when the device has no format page or none could be
    /// read, -1 on failure.
    int GetStreamFormat(tVideoInf& inf, HWND parent, const char* caption);
    /// Lets the user pick a stream format and applies it.
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

// CTavrel: the network frame transport the program calls (server or client of one HTTP stream).
#pragma once

#include <platform/wintypes.h>

#include <memory>

/// Marks what libtavrel exports: the CTavrel class and nothing else.
#define TAVREL_API __attribute__((visibility("default")))

namespace tavrel {
class Transport;
}

/// One transport object serves frames (mode 2) or receives them (mode 1); 0 means closed.
/// Every operation returns 0 on success and a negative value on failure.
///
/// Threads: every member runs on the caller's (window) thread except AddFrame, AddFrameOf and
/// SetNextFrameJpeg, which come on the camera's streaming thread and may overlap OpenServer and
/// Close; the state queries are safe from any thread. The callback given to Run is called on the
/// transport's delivery thread.
class TAVREL_API CTavrel {
public:
    /// A closed transport.
    CTavrel();
    /// Closes the transport: the port, the threads and the connections end.
    virtual ~CTavrel();
    CTavrel(const CTavrel&) = delete;
    CTavrel& operator=(const CTavrel&) = delete;

    /// Prepares the process for the transport; always 0 (kept for callers that pair it with
    /// UnInitialize).
    int Initialize();
    /// The counterpart of Initialize; always 0.
    int UnInitialize();

    /// Serves `width` x `height` 24-bit frames at up to `fps` (30 when 0 or less) on `port`,
    /// over HTTP: a page, an MJPEG stream, snapshots and a raw stream for this transport's
    /// clients. -1 when already open, for a bad size or port, or when the port cannot be opened.
    int OpenServer(int port, int width, int height, int fps);
    /// Connects to a server (or an MJPEG camera's URL given as `host`) and reads its frame
    /// format; returns within a few seconds either way. -1 when already open or unreachable.
    int OpenClient(const char* host, int port);
    /// Client mode: the format of the frames Run delivers (24-bit rows, bottom-up). Server
    /// mode: the format of the frames the server takes. -1 when closed.
    int GetBitmapInfoHdr(BITMAPINFOHEADER* header);
    /// Client mode: starts delivering frames to `callback` on the delivery thread, with
    /// `context`; the frame is valid during the call only. The client reconnects by itself
    /// when the server goes away, until Stop.
    int Run(void (*callback)(unsigned char* frame, void* context), void* context);
    /// Server mode, camera thread: one frame of the served format (`count` is always 1).
    /// -1 when not serving, -2 when the frame could not be queued. The caller vouches for the
    /// frame's size: prefer AddFrameOf, which checks it.
    int AddFrame(unsigned char* bits, int count);
    /// Server mode, camera thread: one frame that `header` describes (its biSizeImage, when
    /// not 0, is how many bytes `bits` holds). A frame that is not of the served format (its
    /// width, height, depth, BI_RGB, or fewer bytes than one served frame) is refused with -3
    /// and not a byte of it is read. Otherwise as AddFrame.
    int AddFrameOf(const BITMAPINFOHEADER* header, const unsigned char* bits);
    /// Client mode: ends delivery; no callback runs once it returns.
    int Stop();
    /// Stops serving or receiving and closes the transport; the port can be opened again at
    /// once.
    int Close();

    /// 1 while serving or connected, else 0 (any thread).
    int IsOpen();
    /// 0 closed, 1 client, 2 server (any thread).
    int GetMode();
    /// 1 from a successful Run until Stop, also while a client whose server went away
    /// reconnects by itself (it is still receiving, from the user's point of view).
    int IsRunning();

    /// Server options beyond the design, read by the next OpenServer (window thread, 0 or -1).
    /// An access key (1-128 bytes, no control characters) makes every request carry it, as
    /// "?key=" or as the password of HTTP Basic credentials; null or "" serves without a key.
    /// A key that is not valid returns -1 and makes OpenServer fail until a valid key or none
    /// is set, so a mistyped key never serves an open stream.
    int SetAccessKey(const char* key);
    /// Listens on one numeric address ("127.0.0.1", "::1") instead of every interface; null or
    /// "" means every interface. Returns -1 (and OpenServer fails) for anything else.
    int SetListenAddress(const char* address);
    /// Camera thread, just before the AddFrame of the same frame (server mode): the camera's
    /// own JPEG of that frame. JPEG viewers and snapshots then receive these bytes instead of
    /// an encode of the decoded frame; raw viewers still get the frame given to AddFrame. The
    /// bytes are copied. A JPEG without Huffman tables gets the standard ones. Returns -2 (and
    /// that frame is encoded as usual) when the JPEG is not a baseline picture of the served
    /// size, -1 when not serving. A JPEG that no AddFrame follows is dropped by the next call.
    int SetNextFrameJpeg(const unsigned char* jpeg, int size);
    /// Server option read by the next OpenServer (window thread): the camera is also sent to
    /// Janus mountpoint `mountpointId`, so the page at "/" plays it over WebRTC (the access
    /// key as the mountpoint's pin) and shows the MJPEG stream while WebRTC does not connect.
    /// The server then also serves the page's scripts (/janus.js and /adapter.js from the
    /// system's packages, /viewer.js). `janusUrl` is Janus's HTTP or WebSocket address
    /// (http(s):// or ws(s)://, or a path on this server behind a proxy); null or "" lets the
    /// browser use port 8088 of the page's own host. `mountpointId` 0 turns it off. Returns 0,
    /// or -1 (and WebRTC is off) for a negative id or an address that is none of those.
    int SetWebRtcViewer(const char* janusUrl, int mountpointId);

    /// Makes an OpenClient in progress on another thread fail promptly (-1). Any thread.
    /// OpenClient may run on a thread the window waits for while it keeps painting; meanwhile
    /// only the state queries and this member may be called. An OpenClient that has not
    /// reached its connection yet does not see the cancel, so a caller repeats it until its
    /// OpenClient has returned.
    void CancelOpenClient();
    /// Follows a server that comes back (after a reconnection) with frames of another size.
    /// Window thread; kept across OpenClient and Close. With a callback, it runs once on the
    /// delivery thread when such a frame arrives, and delivery pauses: after Stop,
    /// GetBitmapInfoHdr reports the new format, and Run delivers its frames, that frame first.
    /// Without one (null, the default), frames of another size are dropped. Returns 0.
    int SetFormatChangeCallBack(void (*callback)(void* context), void* context);

private:
    std::unique_ptr<tavrel::Transport> m_transport;
};

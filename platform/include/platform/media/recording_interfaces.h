// Interfaces of a recording branch: frames it had to drop and what the file it writes holds.
#pragma once

#include "filter_interfaces.h"

// Frames a filter dropped and passed on since the graph last ran. The recording queue
// answers it (frames it could not take because the branch behind it was busy), and so does
// the AVI multiplexer (pictures in the file, and empty entries that stand for dropped ones).
struct IAMDroppedFrames : IUnknown {
    virtual HRESULT GetNumDropped(long* dropped) = 0;
    virtual HRESULT GetNumNotDropped(long* notDropped) = 0;
    // The frame numbers of the first dropped frames, at most `size` of them.
    virtual HRESULT GetDroppedInfo(long size, long* frames, long* copied) = 0;
    virtual HRESULT GetAverageFrameSize(long* averageSize) = 0;
};
DEFINE_INTERFACE_IID(IAMDroppedFrames, 0xc6e13344, 0x30ac, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0, 0xc9,
                     0x11, 0x89, 0x56);

// What a recording's file holds, answered by the AVI multiplexer while running and after stop.
struct IRecordingStatus : IUnknown {
    // The first write to the file that failed (a full disk or a file-size limit:
    // STG_E_MEDIUMFULL), S_OK when every write succeeded.
    virtual HRESULT GetWriteError(HRESULT* error) = 0;
    // The file's timeline: its index entries (pictures and empty entries) and their span in
    // 100-ns units, which follows the capture times of the frames.
    virtual HRESULT GetTimeline(LONGLONG* entries, REFERENCE_TIME* duration) = 0;
};
DEFINE_INTERFACE_IID(IRecordingStatus, 0x6f0b2c51, 0x8e3d, 0x4c2a, 0x9d, 0x71, 0x2b, 0x44, 0x0e,
                     0x5a, 0x93, 0xc8);

// The queue at the head of a recording branch: the capture graph builder puts it behind the
// capture stream, so encoding and writing run on its thread, never on the camera's.
DEFINE_GUID_CONSTANT(CLSID_RecordingQueue, 0x6f0b2c52, 0x8e3d, 0x4c2a, 0x9d, 0x71, 0x2b, 0x44, 0x0e,
                     0x5a, 0x93, 0xc8);

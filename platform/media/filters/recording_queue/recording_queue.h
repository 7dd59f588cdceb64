// IRecordingQueue: how the multiplexer at the end of a recording branch asks the queue at its
// head to hand over what it still holds before the file is finished.
#pragma once

#include <platform/media/filter_interfaces.h>

struct IRecordingQueue : IUnknown {
    // Control thread, before the branch behind the queue stops: takes no more frames, delivers
    // the queued ones (waiting at most `timeoutMs`; what is still queued then is dropped and
    // counted) and gives the end time of the last frame that reached the queue, taken or
    // dropped. S_FALSE (and no time) when no frame arrived.
    virtual HRESULT Finish(DWORD timeoutMs, REFERENCE_TIME* end) = 0;
};
DEFINE_INTERFACE_IID(IRecordingQueue, 0x6f0b2c53, 0x8e3d, 0x4c2a, 0x9d, 0x71, 0x2b, 0x44, 0x0e,
                     0x5a, 0x93, 0xc8);

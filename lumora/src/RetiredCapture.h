// RetiredCapture: a running capture graph let go by its object, stopped and released later on
// a thread of its own.
#pragma once

#include <platform/media/forward.h>
#include <platform/wintypes.h>

class CSampleCB;

// One reference to each interface and ownership of the callback object and the frame block.
struct RetiredCapture {
    IMediaControl* control = nullptr;
    IGraphBuilder* graph = nullptr;
    ICaptureGraphBuilder2* builder = nullptr;
    IBaseFilter* source = nullptr;
    IBaseFilter* grabberFilter = nullptr;
    ISampleGrabber* grabber = nullptr;
    IAMStreamConfig* streamConfig = nullptr;
    IBaseFilter* mux = nullptr;
    IFileSinkFilter* fileSink = nullptr;
    CSampleCB* callback = nullptr; // already detached from its owner
    BITMAPINFO* frame = nullptr;   // the pixels a running callback may still be reading
    IBaseFilter* tapFilter = nullptr;
    ISampleGrabber* tap = nullptr;
    CSampleCB* tapCallback = nullptr; // already detached from its owner
};

// For a graph that cannot stop on the calling thread: a Close, Open or destructor reached
// from inside the frame callback, on the graph's own streaming thread, which the stop would
// have to wait for. A new thread stops the graph (so it waits until that callback has
// returned), detaches the grabber's callback, frees the frame and releases the rest. Returns
// at once; the caller may go away.
void retireCapture(const RetiredCapture& capture);

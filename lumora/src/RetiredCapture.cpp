// Stopping and releasing a capture graph that its object let go while the graph was running.
#include "RetiredCapture.h"

#include "ReleaseMember.h"
#include "SampleCB.h"

#include <platform/media/media.h>

#include <cstdlib>
#include <thread>

void retireCapture(const RetiredCapture& capture) {
    // Runs on its own thread, never a streaming one, so the graph accepts the stop; Stop
    // returns once the streaming thread has left delivery, and nothing is freed before that.
    auto stopAndRelease = [held = capture]() mutable {
        if (held.control)
            held.control->Stop();
        if (held.grabber)
            held.grabber->SetCallback(nullptr, 1);
        delete held.callback;
        if (held.tap)
            held.tap->SetCallback(nullptr, 1);
        delete held.tapCallback;
        releaseAndClear(held.tap);
        releaseAndClear(held.tapFilter);
        std::free(held.frame);
        releaseAndClear(held.mux);
        releaseAndClear(held.fileSink);
        releaseAndClear(held.streamConfig);
        releaseAndClear(held.grabber);
        releaseAndClear(held.grabberFilter);
        releaseAndClear(held.source);
        releaseAndClear(held.control);
        releaseAndClear(held.graph);
        releaseAndClear(held.builder);
    };
    try {
        std::thread(std::move(stopAndRelease)).detach();
    } catch (...) {
        // No thread to be had: the graph is left running with its callback cut off, which
        // drops every sample; leaking it is the only safe way out of a callback.
    }
}

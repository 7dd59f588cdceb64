// stream_view: receives a Tavrel stream (a capture server, or any MJPEG camera) and prints the
// size of each frame it receives.
//   stream_view <host> <port> [frames]     (default: 10 frames)
#include <tavrel/Tavrel.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

struct Viewer {
    BITMAPINFOHEADER header{};
    int wanted = 10;
    int received = 0;
    std::mutex lock;
    std::condition_variable enough;
};

// Called on the transport's delivery thread with each frame, a DIB of the announced header.
void onFrame(unsigned char* frame, void* context) {
    auto* viewer = static_cast<Viewer*>(context);
    std::lock_guard guard(viewer->lock);
    if (viewer->received >= viewer->wanted)
        return;
    ++viewer->received;
    // The first pixel's blue, green and red bytes, to show the frame's content arrives.
    std::printf("frame %d: %dx%d, %d bits, first pixel %02x%02x%02x\n", viewer->received,
                int(viewer->header.biWidth), int(viewer->header.biHeight),
                int(viewer->header.biBitCount), frame[2], frame[1], frame[0]);
    std::fflush(stdout);
    if (viewer->received == viewer->wanted)
        viewer->enough.notify_all();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: stream_view <host> <port> [frames]\n");
        return 2;
    }
    Viewer viewer;
    if (argc > 3)
        viewer.wanted = std::atoi(argv[3]) > 0 ? std::atoi(argv[3]) : 1;

    CTavrel stream;
    stream.Initialize();
    if (stream.OpenClient(argv[1], std::atoi(argv[2])) != 0) {
        std::fprintf(stderr, "stream_view: cannot connect to %s:%s\n", argv[1], argv[2]);
        return 1;
    }
    stream.GetBitmapInfoHdr(&viewer.header);
    if (stream.Run(onFrame, &viewer) != 0) {
        std::fprintf(stderr, "stream_view: the stream did not start\n");
        return 1;
    }
    bool complete;
    {
        std::unique_lock wait(viewer.lock);
        complete = viewer.enough.wait_for(wait, std::chrono::seconds(20),
                                          [&] { return viewer.received >= viewer.wanted; });
    }
    // Stop returns once the delivery thread has ended: no callback runs after it.
    stream.Stop();
    stream.Close();
    stream.UnInitialize();
    if (!complete) {
        std::fprintf(stderr, "stream_view: %d of %d frames within 20 s\n", viewer.received,
                     viewer.wanted);
        return 1;
    }
    return 0;
}

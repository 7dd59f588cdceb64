// grab_frame: captures one frame from a camera with CVideo and writes it to a BMP file.
//   grab_frame [device path] [file.bmp]     (defaults: the first camera listed, frame.bmp)
#include <lumora/Video.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// The first frame delivered, copied out of the library's buffer.
struct Shot {
    std::mutex lock;
    std::condition_variable taken;
    std::vector<BYTE> pixels;
    bool done = false;
};

// Called on the library's streaming thread once per frame; `frame` is valid during the call.
void onFrame(BYTE* frame, void* param) {
    auto* shot = static_cast<Shot*>(param);
    std::lock_guard guard(shot->lock);
    if (shot->done)
        return;
    std::memcpy(shot->pixels.data(), frame, shot->pixels.size());
    shot->done = true;
    shot->taken.notify_all();
}

bool writeBmp(const char* path, const BITMAPINFOHEADER& header, const std::vector<BYTE>& pixels) {
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42; // "BM"
    file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
    std::FILE* out = std::fopen(path, "wb");
    if (!out)
        return false;
    const bool written = std::fwrite(&file, sizeof file, 1, out) == 1 &&
                         std::fwrite(&header, sizeof header, 1, out) == 1 &&
                         std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
    return std::fclose(out) == 0 && written;
}

} // namespace

int main(int argc, char** argv) {
    const char* out = argc > 2 ? argv[2] : "frame.bmp";
    tVideoDev devices[16];
    const int count = CVideo::GetCaptureDeviceList(devices, 16);
    if (argc < 2 && count <= 0) {
        std::fprintf(stderr, "grab_frame: no camera found\n");
        return 1;
    }
    const char* device = argc > 1 ? argv[1] : devices[0].szDevicePath;

    CVideo video;
    if (video.Open(OPEN_DEVICE, device, -1) != 0) {
        std::fprintf(stderr, "grab_frame: cannot open %s\n", device);
        return 1;
    }
    // Open builds the capture for the camera's current format; its frames are bottom-up DIBs.
    const BITMAPINFO* format = video.GetBitmapInfoPtr();
    if (!format) {
        std::fprintf(stderr, "grab_frame: %s has no usable format\n", device);
        return 1;
    }
    const BITMAPINFOHEADER header = format->bmiHeader;
    const size_t stride = size_t(header.biWidth * header.biBitCount + 31) / 32 * 4;
    Shot shot;
    shot.pixels.resize(stride * size_t(header.biHeight < 0 ? -header.biHeight : header.biHeight));

    video.SetSampleCallBack(onFrame, &shot);
    if (video.CaptureStart(nullptr, nullptr) != 0) {
        std::fprintf(stderr, "grab_frame: capture did not start\n");
        return 1;
    }
    bool done;
    {
        std::unique_lock wait(shot.lock);
        done = shot.taken.wait_for(wait, std::chrono::seconds(10), [&] { return shot.done; });
    }
    video.CaptureStop();
    video.SetSampleCallBack(nullptr, nullptr);
    if (!done) {
        std::fprintf(stderr, "grab_frame: no frame within 10 s\n");
        return 1;
    }
    std::lock_guard guard(shot.lock);
    if (!writeBmp(out, header, shot.pixels)) {
        std::fprintf(stderr, "grab_frame: cannot write %s\n", out);
        return 1;
    }
    std::printf("%s: %dx%d, %d bits -> %s\n", device, int(header.biWidth), int(header.biHeight),
                int(header.biBitCount), out);
    return 0;
}

// Opens arbitrary bytes as a media file through CVideo: the file source, the splitter and the
// decoders must refuse or play them without reading out of bounds or hanging.
#include <lumora/Video.h>

#include <cstdio>
#include <cstdint>
#include <string>
#include <unistd.h>

namespace {

void onFrame(BYTE*, void*) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/ormidal-fuzz-" + std::to_string(getpid()) + ".avi";
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    CVideo video;
    video.SetSampleCallBack(onFrame, nullptr);
    if (video.Open(OPEN_FILE, path.c_str(), 0) == 0) {
        const LONGLONG frames = video.GetFrameCount();
        video.SetPlayPos(frames > 2 ? frames / 2 : 0);
        video.GetCurrentImage(nullptr, 0);
        video.Close();
    }
    std::remove(path.c_str());
    return 0;
}

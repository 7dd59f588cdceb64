// lumora-info: checks the capture library from the command line.
#include <lumora/Video.h>

#include <cstdio>
#include <cstring>

namespace {

int usage(FILE* out) {
    std::fprintf(out, "usage: lumora-info --selfcheck\n"
                      "  --selfcheck   check the library's frame layout on this machine\n");
    return out == stdout ? 0 : 2;
}

// Builds frames of common formats and checks the sizes and offsets the program relies on.
int selfCheck() {
    struct Case {
        int width, height, bits;
        DWORD compression;
        int offset;
        long blockSize;
    } cases[] = {
        {640, 480, 24, BI_RGB, 40, 921640},     {1280, 720, 24, BI_RGB, 40, 2764840},
        {1920, 1080, 32, BI_RGB, 40, 8294440},  {641, 480, 24, BI_RGB, 40, 40 + 1924 * 480},
        {320, 240, 8, BI_RGB, 1064, 1064 + 76800}, {320, 240, 16, BI_BITFIELDS, 52, 52 + 153600},
    };
    int failures = 0;
    for (const Case& c : cases) {
        BITMAPINFO format{};
        format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        format.bmiHeader.biWidth = c.width;
        format.bmiHeader.biHeight = c.height;
        format.bmiHeader.biPlanes = 1;
        format.bmiHeader.biBitCount = WORD(c.bits);
        format.bmiHeader.biCompression = c.compression;
        BITMAPINFO* frame = CVideo::DupBitmap(&format);
        const int offset = CVideo::GetBmpImageDataPos(&format);
        const bool ok = frame && offset == c.offset;
        std::printf("%-4s %4dx%-4d %2d bits: pixels at %4d\n", ok ? "ok" : "FAIL", c.width,
                    c.height, c.bits, offset);
        if (frame)
            std::memset(CVideo::GetBmpImageData(frame), 0, size_t(c.blockSize - offset));
        CVideo::ReleaseBitmap(frame);
        failures += ok ? 0 : 1;
    }
    CVideo video;
    std::printf("library: open=%d frame interval=%lld\n", video.IsOpen(),
                static_cast<long long>(video.GetFrameInterval()));
    std::printf("selfcheck=%s cases=%zu failures=%d\n", failures ? "failed" : "passed",
                sizeof(cases) / sizeof(cases[0]), failures);
    return failures ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--selfcheck") == 0)
        return selfCheck();
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return usage(stdout);
    return usage(stderr);
}

// ffmpeg's own decode of a file as the reference pictures are judged against, and the PSNR
// of one of our frames against it (tests and benches).
#pragma once

#include <platform/wintypes.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace testsupport {

// ffmpeg's pictures of a file's first video stream (turned as the file asks), top-down BGR
// rows, width * height * 3 bytes each.
inline std::vector<std::vector<BYTE>> ffmpegPictures(const std::string& path, int width,
                                                     int height) {
    std::vector<std::vector<BYTE>> pictures;
    FILE* pipe =
        popen(("ffmpeg -nostdin -v error -i '" + path + "' -map 0:v:0 -f rawvideo -pix_fmt bgr24 -")
                  .c_str(),
              "r");
    if (!pipe)
        return pictures;
    std::vector<BYTE> picture(size_t(width) * size_t(height) * 3);
    while (std::fread(picture.data(), 1, picture.size(), pipe) == picture.size())
        pictures.push_back(picture);
    pclose(pipe);
    return pictures;
}

// PSNR of a bottom-up 24-bit DIB against a top-down BGR picture of the same size; 99 when equal.
inline double psnrOfDib(const BYTE* dib, const std::vector<BYTE>& reference, int width,
                        int height) {
    const size_t stride = ((size_t(width) * 24 + 31) / 32) * 4, row = size_t(width) * 3;
    double sum = 0;
    for (int y = 0; y < height; ++y) {
        const BYTE* a = dib + size_t(height - 1 - y) * stride;
        const BYTE* b = reference.data() + size_t(y) * row;
        for (size_t i = 0; i < row; ++i) {
            const double d = double(a[i]) - double(b[i]);
            sum += d * d;
        }
    }
    const double mse = sum / double(row * size_t(height));
    return mse <= 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

} // namespace testsupport

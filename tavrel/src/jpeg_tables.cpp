// completeJpeg: a bounded walk over the headers up to the first scan; the tables are the
// standard ones every baseline decoder knows and camera makers assume.
#include "jpeg_tables.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace tavrel {

namespace {

// The standard Huffman tables (luminance and chrominance, DC and AC): code counts per length,
// then the symbols. Each AC list starts with the symbols in the standard's own order and goes
// on with every remaining (run, size) symbol in ascending order.
constexpr std::array<uint8_t, 16> kDcLumaBits{0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr std::array<uint8_t, 16> kDcChromaBits{0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr std::array<uint8_t, 16> kAcLumaBits{0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr std::array<uint8_t, 16> kAcChromaBits{0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr uint8_t kAcLumaFirst[] = {0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31,
                                    0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71, 0x14, 0x32,
                                    0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
                                    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a};
constexpr uint8_t kAcChromaFirst[] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1};

void appendTable(std::vector<uint8_t>& dht, uint8_t classAndId, const std::array<uint8_t, 16>& bits,
                 const uint8_t* first, size_t firstCount, bool ac) {
    dht.push_back(classAndId);
    dht.insert(dht.end(), bits.begin(), bits.end());
    if (!ac) {
        for (uint8_t v = 0; v < 12; ++v)
            dht.push_back(v);
        return;
    }
    dht.insert(dht.end(), first, first + firstCount);
    // End of block (0x00), the zero run (0xf0), and every run 0-15 with a size 1-10.
    for (int symbol = 0; symbol < 256; ++symbol) {
        const int size = symbol & 15;
        const bool valid = symbol == 0 || symbol == 0xf0 || (size >= 1 && size <= 10);
        if (valid && std::find(first, first + firstCount, symbol) == first + firstCount)
            dht.push_back(static_cast<uint8_t>(symbol));
    }
}

// One DHT segment holding all four tables, built once.
const std::vector<uint8_t>& standardTables() {
    static const std::vector<uint8_t> dht = [] {
        std::vector<uint8_t> d{0xff, 0xc4, 0, 0};
        appendTable(d, 0x00, kDcLumaBits, nullptr, 0, false);
        appendTable(d, 0x10, kAcLumaBits, kAcLumaFirst, sizeof kAcLumaFirst, true);
        appendTable(d, 0x01, kDcChromaBits, nullptr, 0, false);
        appendTable(d, 0x11, kAcChromaBits, kAcChromaFirst, sizeof kAcChromaFirst, true);
        const size_t length = d.size() - 2;
        d[2] = static_cast<uint8_t>(length >> 8);
        d[3] = static_cast<uint8_t>(length & 0xff);
        return d;
    }();
    return dht;
}

} // namespace

size_t completeJpeg(const uint8_t* jpeg, size_t size, const DibFormat& format, uint8_t* out,
                    size_t capacity) {
    if (!jpeg || size < 4 || jpeg[0] != 0xff || jpeg[1] != 0xd8)
        return 0;
    bool haveTables = false;
    bool baselineOfSize = false;
    size_t pos = 2;
    // Headers: marker, then a two-byte length that counts itself. Every length is checked
    // against what is left before anything is read from the segment.
    for (;;) {
        if (pos + 4 > size || jpeg[pos] != 0xff)
            return 0;
        const uint8_t marker = jpeg[pos + 1];
        if (marker == 0xff) { // fill byte before a marker
            ++pos;
            continue;
        }
        const size_t length = (size_t{jpeg[pos + 2]} << 8) | jpeg[pos + 3];
        if (length < 2 || pos + 2 + length > size)
            return 0;
        const uint8_t* body = jpeg + pos + 4;
        if (marker == 0xc4) {
            haveTables = true;
        } else if (marker == 0xc0 || marker == 0xc1) { // baseline or extended, Huffman-coded
            if (length < 8)
                return 0;
            const int height = (body[1] << 8) | body[2];
            const int width = (body[3] << 8) | body[4];
            baselineOfSize = body[0] == 8 && width == format.width && height == format.height;
        } else if ((marker >= 0xc2 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 &&
                    marker != 0xcc) ||
                   marker == 0xd8 || marker == 0xd9 || (marker >= 0xd0 && marker <= 0xd7)) {
            return 0; // progressive, lossless, arithmetic-coded, or no headers at all
        } else if (marker == 0xda) {
            break;
        }
        pos += 2 + length;
    }
    if (!baselineOfSize)
        return 0;
    const std::vector<uint8_t>& dht = standardTables();
    const size_t extra = haveTables ? 0 : dht.size();
    if (size + extra > capacity)
        return 0;
    // `pos` is the scan's marker: the tables go just before it.
    std::memcpy(out, jpeg, pos);
    if (extra)
        std::memcpy(out + pos, dht.data(), extra);
    std::memcpy(out + pos + extra, jpeg + pos, size - pos);
    return size + extra;
}

} // namespace tavrel

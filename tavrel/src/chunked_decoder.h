// ChunkedDecoder: removes HTTP/1.1 chunked framing from a body, in place and across split reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrel {

class ChunkedDecoder {
public:
    enum class Status { Ok, Done, Malformed };

    // Decodes `size` bytes at `buf` in place: the payload they carry is moved to the front of
    // `buf` and its length stored in `payload`. After Done the rest of the input is ignored.
    Status decode(uint8_t* buf, size_t size, size_t& payload);

private:
    enum class State { Size, Extension, SizeLf, Data, DataCr, DataLf, Done, Failed };
    static constexpr uint64_t kMaxChunk = uint64_t{1} << 31;
    static constexpr size_t kMaxExtension = 256;

    State m_state = State::Size;
    uint64_t m_remaining = 0;
    int m_digits = 0;
    size_t m_extension = 0;
};

} // namespace tavrel

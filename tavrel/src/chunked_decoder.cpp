// ChunkedDecoder: a byte-at-a-time state machine for size lines, bulk moves for chunk data.
#include "chunked_decoder.h"

#include "text_util.h"

#include <algorithm>
#include <cstring>

namespace tavrel {

ChunkedDecoder::Status ChunkedDecoder::decode(uint8_t* buf, size_t size, size_t& payload) {
    payload = 0;
    size_t i = 0;
    auto endOfSizeLine = [this] {
        m_state = m_remaining == 0 ? State::Done : State::Data;
        m_digits = 0;
        m_extension = 0;
    };
    while (i < size && m_state != State::Done && m_state != State::Failed) {
        const uint8_t c = buf[i];
        switch (m_state) {
        case State::Size:
            if (int v = hexDigit(static_cast<char>(c)); v >= 0) {
                m_remaining = m_remaining * 16 + static_cast<uint64_t>(v);
                if (++m_digits > 16 || m_remaining > kMaxChunk)
                    m_state = State::Failed;
            } else if (m_digits == 0) {
                m_state = State::Failed;
            } else if (c == ';' || c == ' ' || c == '\t') {
                m_state = State::Extension;
            } else if (c == '\r') {
                m_state = State::SizeLf;
            } else if (c == '\n') {
                endOfSizeLine();
            } else {
                m_state = State::Failed;
            }
            ++i;
            break;
        case State::Extension:
            if (c == '\r')
                m_state = State::SizeLf;
            else if (c == '\n')
                endOfSizeLine();
            else if (++m_extension > kMaxExtension)
                m_state = State::Failed;
            ++i;
            break;
        case State::SizeLf:
            if (c != '\n')
                m_state = State::Failed;
            else
                endOfSizeLine();
            ++i;
            break;
        case State::Data: {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(m_remaining, size - i));
            std::memmove(buf + payload, buf + i, n);
            payload += n;
            i += n;
            m_remaining -= n;
            if (m_remaining == 0)
                m_state = State::DataCr;
            break;
        }
        case State::DataCr:
            m_state = c == '\r' ? State::DataLf : (c == '\n' ? State::Size : State::Failed);
            ++i;
            break;
        case State::DataLf:
            m_state = c == '\n' ? State::Size : State::Failed;
            ++i;
            break;
        case State::Done:
        case State::Failed:
            break;
        }
    }
    if (m_state == State::Failed)
        return Status::Malformed;
    return m_state == State::Done ? Status::Done : Status::Ok;
}

} // namespace tavrel

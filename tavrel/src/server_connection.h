// Connection: one client of the server, its request and the bytes still owed to it.
#pragma once

#include "frame_pool.h"
#include "http_request_parser.h"
#include "net_socket.h"
#include "unique_fd.h"

#include <array>
#include <string>
#include <string_view>

namespace tavrel {

// Owned and touched by the server's I/O thread only.
struct Connection {
    enum class Kind { Request, Text, Snapshot, RawStream, JpegStream };

    UniqueFd fd;
    HttpRequestParser request;
    Kind kind = Kind::Request;
    bool dead = false;
    bool writable = true;
    bool streamStarted = false; // the response head goes out with the first part
    bool closeWhenSent = false;
    bool readMore = false;  // its read budget ran out before the socket was drained
    bool localPeer = false; // may be sent raw frames
    AddressKey peer{};
    size_t bytesAfterRequest = 0;

    // Owed output, sent in this order: head, text, frame bytes, tail.
    std::array<char, 1024> head{};
    size_t headLen = 0;
    size_t headOff = 0;
    std::string text; // built once per request (page, error answers), never per frame
    size_t textOff = 0;
    // Referenced while its bytes are being sent: a raw frame, or a JPEG (never both).
    FrameSlot* slot = nullptr;
    EncodedFrame* jpeg = nullptr;
    const uint8_t* body = nullptr;
    size_t bodyLen = 0;
    size_t bodyOff = 0;
    std::string_view tail;
    size_t tailOff = 0;

    uint64_t lastSeq = 0;     // the frame last started
    uint64_t snapshotSeq = 0; // a snapshot waits for a JPEG of at least this frame
    Clock::time_point accepted;
    Clock::time_point lastProgress;
    Clock::time_point lastPart;
    // Bytes the kernel still held for the peer when progress was last looked for there: a
    // viewer that drains a large socket buffer slowly progresses without the server sending.
    int lastQueued = -1;

    bool pending() const {
        return headOff < headLen || textOff < text.size() || bodyOff < bodyLen ||
               tailOff < tail.size();
    }
};

} // namespace tavrel

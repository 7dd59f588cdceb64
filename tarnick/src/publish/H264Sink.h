// H264Sink: one output of the encoded camera stream (RTMP publication, RTP to a WebRTC
// gateway, ...). The encoder calls every sink on its own thread; a sink that is slow or whose
// receiver is gone must never hold up the encoder or the other sinks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One encoded picture as every H.264 output receives it.
struct H264AccessUnit {
    const std::uint8_t* data = nullptr; // Annex B byte stream (start codes), one whole picture
    std::size_t size = 0;
    std::int64_t captureUs = 0; // monotonic capture time of the picture
    bool keyframe = false;
};

struct H264StreamInfo {
    int width = 0, height = 0, framesPerSecond = 30;
    std::vector<std::uint8_t> parameterSets; // SPS and PPS, Annex B (the encoder's global header)
};

class H264Sink {
public:
    virtual ~H264Sink() = default;
    // Encoder thread. A stream starts (again) with these parameters; its first picture is a
    // keyframe.
    virtual void begin(const H264StreamInfo& info) = 0;
    // Encoder thread. Must never block or wait on the network: send now, or queue (bounded), or
    // drop.
    virtual void deliver(const H264AccessUnit& unit) = 0;
    // Encoder thread. The stream ends (the capture stopped or its format changed).
    virtual void end() = 0;
    // Any thread: true (once per request) when a receiver asked for a keyframe.
    virtual bool takeKeyframeRequest() = 0;
    // Any thread: whether the sink wants pictures now. The encoder runs (and holds memory)
    // only while at least one of its sinks does; an RTMP output that is not connected does not.
    virtual bool wantsPictures() const { return true; }
};

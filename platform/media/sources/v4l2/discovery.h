// Discovery of V4L2 capture nodes: which /dev/video* can capture, and their stable paths.
#pragma once

#include "media/sources/v4l2/v4l2_io.h"

#include <string>
#include <vector>

namespace platform::media::v4l2 {

struct CaptureNode {
    std::string node;       // /dev/videoN
    std::string devicePath; // the /dev/v4l/by-id link to the node when there is one, else node
    std::string card;       // the driver's name for the device (FriendlyName)
    std::string driver;
    std::string busInfo;
    std::string description; // "<driver> video capture at <bus>"
};

// The nodes that offer single-planar video capture (metadata and output nodes are skipped),
// in /dev/videoN order. Looks afresh on every call; a node that cannot be opened or queried
// (busy elsewhere in a way that refuses open, or just unplugged) is left out.
std::vector<CaptureNode> discoverCaptureNodes(V4l2Io& io);

// The /dev/videoN node a device path names: the by-id link resolved, or the path itself.
std::string nodeForPath(V4l2Io& io, const std::string& devicePath);

// A NUL-terminated text from a fixed driver field, bounded by the field and cleaned of
// control characters (a driver's strings are not trusted).
std::string fieldText(const unsigned char* field, size_t size);

} // namespace platform::media::v4l2

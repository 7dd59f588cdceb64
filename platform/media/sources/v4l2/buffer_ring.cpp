// The mmap streaming I/O cycle, with every driver answer checked before it is used.
#include "media/sources/v4l2/buffer_ring.h"

#include <cerrno>
#include <linux/videodev2.h>
#include <poll.h>

namespace platform::media::v4l2 {

int BufferRing::allocate(const DeviceFd& fd, uint32_t count) {
    release();
    fd_ = &fd;
    v4l2_requestbuffers request{};
    request.count = std::min(std::max(count, 2u), kMaxCount);
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (const int result = fd.ioctl(VIDIOC_REQBUFS, &request); result < 0)
        return result;
    requested_ = true;
    if (request.count < 2) {
        release();
        return -ENOMEM;
    }
    const uint32_t granted = std::min(request.count, kMaxCount);
    for (uint32_t index = 0; index < granted; ++index) {
        v4l2_buffer buffer{};
        buffer.index = index;
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        int result = fd.ioctl(VIDIOC_QUERYBUF, &buffer);
        if (result == 0 && (buffer.length == 0 || buffer.length > kMaxBufferBytes))
            result = -EPROTO;
        void* address = nullptr;
        if (result == 0) {
            int error = 0;
            address = fd.io().mmap(fd.get(), buffer.length, off_t(buffer.m.offset), &error);
            if (!address)
                result = -(error ? error : ENOMEM);
        }
        if (result < 0) {
            release();
            return result;
        }
        buffers_.push_back({address, buffer.length});
    }
    return 0;
}

int BufferRing::start() {
    if (!fd_ || buffers_.empty())
        return -EINVAL;
    for (uint32_t index = 0; index < buffers_.size(); ++index) {
        if (const int result = requeue(index); result < 0)
            return result;
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (const int result = fd_->ioctl(VIDIOC_STREAMON, &type); result < 0)
        return result;
    streaming_ = true;
    return 0;
}

int BufferRing::dequeue(int timeoutMs, Frame* out) {
    if (!streaming_)
        return -EINVAL;
    const int events = fd_->io().poll(fd_->get(), POLLIN, timeoutMs);
    if (events < 0)
        return events;
    if (events == 0)
        return -EAGAIN;
    // POLLERR alone also means "nothing queued"; DQBUF tells the two apart.
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (const int result = fd_->ioctl(VIDIOC_DQBUF, &buffer); result < 0)
        return result;
    if (buffer.index >= buffers_.size())
        return -EPROTO;
    const Mapping& mapping = buffers_[buffer.index];
    out->index = buffer.index;
    out->data = static_cast<const BYTE*>(mapping.address);
    out->bytesUsed = std::min<size_t>(buffer.bytesused, mapping.length);
    out->timestamp = REFERENCE_TIME(buffer.timestamp.tv_sec) * UNITS +
                     REFERENCE_TIME(buffer.timestamp.tv_usec) * 10;
    out->sequence = buffer.sequence;
    out->corrupted = buffer.flags & V4L2_BUF_FLAG_ERROR;
    return 0;
}

int BufferRing::requeue(uint32_t index) {
    if (!fd_ || index >= buffers_.size())
        return -EINVAL;
    v4l2_buffer buffer{};
    buffer.index = index;
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    return fd_->ioctl(VIDIOC_QBUF, &buffer);
}

void BufferRing::stop() {
    if (!streaming_)
        return;
    streaming_ = false;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fd_->ioctl(VIDIOC_STREAMOFF, &type); // a vanished device has stopped anyway
}

void BufferRing::release() {
    stop();
    for (const Mapping& mapping : buffers_)
        fd_->io().munmap(mapping.address, mapping.length);
    buffers_.clear();
    if (requested_) {
        requested_ = false;
        v4l2_requestbuffers request{};
        request.count = 0;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        fd_->ioctl(VIDIOC_REQBUFS, &request);
    }
}

} // namespace platform::media::v4l2

// FrameSignal: an eventfd read by a socket notifier on the window thread.
#include "FrameSignal.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

FrameSignal::FrameSignal(std::function<void()> handler, QObject* parent)
    : QObject(parent), m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), m_handler(std::move(handler)) {
    if (m_fd >= 0) {
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { drain(); });
    }
}

FrameSignal::~FrameSignal() {
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

void FrameSignal::notify() {
    if (m_fd < 0)
        return;
    const uint64_t one = 1;
    // A full counter (EAGAIN) already means "wake up": nothing is lost.
    while (::write(m_fd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

// Window thread.
void FrameSignal::drain() {
    uint64_t count = 0;
    while (::read(m_fd, &count, sizeof(count)) < 0 && errno == EINTR) {
    }
    if (m_handler)
        m_handler();
}

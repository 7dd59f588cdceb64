// EndingSignals: a self-pipe written by the signal handler, read by a socket notifier.
#include "EndingSignals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::array<int, 3> kEndingSignals{SIGTERM, SIGINT, SIGHUP};

// Read end [0] and write end [1]; set once by installHandlers, before any handler can run.
int g_pipe[2] = {-1, -1};

// Signal context: only async-signal-safe calls. A full pipe already holds a pending ending.
extern "C" void onEndingSignal(int signo) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

void EndingSignals::installHandlers() {
    if (g_pipe[0] >= 0)
        return;
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        return;
    }
    struct sigaction action {};
    action.sa_handler = onEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : kEndingSignals)
        ::sigaction(signo, &action, nullptr);
}

EndingSignals::EndingSignals(std::function<void()> onEnding, QObject* parent)
    : QObject(parent), m_onEnding(std::move(onEnding)) {
    installHandlers();
    if (g_pipe[0] < 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { drain(); });
}

EndingSignals::~EndingSignals() = default;

// Window thread: empties the pipe, then ends the program once however many signals came.
void EndingSignals::drain() {
    unsigned char buffer[16];
    bool any = false;
    for (;;) {
        const ssize_t got = ::read(g_pipe[0], buffer, sizeof(buffer));
        if (got > 0) {
            any = true;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        break;
    }
    if (any && m_onEnding)
        m_onEnding();
}

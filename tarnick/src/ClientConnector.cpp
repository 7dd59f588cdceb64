// ClientConnector: OpenClient on a thread of its own, its end posted back to the window.
#include "ClientConnector.h"

#include <tavrel/Tavrel.h>

#include <QEventLoop>
#include <QTimer>

#include <chrono>

namespace {
constexpr int kCancelRepeatMs = 10;
}

ClientConnector::ClientConnector(CTavrel& stream, QObject* parent)
    : QObject(parent), m_stream(stream), m_cancelRepeat(new QTimer(this)) {
    m_cancelRepeat->setInterval(kCancelRepeatMs);
    connect(m_cancelRepeat, &QTimer::timeout, this, [this] {
        if (!m_finished.load())
            m_stream.CancelOpenClient();
    });
}

ClientConnector::~ClientConnector() {
    cancel();
}

void ClientConnector::launch(const char* host, int port) {
    cancel();
    m_finished = false;
    m_cancelled = false;
    m_result = -1;
    const unsigned generation = ++m_generation;
    // The open's own thread: it touches the transport only through OpenClient, which the
    // window thread leaves alone until this thread has been joined.
    m_thread = std::thread([this, host = std::string(host ? host : ""), port, generation] {
        int result = -1;
        if (!m_cancelled.load())
            result = m_stream.OpenClient(host.c_str(), port);
        m_result = result;
        m_finished = true;
        QMetaObject::invokeMethod(
            this, [this, generation] { onFinished(generation); }, Qt::QueuedConnection);
    });
}

void ClientConnector::start(const char* host, int port, std::function<void(int)> done) {
    launch(host, port);
    m_done = std::move(done);
}

int ClientConnector::openWhileResponsive(const char* host, int port) {
    launch(host, port);
    m_done = nullptr;
    QEventLoop loop;
    m_loop = &loop;
    if (!m_finished.load())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    m_loop = nullptr;
    return settle();
}

void ClientConnector::requestCancel() {
    if (!busy())
        return;
    m_cancelled = true;
    m_stream.CancelOpenClient();
    m_cancelRepeat->start();
}

void ClientConnector::cancel() {
    if (!busy())
        return;
    m_cancelled = true;
    while (!m_finished.load()) {
        m_stream.CancelOpenClient();
        std::this_thread::sleep_for(std::chrono::milliseconds(kCancelRepeatMs));
    }
    m_done = nullptr;
    settle();
}

void ClientConnector::onFinished(unsigned generation) {
    if (generation != m_generation)
        return; // the end of an open that was cancelled and settled before
    if (m_loop) {
        m_loop->quit();
        return;
    }
    if (!busy())
        return; // already settled by cancel()
    const int result = settle();
    if (auto done = std::move(m_done))
        done(result);
}

int ClientConnector::settle() {
    if (m_thread.joinable())
        m_thread.join();
    m_cancelRepeat->stop();
    if (!m_cancelled.load())
        return m_result;
    if (m_result == 0)
        m_stream.Close(); // opened after all, but nobody wants it any more
    return -1;
}

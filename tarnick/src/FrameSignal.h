// FrameSignal: wakes the window thread from a frame thread without allocating or waiting.
#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

// Backed by an eventfd: notify() adds to a counter (any thread, never blocks, allocates
// nothing), and the window thread's notifier runs the handler once for however many
// notifications arrived since it last ran, so a fast source never floods the event queue.
class FrameSignal : public QObject {
public:
    explicit FrameSignal(std::function<void()> handler, QObject* parent = nullptr);
    ~FrameSignal() override;
    FrameSignal(const FrameSignal&) = delete;
    FrameSignal& operator=(const FrameSignal&) = delete;

    // Any thread.
    void notify();

private:
    void drain();

    int m_fd;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::function<void()> m_handler;
};

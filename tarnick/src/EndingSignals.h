// EndingSignals: turns SIGTERM, SIGINT and SIGHUP into a call on the window thread.
#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

// The desktop ends a program with these signals (logout, shutdown, kill, Ctrl+C in a
// terminal). Their handler only writes the signal's number into a pipe; the window thread
// reads it and runs `onEnding`, so the program ends through its normal teardown: capture
// stopped, port released, settings saved. One instance per process.
class EndingSignals : public QObject {
public:
    explicit EndingSignals(std::function<void()> onEnding, QObject* parent = nullptr);
    ~EndingSignals() override;
    EndingSignals(const EndingSignals&) = delete;
    EndingSignals& operator=(const EndingSignals&) = delete;

    // Installs the handlers as early as possible (before the window exists): a signal that
    // comes before the window's loop runs waits in the pipe. Safe to call more than once.
    static void installHandlers();

private:
    void drain();

    std::unique_ptr<QSocketNotifier> m_notifier;
    std::function<void()> m_onEnding;
};

// ClientConnector: opens the transport's client on a thread of its own, so the window keeps
// painting and answering while a server takes its time to answer.
#pragma once

#include <QObject>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

class CTavrel;
class QEventLoop;
class QTimer;

// Window thread for every member. Only one open runs at a time; while it runs, nothing else
// may use the transport but its state queries.
class ClientConnector : public QObject {
public:
    explicit ClientConnector(CTavrel& stream, QObject* parent = nullptr);
    ~ClientConnector() override; // cancels an open in progress and waits for its thread
    ClientConnector(const ClientConnector&) = delete;
    ClientConnector& operator=(const ClientConnector&) = delete;

    // Begins OpenClient and returns at once; `done` later runs on the window thread with the
    // result, unless the open is cancelled first.
    void start(const char* host, int port, std::function<void(int)> done);
    // Runs OpenClient while a local loop keeps the window painting (user input is held
    // back, so no command can start meanwhile) and returns its result: -1 when cancelled.
    int openWhileResponsive(const char* host, int port);
    // Makes the open in progress end promptly without waiting for it (from inside the
    // responsive loop: a close of the window). Its result becomes -1.
    void requestCancel();
    // Ends the open in progress and waits for its thread; `done` is not called, and a
    // connection that opened anyway is closed.
    void cancel();
    bool busy() const { return m_thread.joinable(); }
    // True while openWhileResponsive's loop runs.
    bool waiting() const { return m_loop != nullptr; }

private:
    void launch(const char* host, int port);
    // Window thread, posted by the open's thread when it has ended.
    void onFinished(unsigned generation);
    // Joins the open's thread and settles its result; a cancelled success is closed.
    int settle();

    CTavrel& m_stream;
    std::thread m_thread;
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_cancelled{false};
    int m_result = -1;         // written by the open's thread before m_finished
    unsigned m_generation = 0; // which open a posted end belongs to
    std::function<void(int)> m_done;
    QEventLoop* m_loop = nullptr;
    // While a cancel is asked for, repeats it until the open has taken it (an open that
    // has not reached its connection yet does not see a cancel).
    QTimer* m_cancelRepeat;
};

#pragma once

#include <QRunnable>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

// The threads a tunnel's relay runs on. Unlike QThreadPool's, these threads carry no event
// dispatcher, so a blocked relay worker costs a stack and no file descriptor; and the pool never
// joins a thread: dropping it only tells its idle threads to end, so it may be dropped on any
// thread, the GUI thread included, without waiting.
//
// Threads are made on demand up to the maximum; past it, tasks wait in a queue for the next
// thread to free up. An idle thread ends after ExpiryMs.
class RelayPool
{
public:
    static constexpr int ExpiryMs = 30000;

    RelayPool(int maxThreads, size_t stackBytes);
    ~RelayPool();
    RelayPool(const RelayPool &) = delete;
    RelayPool &operator=(const RelayPool &) = delete;

    // Runs task on a pool thread (deleting it afterwards when it auto-deletes). False when a
    // new thread was needed and the system had none to give: the task stays the caller's.
    bool start(QRunnable *task);

    void setMaxThreadCount(int count);
    int maxThreadCount() const;
    int threadCount() const; // threads alive, busy or idle

private:
    struct State
    {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<QRunnable *> queue;
        int threads = 0;
        int idle = 0;
        int maxThreads;
        size_t stackBytes;
        bool closing = false;
    };
    struct ThreadStart
    {
        std::shared_ptr<State> state;
        QRunnable *first;
    };

    static void threadMain(void *start);
    static void runTask(QRunnable *task);

    // Shared with the threads, which hold it until they end.
    std::shared_ptr<State> state;
};

#include "relaypool.h"

#include "platform/platform.h"

#include <chrono>

RelayPool::RelayPool(int maxThreads, size_t stackBytes) : state(std::make_shared<State>())
{
    state->maxThreads = maxThreads;
    state->stackBytes = stackBytes;
}

RelayPool::~RelayPool()
{
    std::lock_guard<std::mutex> lock(state->mutex);
    state->closing = true;
    // One at a time: each leaving thread wakes the next. Hundreds of threads woken at once would
    // crowd the GUI thread off the processor for milliseconds, low priority or not.
    state->wake.notify_one();
}

bool RelayPool::start(QRunnable *task)
{
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        // Tasks already waiting go to the idle threads first.
        if (int(state->queue.size()) < state->idle || state->threads >= state->maxThreads) {
            state->queue.push_back(task);
            state->wake.notify_one();
            return true;
        }
        ++state->threads;
    }
    auto *start = new ThreadStart{state, task};
    if (platform::startThread(&RelayPool::threadMain, start, state->stackBytes))
        return true;
    delete start;
    std::lock_guard<std::mutex> lock(state->mutex);
    --state->threads;
    return false;
}

void RelayPool::setMaxThreadCount(int count)
{
    std::lock_guard<std::mutex> lock(state->mutex);
    state->maxThreads = count;
}

int RelayPool::maxThreadCount() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->maxThreads;
}

int RelayPool::threadCount() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->threads;
}

void RelayPool::runTask(QRunnable *task)
{
    const bool autoDelete = task->autoDelete();
    task->run();
    if (autoDelete)
        delete task;
}

void RelayPool::threadMain(void *p)
{
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart *>(p));
    const std::shared_ptr<State> state = std::move(start->state);
    platform::lowerCurrentThreadPriority();
    runTask(start->first);
    start.reset();

    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
        if (!state->queue.empty()) {
            QRunnable *task = state->queue.front();
            state->queue.pop_front();
            lock.unlock();
            runTask(task);
            lock.lock();
            continue;
        }
        if (state->closing)
            break;
        ++state->idle;
        const bool woken = state->wake.wait_for(lock, std::chrono::milliseconds(ExpiryMs), [&] {
            return !state->queue.empty() || state->closing;
        });
        --state->idle;
        if (!woken)
            break;
    }
    --state->threads;
    if (state->closing)
        state->wake.notify_one();
    // The state goes with the last of the pool and its threads, after this unlock.
}

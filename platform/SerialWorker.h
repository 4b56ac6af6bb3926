#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace platform {

// A background thread that runs its jobs one at a time, in the order posted.
// Destruction runs the jobs still queued, then joins, so a job never outlives
// whatever its owner destroys after the worker.
class SerialWorker final
{
public:
    SerialWorker();
    ~SerialWorker();

    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    void post(std::function<void()> job);

private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::thread m_thread; // last: starts after the queue exists
};

} // namespace platform

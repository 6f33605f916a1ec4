// velko::net::WorkerPool: a few threads that run the network service's property calls, so that
// a slow property never stalls the I/O thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velko::net {

class WorkerPool {
  public:
    // Jobs beyond max_queued waiting ones are refused by post.
    WorkerPool(int threads, size_t max_queued);
    // stop()
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Queues job; false when the queue is full or the pool has stopped.
    bool post(std::function<void()> job);
    // Drops the waiting jobs, waits for the running ones and joins the threads.
    void stop();

  private:
    void run();

    std::mutex mux_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    size_t max_queued_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace velko::net

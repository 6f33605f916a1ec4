#include "net/worker_pool.h"

#include <exception>
#include <iostream>

namespace velko::net {

WorkerPool::WorkerPool(int threads, size_t max_queued) : max_queued_(max_queued) {
    for (int i = 0; i < threads; ++i) {
        threads_.emplace_back([this] { run(); });
    }
}

WorkerPool::~WorkerPool() {
    stop();
}

bool WorkerPool::post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mux_);
        if (stopping_ || jobs_.size() >= max_queued_) {
            return false;
        }
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

void WorkerPool::stop() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(mux_);
        stopping_ = true;
        dropped.swap(jobs_);
    }
    wake_.notify_all();
    for (std::thread& t : threads_) {
        if (t.joinable()) {
            t.join();
        }
    }
    threads_.clear();
}

void WorkerPool::run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mux_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) {
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        try {
            job();
        } catch (const std::exception& e) {
            std::cerr << "Network service: a property call failed: " << e.what() << "\n";
        }
    }
}

}  // namespace velko::net

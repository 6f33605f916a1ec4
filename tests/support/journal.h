// Journal: a thread-safe list of lines that machine actions write and tests wait on.
// FastExit: ends a test program right after its results are reported, skipping static destructors.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class Journal {
  public:
    using Lines = std::vector<std::string>;

    void add(const std::string& line) {
        {
            std::lock_guard<std::mutex> lock(mux_);
            lines_.push_back(line);
        }
        changed_.notify_all();
    }

    Lines lines() const {
        std::lock_guard<std::mutex> lock(mux_);
        return lines_;
    }

    size_t count(const std::string& line) const {
        std::lock_guard<std::mutex> lock(mux_);
        return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), line));
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mux_);
        lines_.clear();
    }

    // Waits until pred holds for the lines (or the bound passes); returns whether it held.
    bool wait_for(const std::function<bool(const Lines&)>& pred,
                  std::chrono::milliseconds bound = std::chrono::seconds(10)) const {
        std::unique_lock<std::mutex> lock(mux_);
        return changed_.wait_for(lock, bound, [&] { return pred(lines_); });
    }

    // Waits until line has been added at least n times.
    bool wait_count(const std::string& line, size_t n,
                    std::chrono::milliseconds bound = std::chrono::seconds(10)) const {
        return wait_for([&](const Lines& l) { return static_cast<size_t>(std::count(l.begin(), l.end(), line)) >= n; },
                        bound);
    }

  private:
    mutable std::mutex mux_;
    mutable std::condition_variable changed_;
    Lines lines_;
};

// Polls cond until it holds or the bound passes; for state that has no notification of its own.
inline bool poll_until(const std::function<bool()>& cond, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + bound;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A program whose machines cannot all be stopped (a start refused half way leaves threads that no
// location records) ends with _Exit once the results are printed, instead of running static
// destructors under those threads. Programs whose machines started use machine_stop.h instead.
// Call once, from a static initialiser of the test file.
class FastExit : public ::testing::EmptyTestEventListener {
  public:
    void OnTestProgramEnd(const ::testing::UnitTest& unit) override {
        fflush(stdout);
        fflush(stderr);
        std::_Exit(unit.Passed() ? 0 : 1);
    }
};

inline bool install_fast_exit() {
    ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
    // End events reach listeners in reverse order: keep the result printer after this one so
    // that the summary is printed before the program ends.
    ::testing::TestEventListener* printer = listeners.Release(listeners.default_result_printer());
    listeners.Append(new FastExit);
    if (printer != nullptr) {
        listeners.Append(printer);
    }
    return true;
}

}  // namespace testsupport

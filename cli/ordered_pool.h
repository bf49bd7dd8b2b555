// Work done on several threads and handed back in order: the calling thread
// publishes numbered jobs (0, 1, 2, ...) as it works them out, worker threads
// take them in batches, and the calling thread collects the finished
// ones strictly in number order, so what it prints stays in a fixed order
// however the threads were scheduled.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrel::cli {

class ordered_pool {
public:
    // How many of the `available` published jobs from `first` on one worker
    // takes at once (at least 1; called with the pool's lock held).
    using batch_rule = std::function<size_t(size_t first, size_t available)>;

    // `work(thread, job)` runs on worker `thread` (0 .. threads-1); `setup`
    // runs once on each worker before its first job. Without `batch`, a
    // worker takes up to 64 jobs at once.
    ordered_pool(size_t threads, std::function<void(size_t)> setup, std::function<void(size_t, size_t)> work,
                 batch_rule batch = nullptr);
    ~ordered_pool();  // waits for the jobs taken, then for the threads
    ordered_pool(const ordered_pool&) = delete;
    ordered_pool& operator=(const ordered_pool&) = delete;

    // Jobs below `count` may be taken.
    void publish(size_t count);
    // Hands every finished job not yet collected, in order, to `done`; with
    // `wait`, first waits (calling `tick` about five times a second) until
    // the next one is finished, or returns false when no job is published
    // that is not collected.
    bool collect(const std::function<void(size_t)>& done, bool wait, const std::function<void()>& tick);
    size_t collected() const { return collected_; }

private:
    void run(size_t thread);

    std::function<void(size_t)> setup_;
    std::function<void(size_t, size_t)> work_;
    batch_rule batch_;
    std::mutex mutex_;
    std::condition_variable work_ready_, job_finished_;
    std::vector<bool> finished_;  // by job, below `published_`
    size_t published_ = 0, taken_ = 0, collected_ = 0;
    bool closing_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace ostrel::cli

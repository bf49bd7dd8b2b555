#include "ordered_pool.h"

#include <algorithm>
#include <chrono>

namespace ostrel::cli {

namespace {

// Jobs taken at once, and reported finished together: consecutive files
// mostly share a folder, so each thread works in folders of its own rather
// than contending for one, and the collecting thread is woken once a batch.
constexpr size_t default_batch = 64;

}  // namespace

ordered_pool::ordered_pool(size_t threads, std::function<void(size_t)> setup, std::function<void(size_t, size_t)> work,
                           batch_rule batch)
    : setup_(std::move(setup)), work_(std::move(work)), batch_(std::move(batch)) {
    for (size_t t = 0; t < (threads ? threads : 1); ++t) threads_.emplace_back([this, t] { run(t); });
}

ordered_pool::~ordered_pool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

void ordered_pool::publish(size_t count) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count <= published_) return;
        published_ = count;
        finished_.resize(count, false);
    }
    work_ready_.notify_all();
}

void ordered_pool::run(size_t thread) {
    if (setup_) setup_(thread);
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        work_ready_.wait(lock, [this] { return closing_ || taken_ < published_; });
        if (taken_ >= published_) return;  // closing, and nothing left
        const size_t first = taken_;
        const size_t available = published_ - taken_;
        const size_t count = batch_ ? std::clamp<size_t>(batch_(first, available), 1, available)
                                    : std::min(available, default_batch);
        const size_t end = first + count;
        taken_ = end;
        lock.unlock();
        for (size_t job = first; job < end; ++job) work_(thread, job);
        lock.lock();
        for (size_t job = first; job < end; ++job) finished_[job] = true;
        if (collected_ >= first && collected_ < end) job_finished_.notify_one();
    }
}

bool ordered_pool::collect(const std::function<void(size_t)>& done, bool wait, const std::function<void()>& tick) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (wait) {
        if (collected_ >= published_) return false;
        while (!finished_[collected_]) {
            if (job_finished_.wait_for(lock, std::chrono::milliseconds(200)) == std::cv_status::timeout && tick) {
                lock.unlock();
                tick();
                lock.lock();
            }
        }
    }
    while (collected_ < published_ && finished_[collected_]) {
        const size_t job = collected_++;
        lock.unlock();
        done(job);
        lock.lock();
    }
    return true;
}

}  // namespace ostrel::cli

#include "core/former_paths.h"

#include <shared_mutex>

namespace ostrel {

void paths_lock::lock_shared() {
    std::unique_lock guard(mutex_);
    readers_.wait(guard, [this] { return writers_waiting_ == 0 && count_ != -1; });
    ++count_;
}

void paths_lock::unlock_shared() {
    std::unique_lock guard(mutex_);
    --count_;
    if (writers_waiting_ > 0 && count_ == 0) writers_.notify_one();
}

void paths_lock::lock() {
    std::unique_lock guard(mutex_);
    ++writers_waiting_;
    writers_.wait(guard, [this] { return count_ == 0; });
    --writers_waiting_;
    count_ = -1;
}

void paths_lock::unlock() {
    std::unique_lock guard(mutex_);
    count_ = 0;
    writers_.notify_one();
    readers_.notify_all();
}

void former_path_index::insert(uintptr_t handle, std::shared_ptr<std::u16string> path) {
    std::unique_lock guard(lock_);
    paths_[handle] = std::move(path);
}

std::shared_ptr<const std::u16string> former_path_index::find(uintptr_t handle) const {
    std::shared_lock guard(lock_);
    const auto it = paths_.find(handle);
    return it == paths_.end() ? nullptr : it->second;
}

size_t former_path_index::size() const {
    std::shared_lock guard(lock_);
    return paths_.size();
}

void former_path_index::clear() {
    std::unique_lock guard(lock_);
    paths_.clear();
}

}  // namespace ostrel

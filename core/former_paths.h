// The former-path index: the full path a recycled item had before it was
// deleted, by the handle of the node that stands for it. Filled by the
// recycle-bin restoration on the scan's thread, read by full_path on any
// host thread, so it sits behind a readers-writer lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace ostrel {

// Many readers or one writer; a waiting writer holds back new readers, so a
// stream of lookups cannot starve the restoration.
class paths_lock {
public:
    void lock_shared();
    void unlock_shared();
    void lock();
    void unlock();

private:
    std::mutex mutex_;
    std::condition_variable writers_;
    std::condition_variable readers_;
    int32_t count_ = 0;  // readers inside, or -1 while a writer is
    int32_t writers_waiting_ = 0;
};

class former_path_index {
public:
    // Inserts or replaces the entry for `handle`.
    void insert(uintptr_t handle, std::shared_ptr<std::u16string> path);
    // The entry for `handle`, if any.
    std::shared_ptr<const std::u16string> find(uintptr_t handle) const;
    size_t size() const;
    void clear();

private:
    mutable paths_lock lock_;
    std::map<uintptr_t, std::shared_ptr<std::u16string>> paths_;
};

}  // namespace ostrel

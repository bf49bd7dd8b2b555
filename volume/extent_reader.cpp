#include "volume/extent_reader.h"

#include <algorithm>
#include <system_error>

#include "volume/device_io.h"

namespace ostrel {

extent_reader::extent_reader(int32_t fd, std::vector<extent> extents, uint32_t piece_bytes, uint32_t retry_unit)
    : fd_(fd), extents_(std::move(extents)), piece_bytes_(std::max<uint32_t>(piece_bytes, 1)), retry_unit_(retry_unit) {
    // Every buffer up front (this throws std::bad_alloc): the reading thread
    // allocates nothing.
    for (std::vector<uint8_t>& buffer : buffers_) buffer.resize(piece_bytes_);
    try {
        reader_ = std::thread([this] { read_ahead(); });
    } catch (const std::system_error&) {
        // Read on the caller's thread instead.
    }
}

extent_reader::~extent_reader() {
    if (!reader_.joinable()) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
    }
    changed_.notify_all();
    reader_.join();
}

bool extent_reader::read_piece(std::vector<uint8_t>& buffer, uint32_t& got) {
    while (extent_ < extents_.size()) {
        const extent& current = extents_[extent_];
        const uint64_t left = current.length - std::min(done_, current.length);
        const auto want = static_cast<uint32_t>(std::min<uint64_t>(piece_bytes_, left));
        const int32_t n = want == 0 ? 0 : read_at_or_fail(fd_, buffer.data(), current.offset + done_, want);
        if (retry_unit_ > 0 && n != 0 && n != static_cast<int32_t>(want)) {
            // Refused, or cut short by a bad sector: whole units of what
            // was read, so that the next piece starts on a unit boundary;
            // with none, the piece unit by unit.
            const uint32_t whole = n > 0 ? static_cast<uint32_t>(n) - static_cast<uint32_t>(n) % retry_unit_ : 0;
            got = whole;
            if (whole == 0) {
                read_around_failure(buffer.data(), current.offset + done_, want);
                got = want;
            }
            done_ += got;
            return true;
        }
        if (n <= 0) {
            // Read to its end, or a read that failed: on to the next extent.
            ++extent_;
            done_ = 0;
            continue;
        }
        got = static_cast<uint32_t>(n);
        done_ += got;
        return true;
    }
    return false;
}

void extent_reader::read_around_failure(uint8_t* buffer, uint64_t offset, uint32_t size) const {
    // A run of units that all fail is a dead stretch rather than a bad
    // sector: the rest of the piece is given up at once instead of costing
    // one failing read (and on a dying disk, its timeout) per unit.
    constexpr int max_failures_in_a_row = 16;
    int failures = 0;
    for (uint32_t at = 0; at < size; at += retry_unit_) {
        const uint32_t length = std::min(retry_unit_, size - at);
        if (failures >= max_failures_in_a_row ||
            read_at_or_fail(fd_, buffer + at, offset + at, length) != static_cast<int32_t>(length)) {
            std::fill_n(buffer + at, length, uint8_t{0});
            ++failures;
        } else {
            failures = 0;
        }
    }
}

void extent_reader::read_ahead() {
    for (;;) {
        size_t slot;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return cancelled_ || read_ - taken_ < slots; });
            if (cancelled_) return;
            slot = read_ % slots;
        }
        // The slot is free: the caller holds only piece `taken_`, and the
        // wait above keeps this one `slots` pieces away from it.
        uint32_t got = 0;
        const bool more = read_piece(buffers_[slot], got);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (more) {
                sizes_[slot] = got;
                ++read_;
            } else {
                finished_ = true;
            }
        }
        changed_.notify_all();
        if (!more) return;
    }
}

std::span<uint8_t> extent_reader::next() {
    if (!reader_.joinable()) {
        uint32_t got = 0;
        return read_piece(buffers_[0], got) ? std::span<uint8_t>(buffers_[0].data(), got) : std::span<uint8_t>();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (holding_) {
        // The piece handed out last is given back.
        holding_ = false;
        ++taken_;
        changed_.notify_all();
    }
    changed_.wait(lock, [this] { return read_ > taken_ || finished_; });
    if (read_ == taken_) return {};
    holding_ = true;
    const size_t slot = taken_ % slots;
    return std::span<uint8_t>(buffers_[slot].data(), sizes_[slot]);
}

}  // namespace ostrel

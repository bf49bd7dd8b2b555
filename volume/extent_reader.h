// Reading a list of extents of a source in order, a few pieces ahead of the
// caller.
//
// A scan that reads a large structure front to back (the whole MFT) spends a
// good part of its time in the reads themselves, even from the page cache:
// the kernel copies every byte. Here the reads run on a thread of their own
// while the caller parses the piece before, so the copying and the parsing
// overlap. The caller sees the same pieces, in the same order, as reading
// them itself would give: each extent is read in pieces of at most
// `piece_bytes`, the last one shortened to what remains, and a read that
// returns nothing ends that extent (the next extent is still read).
//
// A read the device refuses (a bad sector) ends the extent too, unless a
// `retry_unit` is given: then the piece is read again unit by unit, the
// units that cannot be read come back as zeros, and the extent goes on. One
// bad sector inside the MFT thus costs the records on it, not every record
// after it.
//
// Without a thread to be had, the pieces are read on the caller's thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace ostrel {

class extent_reader {
public:
    struct extent {
        uint64_t offset = 0;  // byte position on the descriptor
        uint64_t length = 0;
    };

    extent_reader(int32_t fd, std::vector<extent> extents, uint32_t piece_bytes, uint32_t retry_unit = 0);
    // Stops reading ahead and waits for a read in flight.
    ~extent_reader();
    extent_reader(const extent_reader&) = delete;
    extent_reader& operator=(const extent_reader&) = delete;

    // The next piece read: the bytes the read returned, valid until the next
    // call. Empty once every extent is read.
    std::span<uint8_t> next();

private:
    // How many pieces may wait read but not yet handed out.
    static constexpr size_t slots = 4;

    // Reads the next piece into `buffer`; false when no extent is left.
    bool read_piece(std::vector<uint8_t>& buffer, uint32_t& got);
    // Reads `size` bytes at `offset` unit by unit after the whole read
    // failed; what cannot be read is zeros.
    void read_around_failure(uint8_t* buffer, uint64_t offset, uint32_t size) const;
    void read_ahead();

    const int32_t fd_;
    const std::vector<extent> extents_;
    const uint32_t piece_bytes_;
    const uint32_t retry_unit_;
    // Where the reading is: which extent, and how far into it.
    size_t extent_ = 0;
    uint64_t done_ = 0;

    std::vector<uint8_t> buffers_[slots];
    uint32_t sizes_[slots] = {};
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t read_ = 0;      // pieces read so far
    size_t taken_ = 0;     // pieces handed out and given back
    bool holding_ = false; // the caller holds piece number `taken_`
    bool finished_ = false;
    bool cancelled_ = false;
    std::thread reader_;
};

}  // namespace ostrel

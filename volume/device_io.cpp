#include "volume/device_io.h"

#include "engine/log.h"
#include "ostrel/ostrel.h"
#include "platform/descriptor_io.h"

namespace ostrel {

bool is_stopped(stop_token* token) { return token && token->is_stopped() != 0; }

int32_t open_device_triple(const char16_t* path, int32_t* d_recovery, int32_t* d_preview) {
    const int scan = platform::open_read_shared(path, true);
    if (scan <= 0) return 0;
    int recovery = 0, preview = 0;
    if (d_recovery) {
        recovery = platform::open_read_shared(path, false);
        if (recovery <= 0) {
            platform::close_descriptor(scan);
            return 0;
        }
    }
    if (d_preview) {
        preview = platform::open_read_shared(path, false);
        if (preview <= 0) {
            platform::close_descriptor(scan);
            if (recovery > 0) platform::close_descriptor(recovery);
            return 0;
        }
    }
    if (d_recovery) *d_recovery = recovery;
    if (d_preview) *d_preview = preview;
    return scan;
}

int32_t read_at(int32_t fd, void* buffer, uint64_t offset, uint32_t size) {
    const int32_t n = read_at_or_fail(fd, buffer, offset, size);
    return n < 0 ? 0 : n;
}

int32_t read_at_or_fail(int32_t fd, void* buffer, uint64_t offset, uint32_t size) {
    if (fd <= 0 || !buffer || size == 0 || offset > static_cast<uint64_t>(INT64_MAX)) return 0;
    return platform::read_some_at(fd, buffer, size, static_cast<int64_t>(offset));
}

bool read_sector_at(int32_t fd, void* buffer, uint64_t offset) {
    if (fd <= 0 || !buffer) return false;
    // Offset 0 reads at the running position, which stays where it was.
    const int64_t position = offset != 0 ? static_cast<int64_t>(offset) : platform::tell(fd);
    if (position < 0) return false;
    return read_at(fd, buffer, static_cast<uint64_t>(position), sector_bytes) == static_cast<int32_t>(sector_bytes);
}

bool write_chunk(const uint8_t* buffer, uint32_t count, void* context, uint32_t, int32_t* error) {
    const int32_t fd = context ? *static_cast<const int32_t*>(context) : -1;
    // The whole chunk, or failure: a write that stops short (the output disk
    // filling up) must not count as the chunk written, or the copy would
    // pass for complete with bytes missing from its middle.
    uint32_t written = 0;
    while (fd > 0 && written < count) {
        const int32_t n = platform::write_some(fd, buffer + written, count - written);
        if (n <= 0) break;
        written += static_cast<uint32_t>(n);
    }
    if (written == count && fd > 0) return true;
    if (error) *error = platform::last_error();
    return false;
}

uint64_t copy_range(int32_t fd, uint8_t* buffer, uint64_t offset, uint64_t length, uint32_t buffer_size,
                    data_sink sink, void* context, stop_token* stop, int32_t* error) {
    if (!buffer || buffer_size < sector_bytes || !sink || length == 0) return 0;
    // Positioned reads, never moving the descriptor: saves of one session
    // share its recovery descriptor and may run on several threads at once.
    if (offset > static_cast<uint64_t>(INT64_MAX) - length) return 0;
    uint64_t left = length;
    uint64_t delivered = 0;
    while (left > 0) {
        if (is_stopped(stop)) break;
        const uint32_t want = left < buffer_size ? static_cast<uint32_t>(left) : buffer_size;
        // Whole sectors only: round up, or down when rounding up would not fit.
        uint32_t read_size = sector_bytes;
        if (want > sector_bytes) {
            read_size = (want + sector_bytes - 1) / sector_bytes * sector_bytes;
            if (read_size > buffer_size) read_size = want / sector_bytes * sector_bytes;
        }
        const int32_t got = platform::read_some_at(fd, buffer, read_size, static_cast<int64_t>(offset + delivered));
        if (got < 1) {
            if (error) *error = platform::last_error();
            break;
        }
        const uint32_t count = static_cast<uint64_t>(got) < left ? static_cast<uint32_t>(got)
                                                                  : static_cast<uint32_t>(left);
        if (!sink(buffer, count, context, 4, error)) break;
        delivered += count;
        left -= count;
    }
    return delivered;
}

int32_t duplicate_descriptor(int32_t fd, const char* failure_message) {
    const int copy = fd > 0 ? platform::duplicate(fd) : -1;
    if (copy < 1) {
        log_recovery(failure_message, {fd});
        return 0;
    }
    return copy;
}

}  // namespace ostrel

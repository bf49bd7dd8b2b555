#include "core/save.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <new>

#include "carve/deep_scan_engine.h"
#include "core/recover_impl.h"
#include "core/report/report.h"
#include "engine/log.h"
#include "ostrel/ostrel.h"
#include "platform/descriptor_io.h"
#include "volume/device_io.h"

namespace ostrel {

namespace {

// An owned descriptor, closed when it goes out of scope.
struct destination_file {
    int fd = -1;
    ~destination_file() {
        if (fd > 0) platform::close_descriptor(fd);
    }
};

std::unique_ptr<uint8_t[]> allocate_buffer(size_t size) { return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size]); }

}  // namespace

int create_destination(const char16_t* destination, int32_t& error) {
    platform::clear_error();
    const int fd = platform::create_exclusive(destination);
    if (fd > 0) return fd;
    error = platform::last_error();
    if (error == platform::error_file_exists) report_status(OSTREL_STATUS_DESTINATION_EXISTS);
    return -1;
}

uint64_t save_runs_buffer_size(uint32_t cluster_size, uint64_t size) {
    // The buffer only sets how much is read at a time. 64 clusters of the
    // largest exFAT clusters (32 MiB) would be 2 GiB, and a damaged boot
    // sector and file size can ask for as much: 32 MiB pieces read as fast.
    constexpr uint64_t largest = 32u << 20;
    const uint64_t full = std::min<uint64_t>(static_cast<uint64_t>(cluster_size) * 64, largest);
    // A small file gets its sectors plus one: a size already on a sector
    // boundary still gets one extra sector of buffer.
    return size < full ? size - (size % sector_bytes) + sector_bytes : full;
}

uint32_t copy_buffer_size(uint64_t size, uint32_t full_buffer) {
    if (size >= full_buffer) return full_buffer;
    return static_cast<uint32_t>((size + sector_bytes - 1) / sector_bytes * sector_bytes);
}

bool recover_impl::save(const std::shared_ptr<tagFileInfo>& node, const char16_t* destination, int32_t& error) {
    error = 0;
    platform::clear_error();
    if (!node) return false;
    if (node->source_kind != 0) return save_deep_scan_node(*node, destination, error);

    destination_file out;
    out.fd = create_destination(destination, error);
    on_destination_created(error);
    if (out.fd < 0) return false;
    if (node->size == 0) return true;
    int32_t sink_fd = out.fd;
    const uint64_t delivered = save_runs(d_recovery, node->runs, node->size, write_chunk, &sink_fd, save_token, &error);
    return delivered == node->size;  // a partial file is kept for the user to judge
}

uint64_t recover_impl::save_runs(int32_t fd, const run_list& runs, uint64_t size, data_sink sink, void* context,
                                 ::stop_token* stop, int32_t* error) const {
    uint64_t chunk = save_runs_buffer_size(cluster_size(), size);
    // No file holds more than its volume, which discovery keeps within the
    // device: a damaged cluster size or file size must not size the buffer
    // beyond that.
    if (const uint64_t volume = volume_size(); volume != 0 && chunk > volume) {
        chunk = volume - volume % sector_bytes + sector_bytes;
    }
    if (chunk == 0 || chunk > UINT32_MAX) return 0;
    const auto buffer = allocate_buffer(static_cast<size_t>(chunk));
    if (!buffer) return 0;

    int64_t remaining = static_cast<int64_t>(size);
    size_t runs_left = runs.size();
    for (const data_run& run : runs) {
        if (is_stopped(stop)) break;
        const uint64_t offset = cluster_to_offset(run.first);
        uint64_t length = static_cast<uint64_t>(cluster_size()) * run.count;
        // The last run covers what is left, even past its clusters. No run
        // hands on more than is left: a chain longer than the file (a damaged
        // table) must not make the saved file longer than its size.
        if (runs_left == 1 || length > static_cast<uint64_t>(remaining)) length = static_cast<uint64_t>(remaining);
        --runs_left;
        const uint64_t delivered = copy_range(fd, buffer.get(), offset, length, static_cast<uint32_t>(chunk), sink,
                                              context, stop, error);
        remaining -= static_cast<int64_t>(delivered);
        log_recovery("saveas file leave %I64d bytes to read\n", {static_cast<long long>(remaining)});
        if (remaining <= 0) break;
    }
    return size - static_cast<uint64_t>(remaining);
}

bool recover_impl::save_deep_scan_node(const tagFileInfo& node, const char16_t* destination, int32_t& error) {
    if (!deep_scan_engine) return false;
    return deep_scan_engine->save(node, destination, error);
}

bool save_byte_range(int32_t device, const tagFileInfo& node, const char16_t* destination, ::stop_token* stop,
                     int32_t& error) {
    destination_file out;
    out.fd = create_destination(destination, error);
    if (out.fd < 0) return false;
    if (node.size == 0) return true;
    if (node.runs.empty()) return false;
    constexpr uint32_t ten_mib = 10 * 1024 * 1024;
    const uint32_t buffer_size = copy_buffer_size(node.size, ten_mib);
    const auto buffer = allocate_buffer(buffer_size);
    if (!buffer) return false;
    int32_t sink_fd = out.fd;
    const data_run& range = node.runs.front();
    const uint64_t delivered =
        copy_range(device, buffer.get(), range.first, range.count, buffer_size, write_chunk, &sink_fd, stop, &error);
    return delivered == node.size;
}

void append_decimal(std::string& out, long long value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

void append_decimal(std::string& out, unsigned long long value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// Written digit by digit: a listing asks every file's extents.
std::string format_extent(uint64_t offset, uint64_t length, bool is_signed, bool last) {
    std::string text = "{\"o\":";
    if (is_signed) {
        append_decimal(text, static_cast<long long>(offset));
        text += ", \"l\":";
        append_decimal(text, static_cast<long long>(length));
    } else {
        append_decimal(text, static_cast<unsigned long long>(offset));
        text += ", \"l\":";
        append_decimal(text, static_cast<unsigned long long>(length));
    }
    text += last ? "}" : "},";
    return text;
}

std::string cluster_extent_text(const recover_impl& engine, const tagFileInfo& node, bool is_signed) {
    std::string text = "[";
    if (node.size > 0) {
        uint64_t covered = 0;
        for (size_t i = 0; i < node.runs.size(); ++i) {
            const data_run& run = node.runs[i];
            const bool last = i + 1 == node.runs.size();
            const uint64_t length =
                last ? (node.size > covered ? node.size - covered : 0)
                     : static_cast<uint64_t>(engine.cluster_size()) * run.count;
            text += format_extent(engine.cluster_to_offset(run.first), length, is_signed, last);
            covered += length;
        }
    }
    return text + "]";
}

std::string recover_impl::extent_text(const std::shared_ptr<tagFileInfo>& node) const {
    if (!node) return {};
    if (node->source_kind == 0) return cluster_extent_text(*this, *node, false);
    return deep_scan_extent_text(*node);
}

std::string recover_impl::deep_scan_extent_text(const tagFileInfo& node) const {
    if (!deep_scan_engine) return {};
    return deep_scan_engine->extent_text(node);
}

}  // namespace ostrel

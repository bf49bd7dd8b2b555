#include "output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "system.h"
#include "text.h"

namespace ostrel::cli {

namespace {

using clock_type = std::chrono::steady_clock;

// The terminal's width on standard error, asked afresh each time so that a
// resized window is followed.
size_t terminal_columns() {
    if (const size_t columns = stderr_columns()) return columns;
    if (const char* columns = std::getenv("COLUMNS")) {
        const long value = std::strtol(columns, nullptr, 10);
        if (value > 0) return static_cast<size_t>(value);
    }
    return 80;
}

std::string percent_text(double percent) {
    char text[16];
    std::snprintf(text, sizeof text, "%.0f%%", percent);
    return text;
}

// ", 12.0 MiB/s, 0:42 left" from `fraction` of `total` bytes done in `seconds`.
std::string pace(double fraction, double total, double seconds) {
    if (seconds < 0.25 || fraction <= 0) return {};
    std::string text;
    if (total > 0) text += ", " + human_bytes(static_cast<uint64_t>(fraction * total / seconds)) + "/s";
    if (fraction < 1) text += ", " + duration_text(seconds * (1 - fraction) / fraction) + " left";
    return text;
}

int output_error = 0;

}  // namespace

void flush_output() {
    errno = 0;
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && output_error == 0) output_error = errno ? errno : -1;
}

bool output_written(std::string& reason) {
    flush_output();
    if (output_error == 0) return true;
    reason = output_error > 0 ? std::strerror(output_error) : "";
    return false;
}

std::string duration_text(double seconds) {
    const auto total = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

progress::progress() : enabled_(stderr_is_terminal()) { set_listener(this); }

progress::~progress() {
    set_listener(nullptr);
    clear();
}

void progress::on_event(int32_t code, float value) {
    const phase before = phase_;
    switch (code) {
    case OSTREL_EVENT_SCAN_STARTED:
        phase_ = phase::scan;
        scan_state_ = "reading folders";
        break;
    case OSTREL_EVENT_DIRECTORY_DONE: scan_state_ = "folders read"; break;
    case OSTREL_EVENT_DEEP_SCAN_STARTED:
        phase_ = phase::deep;
        deep_percent_ = 0;
        break;
    case OSTREL_EVENT_DEEP_SCAN_PROGRESS: deep_percent_ = static_cast<double>(value); break;
    case OSTREL_EVENT_DEEP_SCAN_DONE: deep_percent_ = 100; break;
    case OSTREL_EVENT_SEARCHING_VOLUME:
        // Sent while the next volume is being looked for, not by a scan.
        phase_ = phase::search;
        break;
    default: return;  // saves report through saving()
    }
    if (phase_ != before) phase_start_ = clock_type::now();
    draw(phase_ != before);
}

void progress::on_item(const mirrored_item&) {
    ++items_;
    draw(false);
}

void progress::on_poll() {
    // The engine polls very often; the clock is read now and then.
    if (!enabled_ || ++polls_ % 64 != 0) return;
    draw(false);
}

void progress::set_search_probe(std::function<uint64_t()> position, uint64_t size) {
    search_position_ = std::move(position);
    search_size_ = size;
}

void progress::begin_volume(const std::string& label, const char* type, uint64_t length) {
    volume_ = label + " (" + type + ")";
    phase_ = phase::none;
    items_ = 0;
    volume_length_ = length;
    phase_start_ = clock_type::now();
    draw(true);
}

void progress::begin_saving(size_t files, uint64_t bytes) {
    phase_ = phase::save;
    save_files_ = files;
    save_bytes_ = bytes;
    save_done_ = 0;
    saved_bytes_ = 0;
    save_name_.clear();
    save_copied_ = nullptr;
    phase_start_ = clock_type::now();
    draw(true);
}

void progress::saving(size_t done, uint64_t bytes, const std::string& name) {
    save_done_ = done;
    saved_bytes_ = bytes;
    save_name_ = name;
    save_copied_ = nullptr;
    draw(false);
}

void progress::copying(std::function<uint64_t()> copied) { save_copied_ = std::move(copied); }

std::string progress::compose() const {
    const double seconds = std::chrono::duration<double>(clock_type::now() - phase_start_).count();
    switch (phase_) {
    case phase::search: {
        const uint64_t at = search_position_ ? search_position_() : 0;
        const double fraction = search_size_ ? static_cast<double>(at) / static_cast<double>(search_size_) : 0;
        return "looking for volumes: " + human_bytes(at) + " of " + human_bytes(search_size_) + " (" +
               percent_text(100 * fraction) + ")" + pace(fraction, static_cast<double>(search_size_), seconds);
    }
    case phase::scan:
        return volume_ + ": " + scan_state_ + ", " + std::to_string(items_) + " items, " + duration_text(seconds);
    case phase::deep:
        return volume_ + ": deep scan " + percent_text(deep_percent_) +
               pace(deep_percent_ / 100, static_cast<double>(volume_length_), seconds);
    case phase::save: {
        const uint64_t current = save_copied_ ? save_copied_() : 0;
        const uint64_t bytes = saved_bytes_ + current;
        const double fraction = save_bytes_ ? static_cast<double>(bytes) / static_cast<double>(save_bytes_)
                                : save_files_ ? static_cast<double>(save_done_) / static_cast<double>(save_files_)
                                              : 1.0;
        std::string line = volume_ + ": saving " + percent_text(100 * std::min(fraction, 1.0)) + " (" +
                           std::to_string(save_done_) + " of " + std::to_string(save_files_) + " files, " +
                           human_bytes(bytes) + " of " + human_bytes(save_bytes_) + ")" +
                           pace(std::min(fraction, 1.0), static_cast<double>(save_bytes_), seconds);
        if (!save_name_.empty()) line += ": " + save_name_;
        return line;
    }
    default: return volume_;
    }
}

void progress::note(const std::string& line) {
    clear();
    std::fprintf(stderr, "%s\n", line.c_str());
}

void progress::clear() {
    if (!enabled_ || !shown_) return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    shown_ = false;
}

void progress::draw(bool force) {
    if (!enabled_) return;
    const auto now = clock_type::now();
    if (!force && now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    // One column short of the width: a full line would wrap on some terminals.
    const size_t columns = terminal_columns();
    const std::string line = fit_width(compose(), columns > 1 ? columns - 1 : 1);
    std::fprintf(stderr, "\r\x1b[K%s", line.c_str());
    std::fflush(stderr);
    shown_ = true;
}

}  // namespace ostrel::cli

#include "output.h"

#include <cstdio>
#include <unistd.h>

#include "paths.h"
#include "text.h"

namespace ostrel::cli {

progress::progress() : enabled_(::isatty(STDERR_FILENO) == 1) { set_listener(this); }

progress::~progress() {
    set_listener(nullptr);
    clear();
}

void progress::on_event(int32_t code, float value) {
    char text[64];
    switch (code) {
    case OSTREL_EVENT_SCAN_STARTED: phase_ = "reading folders"; break;
    case OSTREL_EVENT_DIRECTORY_DONE: phase_ = "folders read"; break;
    case OSTREL_EVENT_DEEP_SCAN_STARTED: phase_ = "deep scan"; break;
    case OSTREL_EVENT_DEEP_SCAN_PROGRESS:
        std::snprintf(text, sizeof text, "deep scan %.1f%%", static_cast<double>(value));
        phase_ = text;
        break;
    case OSTREL_EVENT_DEEP_SCAN_DONE: phase_ = "deep scan done"; break;
    case OSTREL_EVENT_SEARCHING_VOLUME:
        // Sent while the next volume is being looked for, not by a scan.
        volume_ = "looking for volumes";
        phase_.clear();
        items_ = 0;
        break;
    default: return;  // saves report through saving()
    }
    draw(true);
}

void progress::on_item(const mirrored_item&) {
    ++items_;
    draw(false);
}

void progress::begin_volume(int index, const char* type) {
    volume_ = "volume " + std::to_string(index) + " (" + type + ")";
    phase_.clear();
    items_ = 0;
    draw(true);
}

void progress::saving(size_t done, size_t total, uint64_t bytes, const std::string& name, uint64_t size) {
    items_ = 0;  // the count of found items belongs to the scan phases
    phase_ = "saved " + std::to_string(done) + "/" + std::to_string(total) + " files, " + human_bytes(bytes);
    // Drawn before each copy (a large file takes a while); at most ten times
    // a second for small ones.
    if (!name.empty()) phase_ += "; copying " + name + " (" + human_bytes(size) + ")";
    draw(size >= (1u << 24) || done == total);
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
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    std::string line = volume_;
    if (!phase_.empty()) line += ": " + phase_;
    if (items_) line += " (" + std::to_string(items_) + " items)";
    if (line.size() > 150) line = utf8_prefix(line, 147) + "...";  // one terminal line
    std::fprintf(stderr, "\r\x1b[K%s", line.c_str());
    std::fflush(stderr);
    shown_ = true;
}

}  // namespace ostrel::cli

// What the command prints besides its results: the progress line on
// standard error (only when that is a terminal) and notes.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "host.h"

namespace ostrel::cli {

class progress final : public host_listener {
public:
    progress();  // enabled when standard error is a terminal
    ~progress();
    progress(const progress&) = delete;

    // Scan phases and the deep-scan percentage arrive as engine events.
    void on_event(int32_t code, float value) override;
    void on_item(const mirrored_item& item) override;

    void begin_volume(int index, const char* type);
    // `done` files saved so far; `name` (of `size` bytes) is being copied.
    void saving(size_t done, size_t total, uint64_t bytes, const std::string& name = {}, uint64_t size = 0);
    // A line for the user (warnings, renames) that must not be garbled by
    // the progress line.
    void note(const std::string& line);
    // Erases the progress line (before results go to a shared terminal).
    void clear();

private:
    void draw(bool force);
    bool enabled_ = false;
    bool shown_ = false;
    std::string volume_;
    std::string phase_;
    size_t items_ = 0;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace ostrel::cli

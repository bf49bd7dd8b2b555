// What the command prints besides its results: the progress line on
// standard error (only when that is a terminal) and notes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "host.h"

namespace ostrel::cli {

// One line, redrawn in place and cut to the terminal's width: the phase, how
// far it got (percent of the volume search, of the deep scan or of the bytes
// to save), the rate and the time left.
class progress final : public host_listener, public poll_listener {
public:
    progress();  // enabled when standard error is a terminal
    ~progress();
    progress(const progress&) = delete;

    // Scan phases and the deep-scan percentage arrive as engine events.
    void on_event(int32_t code, float value) override;
    void on_item(const mirrored_item& item) override;
    // Polled by the engine during long work: redraws now and then.
    void on_poll() override;

    // While the engine searches for volumes: where its reading is, of `size`.
    void set_search_probe(std::function<uint64_t()> position, uint64_t size);
    void begin_volume(const std::string& label, const char* type, uint64_t length);
    // Saving `files` files of `bytes` bytes in all.
    void begin_saving(size_t files, uint64_t bytes);
    // `done` files and `bytes` bytes saved; `name` is being copied.
    void saving(size_t done, uint64_t bytes, const std::string& name);
    // How much of the file being copied is written so far.
    void copying(std::function<uint64_t()> copied);
    // A line for the user (warnings, renames) that must not be garbled by
    // the progress line.
    void note(const std::string& line);
    // Erases the progress line (before results go to a shared terminal).
    void clear();

private:
    enum class phase { none, search, scan, deep, save };
    std::string compose() const;
    void draw(bool force);

    bool enabled_ = false;
    bool shown_ = false;
    phase phase_ = phase::none;
    std::string volume_;
    std::string scan_state_;
    size_t items_ = 0;
    uint64_t volume_length_ = 0;
    std::function<uint64_t()> search_position_;
    uint64_t search_size_ = 0;
    double deep_percent_ = 0;
    size_t save_files_ = 0, save_done_ = 0;
    uint64_t save_bytes_ = 0, saved_bytes_ = 0;
    std::string save_name_;
    std::function<uint64_t()> save_copied_;
    unsigned polls_ = 0;
    std::chrono::steady_clock::time_point phase_start_{}, last_{};
};

// Flushes standard output, remembering why the first failed write failed.
void flush_output();
// False (with the reason, "" when unknown) when something printed on
// standard output did not reach it.
bool output_written(std::string& reason);

// "1:05" or "2:03:04".
std::string duration_text(double seconds);

}  // namespace ostrel::cli

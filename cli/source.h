// Opening a source (a disk image or a block device) read-only and walking it
// volume by volume through the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "ostrel/ostrel.h"

namespace ostrel::cli {

class source {
public:
    source() = default;
    ~source();
    source(const source&) = delete;
    source& operator=(const source&) = delete;

    // Opens `path` three times read-only; false with a one-line `error`.
    bool open(const std::string& path, std::string& error);
    const std::string& path() const { return path_; }
    uint64_t size() const { return size_; }
    // Where the engine's reading of the source is: its descriptors share
    // their position with ours (the volume search reads straight on).
    uint64_t read_position() const;

    struct volume {
        int index = 0;        // -1 for a gap between volumes
        bool gap = false;     // a stretch the volume search skipped, opened for carving
        uint64_t start = 0;   // byte offset on the source
        uint64_t length = 0;  // bytes up to where the walk continued
        int32_t fs_type = OSTREL_FS_NONE;
        recover_session* session = nullptr;  // open during the visit only
        bool last = false;  // the source ends with this volume

        // For a visit that needs nothing more from the engine: the session
        // is closed now, on another thread, while the visit goes on with
        // what the command holds (the mirror). Closing a large volume's
        // session frees its whole tree, which takes as long as printing it.
        // `session` is null afterwards. Not for the last volume, whose
        // session is left to the end of the process.
        void close_session_early();
        std::thread closing;
    };

    // Calls `visit` for each volume in order, closing each session after its
    // visit. `visit` returns false to end the walk. The walk also ends when
    // `token` reports a stop. With `gaps`, the stretches the volume search
    // skipped on its way to a volume (the space before the first partition
    // and between partitions) are visited too, as raw ranges: files deleted
    // with a partition, or left there by an earlier layout, lie in them.
    void walk(stop_token& token, const std::function<bool(volume&)>& visit, bool gaps = false);

private:
    std::string path_;
    int scan_ = -1, recovery_ = -1, preview_ = -1;
    uint64_t size_ = 0;
};

// "volume N", or "gap at byte S" for a gap.
std::string volume_label(const source::volume& v);
// The folder a volume's files are saved under: "N-type", or "gap-S-raw".
std::string volume_folder(const source::volume& v);

// "fat16", "fat32", "ntfs", "exfat", "raw" (or "unknown").
const char* fs_type_name(int32_t fs_type);

}  // namespace ostrel::cli

#include "source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>
#include <vector>

#include "host.h"
#include "sniff.h"
#include "system.h"

namespace ostrel::cli {

source::~source() {
    for (int fd : {scan_, recovery_, preview_}) {
        if (fd >= 0) close_source(fd);
    }
}

bool source::open(const std::string& path, std::string& error) {
    path_ = path;
    source_kind kind;
    if (!inspect_source(path, kind)) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!kind.regular && !kind.device) {
        error = path + " is neither a disk image file nor a block device";
        return false;
    }
    for (int* fd : {&scan_, &recovery_, &preview_}) {
        *fd = open_source(path);
        if (*fd < 0) {
            error = "cannot open " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    size_ = kind.size;
    if (kind.device && !device_size(scan_, size_)) {
        error = "cannot read the size of " + path + ": " + std::strerror(errno);
        return false;
    }
    // Read the first sector now, so that an unreadable source fails here
    // with its own error rather than as "no volumes". A whole sector: disks
    // opened raw read whole sectors only.
    char probe[512];
    errno = 0;
    if (size_ > 0 && !read_at(scan_, probe, static_cast<size_t>(std::min<uint64_t>(size_, sizeof probe)), 0)) {
        error = "cannot read " + path + ": " + std::strerror(errno ? errno : EIO);
        return false;
    }
    if (size_ < 512) {
        const std::string what = describe_container(path);
        error = path + " is too small to hold a volume (" + std::to_string(size_) + " bytes)" +
                (what.empty() ? "" : "; " + what);
        return false;
    }
    return true;
}

uint64_t source::read_position() const { return position_of(scan_); }

namespace {

// Closing a large volume's session frees its tree node by node: 40 ms for
// 100,000 files, millions of small frees for a large disk. When the source
// ends with the volume, the command is about to end too, and the system
// lets go of the whole process at once: the session is kept here instead,
// where it stays reachable (so leak checkers see nothing lost), with its
// descriptors, which only read the source.
void leave_to_process_end(recover_session* session) {
    // Never destroyed: leak checkers look after static destructors have run.
    static auto* const left = new std::vector<recover_session*>;
    try {
        left->push_back(session);
    } catch (const std::bad_alloc&) {
        engine().close_session(session);
    }
}

}  // namespace

void source::walk(stop_token& token, const std::function<bool(volume&)>& visit, bool gaps) {
    // Visits one session and closes it; false when the walk is to end.
    auto visit_session = [&](volume& v) {
        // The session first: letting go of the mirror at the same time would
        // only make both wait on the allocator. The mirror is let go of on
        // another thread while the walk goes on.
        const auto end_session = [&v] {
            if (v.closing.joinable()) {
                v.closing.join();
            } else if (v.last) {
                leave_to_process_end(v.session);
            } else {
                engine().close_session(v.session);
            }
            reset_mirror(v.last);
        };
        bool more = true;
        try {
            more = visit(v);
        } catch (...) {
            end_session();
            throw;
        }
        end_session();
        return more && !token.is_stopped();
    };
    uint64_t position = 0;
    for (int index = 0; position < size_; ++index) {
        const uint64_t before = position;
        recover_session* session =
            engine().open_descriptors(scan_, recovery_, preview_, &position, size_, &token);
        if (!session) break;
        volume v;
        v.index = index;
        v.session = session;
        v.start = engine().session_volume_offset(session);
        v.fs_type = engine().session_fs_type(session);
        // The cursor ends just past the volume (and past an NTFS backup boot
        // sector), so this is the span the volume occupies on the source.
        v.length = position > v.start ? position - v.start : 0;
        if (gaps && v.start >= before + 512) {
            volume gap;
            gap.index = -1;
            gap.gap = true;
            gap.start = before;
            gap.length = v.start - before;
            gap.fs_type = OSTREL_FS_RAW;
            gap.session = engine().open_raw_range(scan_, gap.start, gap.length);
            if (gap.session && !visit_session(gap)) {
                engine().close_session(session);
                reset_mirror();
                break;
            }
        }
        v.last = position >= size_;
        // A cursor that did not move would find the same volume forever.
        if (!visit_session(v) || position <= before) break;
    }
}

void source::volume::close_session_early() {
    if (!session || closing.joinable() || last) return;
    try {
        closing = std::thread([ending = session] { engine().close_session(ending); });
        session = nullptr;
    } catch (const std::system_error&) {
        // No thread to be had: the session is closed after the visit.
    }
}

std::string volume_label(const source::volume& v) {
    return v.gap ? "gap at byte " + std::to_string(v.start) : "volume " + std::to_string(v.index);
}

std::string volume_folder(const source::volume& v) {
    return v.gap ? "gap-" + std::to_string(v.start) + "-raw" : std::to_string(v.index) + "-" + fs_type_name(v.fs_type);
}

const char* fs_type_name(int32_t fs_type) {
    switch (fs_type) {
    case OSTREL_FS_FAT16: return "fat16";
    case OSTREL_FS_FAT32: return "fat32";
    case OSTREL_FS_NTFS: return "ntfs";
    case OSTREL_FS_EXFAT: return "exfat";
    case OSTREL_FS_RAW: return "raw";
    default: return "unknown";
    }
}

}  // namespace ostrel::cli


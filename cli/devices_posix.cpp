#include "devices.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace ostrel::cli {

namespace {

std::string sys_block(dev_t device) {
    return "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// The device number in a sysfs "dev" file ("8:17").
bool read_device_number(const std::string& path, dev_t& device) {
    std::ifstream in(path);
    unsigned major_number = 0, minor_number = 0;
    char colon = 0;
    if (!(in >> major_number >> colon >> minor_number) || colon != ':') return false;
    device = makedev(major_number, minor_number);
    return true;
}

std::vector<std::string> folder_names(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* folder = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(folder)) {
            if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
        }
        ::closedir(folder);
    }
    return names;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// "/dev/sdb1" for a device number, from its uevent; "device 8:17" without one.
std::string device_name(dev_t device) {
    std::ifstream in(sys_block(device) + "/uevent");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("DEVNAME=")) return "/dev/" + line.substr(8);
    }
    return "device " + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// `device` and every device reached from it through `neighbours` (which
// adds the /sys/block folder's related devices to its list), at most 256:
// links in /sys cannot make the walk endless.
template <typename Neighbours>
std::set<dev_t> devices_reached(dev_t device, Neighbours&& neighbours) {
    std::set<dev_t> found;
    std::vector<dev_t> pending{device};
    while (!pending.empty() && found.size() < 256) {
        const dev_t current = pending.back();
        pending.pop_back();
        if (found.insert(current).second) neighbours(sys_block(current), pending);
    }
    return found;
}

// `device`, the disk it is a partition of, and the devices it is built on
// (device mapper, RAID), followed all the way down.
std::set<dev_t> devices_below(dev_t device) {
    return devices_reached(device, [](const std::string& base, std::vector<dev_t>& pending) {
        dev_t next = 0;
        if (exists(base + "/partition") && read_device_number(base + "/../dev", next)) pending.push_back(next);
        for (const std::string& slave : folder_names(base + "/slaves")) {
            if (read_device_number(base + "/slaves/" + slave + "/dev", next)) pending.push_back(next);
        }
    });
}

// `device`, its partitions, and the devices built on any of them.
std::set<dev_t> devices_above(dev_t device) {
    return devices_reached(device, [](const std::string& base, std::vector<dev_t>& pending) {
        dev_t next = 0;
        for (const std::string& name : folder_names(base)) {
            if (exists(base + "/" + name + "/partition") && read_device_number(base + "/" + name + "/dev", next)) {
                pending.push_back(next);
            }
        }
        for (const std::string& holder : folder_names(base + "/holders")) {
            if (read_device_number(base + "/holders/" + holder + "/dev", next)) pending.push_back(next);
        }
    });
}

// Whether `device` is a loop device backed by the file `image`.
bool loop_backed_by(dev_t device, const struct stat& image) {
    std::ifstream in(sys_block(device) + "/loop/backing_file");
    std::string backing;
    if (!std::getline(in, backing) || backing.empty()) return false;
    struct stat info {};
    return ::stat(backing.c_str(), &info) == 0 && info.st_dev == image.st_dev && info.st_ino == image.st_ino;
}

// The loop devices whose backing file is `image`.
std::vector<dev_t> loops_of(const struct stat& image) {
    std::vector<dev_t> loops;
    for (const std::string& name : folder_names("/sys/block")) {
        dev_t device = 0;
        if (name.starts_with("loop") && read_device_number("/sys/block/" + name + "/dev", device) &&
            loop_backed_by(device, image)) {
            loops.push_back(device);
        }
    }
    return loops;
}

// mountinfo writes spaces and the like as \040.
std::string unescape_mount_path(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3') {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

bool check_output_location(const std::string& source, const std::string& output_dir, std::string& error) {
    std::string existing = output_dir;
    struct stat folder {};
    while (::stat(existing.c_str(), &folder) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            error = "cannot use " + output_dir + " as the output folder: " + existing + ": " + std::strerror(errno);
            return false;
        }
        const size_t slash = existing.find_last_of('/', existing.find_last_not_of('/'));
        existing = slash == std::string::npos ? "." : slash == 0 ? "/" : existing.substr(0, slash);
    }
    if (!S_ISDIR(folder.st_mode)) {
        error = "cannot use " + output_dir + " as the output folder: " + existing + " is not a folder";
        return false;
    }
    if (::access(existing.c_str(), W_OK | X_OK) != 0) {
        error = "cannot write in " + existing + " (for the output folder " + output_dir + "): " + std::strerror(errno);
        return false;
    }
    struct stat from {};
    if (::stat(source.c_str(), &from) != 0) return true;  // the source check reports that
    for (dev_t device : devices_below(folder.st_dev)) {
        if (S_ISBLK(from.st_mode) && device == from.st_rdev) {
            const std::string on = device_name(folder.st_dev);
            error = output_dir + " is on " + on + (folder.st_dev == from.st_rdev ? "" : ", which is part of " + source) +
                    ": saving there would write to the disk being recovered; choose a folder on another disk";
            return false;
        }
        if (S_ISREG(from.st_mode) && loop_backed_by(device, from)) {
            error = output_dir + " is on " + device_name(folder.st_dev) + ", a file system inside " + source +
                    ": saving there would write into the image being recovered; choose a folder elsewhere";
            return false;
        }
    }
    return true;
}

std::vector<std::string> read_write_mounts(const std::string& source) {
    struct stat from {};
    if (::stat(source.c_str(), &from) != 0) return {};
    std::set<dev_t> devices;
    std::vector<dev_t> bases;
    if (S_ISBLK(from.st_mode)) bases.push_back(from.st_rdev);
    if (S_ISREG(from.st_mode)) bases = loops_of(from);
    for (dev_t base : bases) devices.merge(devices_above(base));
    if (devices.empty()) return {};

    std::vector<std::string> mounts;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, numbers, root, mount_point, options;
        if (!(fields >> id >> parent >> numbers >> root >> mount_point >> options)) continue;
        unsigned major_number = 0, minor_number = 0;
        if (std::sscanf(numbers.c_str(), "%u:%u", &major_number, &minor_number) != 2) continue;
        const dev_t device = makedev(major_number, minor_number);
        if (!devices.count(device) || !(options == "rw" || options.starts_with("rw,"))) continue;
        mounts.push_back(device_name(device) + " at " + unescape_mount_path(mount_point));
    }
    return mounts;
}

}  // namespace ostrel::cli

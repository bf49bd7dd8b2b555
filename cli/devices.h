// What the command finds out about the devices around a recovery: whether an
// output folder lies on the disk being recovered, and whether that disk is
// mounted read-write. On Linux through /sys/dev/block and
// /proc/self/mountinfo (devices_posix.cpp); on Windows through the volumes'
// serial numbers and disk extents, for sources named \\.\X: or
// \\.\PhysicalDriveN (devices_windows.cpp: Windows mounts no raw image
// file, so an image source is never "under" an output folder there).
#pragma once

#include <string>
#include <vector>

namespace ostrel::cli {

// Checks that recover may write below `output_dir` (which need not exist
// yet): its nearest existing folder is a writable folder, and it is not on
// `source` (the same block device, one of its partitions, a device built on
// either, or a file system inside the image file `source` through a loop
// device). False with a one-line `error`.
bool check_output_location(const std::string& source, const std::string& output_dir, std::string& error);

// One line for each mount of `source` (a block device, its partitions and
// what is built on them, or the loop devices backed by the image file
// `source`) that is mounted read-write: "/dev/sdb1 at /media/x".
std::vector<std::string> read_write_mounts(const std::string& source);

}  // namespace ostrel::cli

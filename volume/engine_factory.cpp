#include <new>

#include "core/recover_impl.h"
#include "exfat/exfat_recover.h"
#include "fat/fat_recover.h"
#include "ntfs/ntfs_recover.h"
#include "volume/volume_discovery.h"

namespace ostrel {

std::unique_ptr<recover_impl> make_volume_engine(int32_t type, int32_t d_scan, std::shared_ptr<const _boot_sector> boot,
                                                 uint64_t position) {
    switch (type) {
        case fs_fat16:
        case fs_fat32:
            return std::unique_ptr<recover_impl>(new (std::nothrow) fat_recover(d_scan, type, std::move(boot), position, true));
        case fs_ntfs:
            return std::unique_ptr<recover_impl>(new (std::nothrow) ntfs_recover(d_scan, std::move(boot), position, true));
        case fs_exfat:
            return std::unique_ptr<recover_impl>(new (std::nothrow) exfat_recover(d_scan, std::move(boot), position, true));
        default: return nullptr;
    }
}

}  // namespace ostrel

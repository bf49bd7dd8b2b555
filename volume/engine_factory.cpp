#include <new>

#include "core/recover_impl.h"
#include "volume/volume_discovery.h"

namespace ostrel {

std::unique_ptr<recover_impl> make_volume_engine(int32_t type, int32_t d_scan, std::shared_ptr<const _boot_sector> boot,
                                                 uint64_t position) {
    (void)d_scan, (void)boot, (void)position;
    switch (type) {
        default: return nullptr;
    }
}

}  // namespace ostrel

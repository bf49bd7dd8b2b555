#include "ntfs/fixup.h"

#include "volume/byte_view.h"

namespace ostrel {

namespace {

constexpr size_t update_sequence_offset_field = 0x04;  // u16
constexpr size_t first_sector_end = 0x1FE;
constexpr size_t second_sector_end = 0x3FE;

}  // namespace

uint32_t apply_fixup(std::span<uint8_t> record) {
    const size_t size = record.size();
    if (size <= 510 || record.data() == nullptr) return 0;
    const size_t array = byte_view(record).u16_or(update_sequence_offset_field);
    if (array > size - 6) return 0;
    // array + 5 < size, and every target below lies inside the record for the
    // sizes that select it.
    record[first_sector_end] = record[array + 2];
    if (size >= 1024) {
        record[first_sector_end + 1] = record[array + 3];
        record[second_sector_end] = record[array + 4];
        record[second_sector_end + 1] = record[array + 5];
    } else if (size == 1023) {
        record[first_sector_end + 1] = record[array + 3];
        record[second_sector_end] = record[array + 4];
    } else if (size >= 512) {
        record[first_sector_end + 1] = record[array + 3];
    }
    return static_cast<uint32_t>(array + 2);
}

}  // namespace ostrel

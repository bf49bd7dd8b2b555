#include "fat/fat_nodes.h"

#include "core/time_text.h"
#include "fat/dir_entry.h"

namespace ostrel {

tagFatBaseInfo tagFatBaseInfo::from_entry(byte_view entry) {
    tagFatBaseInfo info;
    info.attributes = entry[fat_entry_field::attributes];
    info.creation_ten_ms = entry[fat_entry_field::creation_ten_ms];
    info.creation_time = entry.u16_or(fat_entry_field::creation_time);
    info.creation_date = entry.u16_or(fat_entry_field::creation_date);
    info.access_date = entry.u16_or(fat_entry_field::access_date);
    info.write_time = entry.u16_or(fat_entry_field::write_time);
    info.write_date = entry.u16_or(fat_entry_field::write_date);
    return info;
}

void tagFatBaseInfo::describe(char16_t* created, char16_t* accessed, char16_t* modified) const {
    write_fat_time_text(created, creation_date, creation_time, creation_ten_ms);
    write_fat_time_text(accessed, access_date, 0);
    write_fat_time_text(modified, write_date, write_time, 0);
}

}  // namespace ostrel

// Naming the application behind a compound file (OLE2 structured storage).
//
// Word, Excel, PowerPoint and Outlook all store their documents as compound
// files with one signature, D0 CF 11 E0 A1 B1 1A E1; what tells them apart is
// the name of a stream in the file's directory. The sniffer reads the header,
// finds the first directory sector and compares the entries' names.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

inline constexpr uint8_t compound_file_signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// One sniff; the caller creates it with `first_call` set.
struct compound_sniff_state {
    bool first_call = true;               // cleared once the header has been taken
    uint32_t result = 0;                  // file_type found, 0 until something is found
    uint8_t header[512] = {};             // copy of the compound-file header
    int32_t last_sector_index = -1;       // last whole sector in the buffer after the header
    const uint8_t* directory_cursor = nullptr;  // directory entry being examined (in the buffer)
};

// Looks for the directory entries "WordDocument" (doc, 67), "Workbook" (xls,
// 65), "PowerPoint Document" (ppt, 69) and "__nameid_version1.0" (msg, 46).
//
// Returns false when it has finished: the buffer is not a compound file
// (result 0) or an entry decided the type. Returns true when the directory is
// not in the buffer, the version or sector size is not one it reads (result
// stays 0), or no entry matched (result 47). Callers read `state.result` in
// every case and treat anything but 67, 65, 69 and 46 as a plain compound file.
//
// A later call with `first_call` clear keeps the saved header and expects the
// buffer to hold the file from its start again, now perhaps longer. The buffer
// is only read, never past `size`.
bool sniff_compound_file(const uint8_t* buffer, size_t size, compound_sniff_state& state);

// Maps a sniff result to the code reported for a compound file: 67, 65, 69
// and 46 stand, anything else (0 included) is a plain compound file (47).
uint32_t compound_file_type(uint32_t sniff_result);

}  // namespace ostrel

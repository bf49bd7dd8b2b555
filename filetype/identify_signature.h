// Naming a block of raw data by its first bytes.
//
// The deep scan calls identify_signature for every unallocated 512-byte block
// that is not a file-system structure; a non-zero result starts a carved file
// there and the extension ends the carved file's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrel {

// Runs the ordered chain of signature tests (executable, images, documents,
// video, audio, archives, short magic numbers, text, zero block) and returns
// the first hit's file_type code, with its extension assigned to `extension`.
// A block whose first 512 bytes are all zero gives 126 and an empty
// extension; nothing identified gives 0 and a cleared extension.
//
// `size` is the number of valid bytes from `buffer`. Every rule was laid out
// for a whole sector, so a null buffer or fewer than 512 bytes is not
// identified (0). Rules that look past the first sector (the ZIP and
// compound-file walkers, the frame-length check of ADTS audio, the text
// searches over the first 2048 bytes) stay inside `size`.
//
// `bytes_beyond`, when given, is set to 0 and then only the ZIP walker changes
// it: how many bytes the archive extends past the buffer. When it is null a
// ZIP archive's central directory may be consulted instead.
//
// The buffer is only read.
uint32_t identify_signature(const uint8_t* buffer, size_t size, uint32_t* bytes_beyond, std::u16string& extension);

}  // namespace ostrel

// Naming a ZIP archive or compound file found through file-system records.
//
// After the deep scan, carved ZIP and compound files are looked at again as
// whole files to tell, for example, a docx from a plain zip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrel {

// For a buffer starting with a ZIP local header: the ZIP-based format its
// members name (odp, ods, odg, epub, xlsx, docx, pptx, xmind, jar, apk, war,
// mmap) or zip (111); the central directory is consulted when the members
// alone do not tell. For a buffer starting with the compound-file signature:
// doc, xls, ppt, msg, or $ms-compound-file (47). The extension is assigned as
// identify_signature assigns it for the same code.
//
// Returns 0 and leaves `extension` untouched for a null or empty buffer or one
// that starts with neither signature. Reads stay inside `size`.
uint32_t identify_container(const uint8_t* buffer, size_t size, std::u16string& extension);

}  // namespace ostrel

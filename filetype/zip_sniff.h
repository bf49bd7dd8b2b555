// Naming the format inside a ZIP archive.
//
// Office Open XML documents, OpenDocument files, EPUB books, Java and Android
// packages and several other formats are ZIP archives with one signature,
// 50 4B 03 04. They are told apart by their member names and, for
// OpenDocument and EPUB, by the text of their first member "mimetype".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ostrel {

// Walks the local headers from the start of the buffer and names the archive:
// 32 odp, 33 ods, 34 odg, 35 epub, 66 xlsx, 68 docx, 70 pptx, 121 xmind,
// 122 jar, 123 apk, 124 war, 125 mmap, or 111 for a plain zip; 0 when the
// buffer does not start with a local header.
//
// `bytes_beyond`, when given, receives how many bytes the archive is thought
// to extend past the buffer (512 when that cannot be told). When it is null
// the central directory is consulted as a last resort instead.
// Reads stay inside [buffer, buffer + size) whatever the headers say.
uint32_t sniff_zip_entries(const uint8_t* buffer, size_t size, uint32_t* bytes_beyond);

// The code one member name stands for (docx, xlsx, pptx, apk, jar, war or
// mmap), or 0. Whole names, ASCII letters compared without case.
uint32_t classify_zip_member(std::string_view name);

// Finds the end-of-central-directory record (searching back from the end of
// the buffer) and names the archive from the central directory's member
// names: the codes of sniff_zip_entries, 111 by default, or 0 when the buffer
// holds no end record.
uint32_t sniff_zip_directory(const uint8_t* buffer, size_t size);

// Maps a walker result to the code reported for a ZIP archive: the ZIP-based
// formats stand, anything else (0 included) is a plain zip (111).
uint32_t zip_file_type(uint32_t sniff_result);

}  // namespace ostrel

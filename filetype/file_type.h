// File type codes and their extensions.
//
// Type identification names a block of data with an unsigned 32-bit code and
// a lower-case extension (UTF-16, no dot) that later ends the name of a carved
// file. Codes are grouped: 1-28 images, 29-78 documents, scripts, databases,
// mail stores and miscellaneous files, 79-88 audio, 91-110 video, 111-125
// archives and ZIP-based formats, 126 the all-zero block. Gaps are never
// produced.
#pragma once

#include <cstdint>
#include <string_view>

namespace ostrel {

namespace file_type {
inline constexpr uint32_t
    none = 0,
    // Images.
    png = 1, jpg = 2, bmp = 3, ico = 4, cur = 5, gif = 6, tiff = 7, dwg = 8, psd = 9, svg = 10,
    cr2 = 11, xwd = 12, dds = 13, exr = 14, hdr = 15, heic = 16, heif = 17, jp2 = 18, mng = 19,
    pbm = 20, pgm = 21, ppm = 22, pcx = 23, raf = 24, ras = 25, tga = 26, webp = 27, xpm = 28,
    // Documents, scripts, databases, mail stores and miscellaneous files.
    pl = 29, sh = 30, h = 31, odp = 32, ods = 33, odg = 34, epub = 35, db = 36, snb = 37,
    azw3 = 38, mobi = 39, pdb = 40, rtf = 41, mdb = 42, pst = 43, wab = 44, dbx = 45, msg = 46,
    compound_file = 47,  // a compound file whose streams name no known application
    exe = 48,            // extension "exe", or "dll" when the image says it is a library
    pdf = 49, xml = 50, html = 51, eml = 52, chm = 53, gitignore = 54, cnt = 55, emf = 56,
    evt = 57, hlp = 58, hqx = 59, lnk = 60, reg = 61, eps = 62, cab = 63, hap = 64, xls = 65,
    xlsx = 66, doc = 67, docx = 68, ppt = 69, pptx = 70, psp = 71, rpm = 72, dtd = 73, mid = 74,
    ram = 76, au = 77, wmf = 78,
    // Audio.
    wav = 79, mp3 = 80, m4a = 83, flac = 84, eight_svx = 85, aac = 86, aiff = 87, nist = 88,
    // Video.
    avi = 91, flv = 92, hevc = 94, m2ts = 95, mpg = 96, m4v = 97, mkv = 98, mov = 99, mp4 = 100,
    mts = 101, mxf = 102, ogv = 103, rm = 104, swf = 105, vob = 106, webm = 107, wmv = 108,
    wtv = 109, mjpeg = 110,
    // Archives and ZIP-based formats.
    zip = 111, seven_zip = 112, bz2 = 113, alz = 114, ar = 115, egg = 116, lzh = 118, rar = 119,
    xmind = 121, jar = 122, apk = 123, war = 124, mmap = 125,
    // A block whose first 512 bytes are all zero; it never starts a carved file.
    zero_block = 126;
inline constexpr uint32_t last_code = zero_block;
}  // namespace file_type

// The extension that goes with `code`: empty for 0, 126 and codes that are
// never produced. Code 48 gives "exe"; only identify_signature, which sees the
// image header, can tell a "dll".
std::u16string_view file_type_extension(uint32_t code);

}  // namespace ostrel

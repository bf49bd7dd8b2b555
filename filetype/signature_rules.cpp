#include "filetype/signature_rules.h"

#include <algorithm>
#include <initializer_list>

#include "filetype/compound_file.h"
#include "filetype/file_type.h"
#include "filetype/zip_sniff.h"

namespace ostrel {

namespace {

using namespace std::string_view_literals;

// ---------------------------------------------------------------------------
// Reading the block. Offsets below 512 need no check: every block holds at
// least that many bytes.

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint32_t be32(const uint8_t* p) { return uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24; }

bool starts(const uint8_t* p, std::string_view bytes) { return std::memcmp(p, bytes.data(), bytes.size()) == 0; }

bool all_zero(const uint8_t* p, size_t n) {
    uint8_t any = 0;
    for (size_t i = 0; i < n; ++i) any |= p[i];
    return any == 0;
}

uint8_t fold_ascii(uint8_t c) { return (c >= 'A' && c <= 'Z') ? uint8_t(c + 32) : c; }

// ASCII comparison without case over the text's length. The texts hold no
// NUL, so a NUL in the block is simply a mismatch.
bool equal_ignoring_case(const uint8_t* p, std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (fold_ascii(p[i]) != fold_ascii(uint8_t(text[i]))) return false;
    }
    return true;
}

// Signatures written as hex text, "1A 45 DF A3", turned into bytes at compile time.
template <size_t N>
struct hex_bytes {
    char bytes[N / 3 + 1] = {};
    size_t size = 0;
    constexpr operator std::string_view() const { return {bytes, size}; }
};

consteval int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw "not a hex digit";
}

template <size_t N>
consteval hex_bytes<N> hex(const char (&text)[N]) {
    hex_bytes<N> out;
    for (size_t i = 0; i + 1 < N; i += 3) {
        out.bytes[out.size++] = char(hex_digit(text[i]) << 4 | hex_digit(text[i + 1]));
        if (i + 2 < N - 1 && text[i + 2] != ' ') throw "bytes are separated by one space";
    }
    return out;
}

// ---------------------------------------------------------------------------
// Signatures longer than a word or two.

constexpr auto jp2_signature = hex("00 00 00 0C 6A 50 20 20 0D 0A 87 0A");
constexpr auto ras_signature = hex("59 A6 6A 95");
constexpr auto cr2_signature = hex("49 49 2A 00");
constexpr auto exr_signature = hex("76 2F 31 01 02 00 00 00 63 68 61 6E 6E 65 6C 73 00");  // ...channels\0
constexpr auto mng_signature = hex("8A 4D 4E 47 0D 0A 1A 0A");
constexpr auto png_signature = hex("89 50 4E 47 0D 0A 1A 0A");

constexpr auto xml_utf16_signature = hex("FF FE 3C 00 52 00 4F 00 4F 00 54 00 53 00 54 00 55 00 42 00");
constexpr auto html_bom_signature = hex("EF BB BF 3C 21 44 4F 43 54 59 50 45 20 68 74 6D 6C");
constexpr auto dbx_signature_1 = hex("CF AD 12 FE C5 FD 74 6F 66 E3 D1 11 9A 4E 00 C0");
constexpr auto dbx_signature_2 = hex("CF AD 12 FE C6 FD 74 6F 66 E3 D1 11 9A 4E 00 C0");
constexpr auto dbx_signature_3 = hex("4A 4D 46 36 03 00 01 00");
constexpr auto wab_signature = hex("9C CB CB 8D 13 75 D2 11 91 58 00 C0 4F 79 56 A4");
constexpr auto rtf1_signature = hex("7B 5C 72 74 66 31 20");

constexpr auto wmv_signature = hex("30 26 B2 75 8E 66 CF 11 A6 D9 00 AA 00 62 CE 6C");
// The EBML header of a WebM file up to the segment ID: 47 bytes.
constexpr auto webm_signature = hex(
    "1A 45 DF A3 01 00 00 00 00 00 00 1F 42 86 81 01 42 F7 81 01 42 F2 81 04 "
    "42 F3 81 08 42 82 84 77 65 62 6D 42 87 81 04 42 85 81 02 18 53 80 67");
constexpr auto rm_signature = hex("2E 52 4D 46 00 00 00 12 00 00 00 00 00 00 00 00");
constexpr auto wtv_signature = hex(
    "B7 D8 00 20 37 49 DA 11 A6 4E 00 07 E9 5E AD 8D 8C C3 D2 C2 7E 9A DA 11 "
    "8B F7 00 07 E9 5E AD 8D 01 00 00 00 02 00 00 00 00 10 00 00 00 00 04 00");
constexpr auto vob_signature = hex(
    "00 00 01 BA 44 00 04 00 04 01 86 66 CF F8 00 00 01 BB 00 09 C3 33 67 00 21 FF E0 E0 E6 00 00 01");
constexpr auto hevc_signature = hex("00 00 00 01 40 01 0C 01 FF FF 01 60 00 00 03 00 90 00 00 03 00 00 03 00");
constexpr auto m2ts_signature = hex(
    "0D 9E E2 02 47 40 11 10 00 42 F0 25 00 01 C1 00 00 FF 01 FF 00 01 FC 80 "
    "14 48 12 01 06 46 46 6D 70 65 67 09 53 65 72 76 69 63 65 30 31 77 7C 43");
constexpr auto mkv_signature = hex("1A 45 DF A3 01 00 00 00 00 00 00 23 42 86 81 01 42 F7 81 01 42 F2 81 04");
constexpr auto mts_signature = hex(
    "47 40 11 10 00 42 F0 25 00 01 C1 00 00 FF 01 FF 00 01 FC 80 14 48 12 01 06 46 46 6D 70 65 67 09");
constexpr auto mxf_signature = hex(
    "06 0E 2B 34 02 05 01 01 0D 01 02 01 01 02 04 00 68 00 01 00 02 00 00 02 00 00 00 00 00 00 00 00");
constexpr auto ogv_signature = hex("4F 67 67 53 00 02 00 00");

constexpr auto flac_signature = hex("66 4C 61 43 00 00 00 22 12 00 12 00 00");

constexpr auto rpm_signature = hex("ED AB EE DB");
constexpr auto rar4_signature = hex("52 61 72 21 1A 07 00");
constexpr auto rar5_signature = hex("52 61 72 21 1A 07 01");
constexpr auto zip_end_signature = hex("50 4B 05 06");
constexpr auto seven_zip_signature = hex("37 7A BC AF 27 1C");
constexpr auto alz_signature = hex("41 4C 5A 01");

constexpr auto wmf_signature = hex("D7 CD C6 9A");
constexpr auto ram_signature = hex("2E 72 61 FD");
constexpr auto lnk_signature = hex("4C 00 00 00 01 14 02");
constexpr auto hlp_signature = hex("3F 5F 03 00");
constexpr auto psp_signature = hex("7E 42 4B 00");
constexpr auto pcx_signature = hex("0A 05 01 08");
constexpr auto emf_signature = hex("01 00 00 00 58 00 00 00");
constexpr auto evt_signature = hex("03 00 00 00 C4 66 C4 56");
constexpr auto hap_signature = hex("91 33 48 46");
constexpr auto xls_signature_1 = hex("09 02 06 00 00 00 10 00 B9 04 5C 00");
constexpr auto xls_signature_2 = hex("09 04 06 00 00 00 10 00 F6 05 5C 00");
constexpr auto doc_signature_1 = hex("7F FE 34 0A");
constexpr auto doc_signature_2 = hex("12 34 56 78 90 FF");
constexpr auto doc_signature_3 = hex("31 BE 00 00 00 AB 00 00");

static_assert(std::string_view(webm_signature).size() == 47);
static_assert(std::string_view(wtv_signature).size() == 48);
static_assert(std::string_view(m2ts_signature).size() == 48);
static_assert(std::string_view(vob_signature).size() == 32);
static_assert(std::string_view(mts_signature).size() == 32);
static_assert(std::string_view(mxf_signature).size() == 32);
static_assert(std::string_view(m2ts_signature).substr(4, 32) == std::string_view(mts_signature));

// ---------------------------------------------------------------------------
// Executable.

uint32_t test_executable(signature_block& b) {
    const uint8_t* d = b.data;
    if (b.size < 64 || d[0] != 'M' || d[1] != 'Z') return 0;
    const uint32_t new_header = le32(d + 60);
    if (new_header <= 64) return 0;
    if (!equal_ignoring_case(d + 78, "This program cannot be run in DOS mode.\r\r\n$")) return 0;
    // The characteristics word of the file header says "library"; it is read
    // only when the buffer holds the whole optional header behind it.
    b.dll = b.size > uint64_t(new_header) + 248 && (le16(d + new_header + 22) & 0x2000) != 0;
    return file_type::exe;
}

// ---------------------------------------------------------------------------
// Images.

// A JPEG is recognised only by an APP0 segment (FF D8 FF E0); the names at
// offset 6 tell JFIF and Exif-in-APP0 from AVI1 (motion JPEG) and a TIFF
// wrapped in APP0. Any other first segment is not a JPEG for this chain.
uint32_t test_jpeg(signature_block& b) {
    const uint8_t* d = b.data;
    if (d[0] != 0xFF || d[1] != 0xD8 || d[2] != 0xFF || d[3] != 0xE0) return 0;
    if (starts(d + 6, "JFIF"sv) || starts(d + 6, "qExif"sv)) return file_type::jpg;
    if (starts(d + 6, "AVI1\0"sv)) return file_type::mjpeg;
    if (starts(d + 6, "TIFF\0"sv)) return file_type::tiff;
    if (d[6] == 'J' && d[7] == 'F' && d[10] == 0) return file_type::jpg;
    return 0;
}

uint32_t test_bmp(signature_block& b) {
    const uint8_t* d = b.data;
    return d[0] == 'B' && d[1] == 'M' && le32(d + 2) > 14 && le32(d + 6) == 0 ? file_type::bmp : 0;
}

// Icon and cursor files: a directory of images whose first entry has equal
// width and height, a multiple of 16.
bool is_icon_directory(const uint8_t* d, uint8_t kind) {
    if (d[0] != 0 || d[1] != 0 || d[2] != kind || d[3] != 0) return false;
    if (d[6] != d[7] || d[6] < 16 || d[6] % 16 != 0) return false;
    return d[8] == 0 || d[8] == 16 || d[8] == 2;
}
uint32_t test_ico(signature_block& b) { return is_icon_directory(b.data, 1) ? file_type::ico : 0; }
uint32_t test_cur(signature_block& b) { return is_icon_directory(b.data, 2) ? file_type::cur : 0; }

uint32_t test_psd(signature_block& b) {
    const uint8_t* d = b.data;
    if (b.size < 26 || !starts(d, "8BPS\0\1"sv) || !all_zero(d + 6, 6)) return 0;
    return be32(d + 14) != 0 && be32(d + 18) != 0 ? file_type::psd : 0;
}

// The lowest bit of the first directory offset must be clear; a little-endian
// file with an odd offset is left to the cr2 rule further down.
uint32_t test_tiff(signature_block& b) {
    const uint8_t* d = b.data;
    if (b.size <= 8) return 0;
    if (d[0] == 'M' && d[1] == 'M' && d[2] == 0 && d[3] == 42 && (d[7] & 1) == 0) return file_type::tiff;
    if (d[0] == 'I' && d[1] == 'I' && d[2] == 42 && d[3] == 0 && (d[4] & 1) == 0) return file_type::tiff;
    return 0;
}

// Targa has no signature: the header's fields must agree with each other.
// Byte 0 is the free-form ID length, so this rule is tried for every block.
uint32_t test_targa(signature_block& b) {
    const uint8_t* d = b.data;
    const uint8_t image_type = d[2];
    if (image_type != 1 && image_type != 2 && image_type != 3 && image_type != 9 && image_type != 10 &&
        image_type != 11) {
        return 0;
    }
    const uint8_t depth = d[16];
    const uint8_t descriptor = d[17];
    if (descriptor & 0x10) return 0;
    const uint8_t alpha_bits = descriptor & 0x0F;
    if (depth == 16) {
        if (alpha_bits > 1) return 0;
    } else if (depth == 24) {
        if (alpha_bits != 0) return 0;
    } else if (depth == 32) {
        if (alpha_bits != 8) return 0;
    } else {
        return 0;
    }
    if (le16(d + 8) != 0 || le16(d + 10) != 0 || le16(d + 12) == 0 || le16(d + 14) == 0) return 0;
    if (d[1] == 0) {
        // No colour map: its fields are all zero, and the image is true-colour or grey.
        if (le16(d + 3) != 0 || le16(d + 5) != 0 || d[7] != 0) return 0;
        if (image_type != 2 && image_type != 3 && image_type != 10 && image_type != 11) return 0;
    } else {
        if (le16(d + 3) == 0 || le16(d + 5) == 0 || d[7] != depth) return 0;
        if (image_type != 1 && image_type != 9) return 0;
    }
    return file_type::tga;
}

uint32_t test_gif(signature_block& b) {
    return starts(b.data, "GIF89a"sv) || starts(b.data, "GIF87a"sv) ? file_type::gif : 0;
}

uint32_t test_webp(signature_block& b) {
    return b.size > 12 && starts(b.data, "RIFF"sv) && starts(b.data + 8, "WEBP"sv) ? file_type::webp : 0;
}

bool is_ftyp_box_24(const uint8_t* d) { return starts(d, "\0\0\0\x18" "ftyp"sv) && all_zero(d + 12, 4); }

uint32_t test_heif(signature_block& b) {
    const uint8_t* d = b.data;
    if (!is_ftyp_box_24(d)) return 0;
    return starts(d + 8, "mif1"sv) || starts(d + 8, "msf1"sv) ? file_type::heif : 0;
}

uint32_t test_heic(signature_block& b) {
    const uint8_t* d = b.data;
    if (!is_ftyp_box_24(d)) return 0;
    for (std::string_view brand : {"heic"sv, "heis"sv, "heix"sv, "hevc"sv, "hevx"sv}) {
        if (starts(d + 8, brand)) return file_type::heic;
    }
    return 0;
}

uint32_t test_xwd(signature_block& b) {
    const uint8_t* d = b.data;
    if (b.size < 100 || be32(d + 4) != 7) return 0;
    const uint32_t header_size = be32(d);
    if (header_size != 100 && header_size != 104) return 0;
    if (be32(d + 16) == 0 || be32(d + 20) == 0 || be32(d + 12) == 0) return 0;
    return be32(d + 8) <= 2 && be32(d + 52) <= 5 ? file_type::xwd : 0;
}

uint32_t test_dds_or_pcx(signature_block& b) {
    const uint8_t* d = b.data;
    if (b.size < 128) return 0;
    if (le32(d) == 0x20534444 && le32(d + 4) == 124 && le32(d + 16) != 0 && le32(d + 12) != 0) {
        return file_type::dds;
    }
    const bool pcx_version = d[1] == 0 || (d[1] >= 2 && d[1] <= 5);
    if (d[0] == 0x0A && pcx_version && d[2] == 1 && d[64] == 0 && all_zero(d + 74, 54)) return file_type::pcx;
    return 0;
}

// Portable anymap: "P1".."P6", a newline, then one line "width height" whose
// two parts are 1 to 8 bytes each, split by exactly one space.
uint32_t test_anymap(signature_block& b) {
    const uint8_t* d = b.data;
    if (d[0] != 'P' || d[1] < '1' || d[1] > '6' || d[2] != 0x0A) return 0;
    constexpr size_t line_start = 3;
    constexpr size_t part_max = 8;
    // A longer line cannot satisfy the part lengths, so the search for its
    // end stops after 8 + 1 + 8 bytes.
    const size_t limit = std::min(b.size, line_start + part_max + 1 + part_max + 1);
    size_t end = line_start;
    while (end < limit && d[end] != 0x0A) ++end;
    if (end == limit) return 0;

    size_t space = 0;
    size_t spaces = 0;
    for (size_t i = line_start; i < end; ++i) {
        if (d[i] == ' ') {
            space = i;
            ++spaces;
        }
    }
    if (spaces != 1) return 0;
    const size_t first_length = space - line_start;
    const size_t second_length = end - space - 1;
    if (first_length < 1 || first_length > part_max || second_length < 1 || second_length > part_max) return 0;
    if (all_zero(d + line_start, first_length) || all_zero(d + space + 1, second_length)) return 0;
    switch (d[1]) {
        case '1': case '4': return file_type::pbm;
        case '2': case '5': return file_type::pgm;
        default: return file_type::ppm;
    }
}

// ---------------------------------------------------------------------------
// Documents.

// Once the compound-file signature is there the rule always answers, with
// the application the directory names or a plain compound file.
uint32_t test_compound_file(signature_block& b) {
    if (!starts(b.data, std::string_view(reinterpret_cast<const char*>(compound_file_signature), 8))) return 0;
    compound_sniff_state state;
    sniff_compound_file(b.data, b.size, state);
    return compound_file_type(state.result);
}

// E-book databases: "Sway", 32 zero bytes, the same 4-byte value twice, 4 zero bytes.
uint32_t test_ebook_database(signature_block& b) {
    const uint8_t* d = b.data;
    if (!starts(d, "Sway"sv) || !all_zero(d + 4, 32) || !all_zero(d + 44, 4)) return 0;
    if (!std::equal(d + 36, d + 40, d + 40)) return 0;
    if (starts(d + 36, "\x5D\xEB\x0E\xE4"sv)) return file_type::azw3;
    if (starts(d + 36, "\x5D\xEB\x0E\xE3"sv)) return file_type::mobi;
    if (starts(d + 36, "\x5D\xEB\x0E\xEB"sv)) return file_type::pdb;
    return 0;
}

// Byte 0 belongs to the version word, so this rule is tried for every block.
uint32_t test_mdb(signature_block& b) {
    return b.data[4] == 'S' && starts(b.data + 4, "Standard Jet DB"sv) ? file_type::mdb : 0;
}

uint32_t test_pst(signature_block& b) {
    const uint8_t* d = b.data;
    if (!starts(d, "!BDN"sv) || d[8] != 'S' || d[9] != 'M') return 0;
    if (d[10] != 0x17 && d[10] != 0x0E && d[10] != 0x0F) return 0;
    return d[11] == 0 && d[14] == 1 && d[15] == 1 && le32(d + 16) == 0 && le32(d + 20) == 0 ? file_type::pst : 0;
}

// ---------------------------------------------------------------------------
// Video.

uint32_t test_avi(signature_block& b) {
    return starts(b.data, "RIFF"sv) && starts(b.data + 8, "AVI "sv) ? file_type::avi : 0;
}

uint32_t test_flv(signature_block& b) {
    const uint8_t* d = b.data;
    return starts(d, "FLV\1"sv) && (d[4] & 5) != 0 && all_zero(d + 5, 3) && d[8] == 9 ? file_type::flv : 0;
}

// An ISO media file: a first box of more than 16 bytes named "ftyp" in any
// case. Byte 0 is part of the box size, so this rule is tried for every block.
uint32_t test_iso_media(signature_block& b) {
    const uint8_t* d = b.data;
    if (int32_t(le32(d)) <= 16 || !equal_ignoring_case(d + 4, "ftyp")) return 0;
    if (d[8] == 'M') {
        if (starts(d + 9, "4A "sv)) return file_type::m4a;
        if (starts(d + 9, "4V "sv)) return file_type::m4v;
        if (starts(d + 9, "OOV"sv)) return file_type::mov;
    }
    return file_type::mp4;
}

uint32_t test_swf(signature_block& b) {
    const uint8_t* d = b.data;
    if ((d[0] != 'F' && d[0] != 'C') || d[1] != 'W' || d[2] != 'S' || d[3] < 1 || d[3] > 32) return 0;
    const uint32_t length = le32(d + 4);
    return length >= 1 && length <= 0x9FFFFF ? file_type::swf : 0;
}

uint32_t test_mpeg_program(signature_block& b) {
    const uint8_t* d = b.data;
    if (d[0] != 0 || d[1] != 0 || d[2] != 1 || (d[3] != 0xBA && d[3] != 0xB3)) return 0;
    return d[14] == 0 && d[15] == 0 && d[16] == 1 && d[17] == 0xBB ? file_type::mpg : 0;
}

// ---------------------------------------------------------------------------
// Audio.

uint32_t test_mp3(signature_block& b) {
    const uint8_t* d = b.data;
    return starts(d, "ID3"sv) && (d[3] == 3 || d[3] == 4) && d[4] == 0 ? file_type::mp3 : 0;
}

uint32_t test_wav(signature_block& b) {
    return starts(b.data, "RIFF"sv) && starts(b.data + 8, "WAVEfmt "sv) ? file_type::wav : 0;
}

uint32_t test_8svx(signature_block& b) {
    return starts(b.data, "FORM"sv) && starts(b.data + 8, "8SVXVHDR"sv) ? file_type::eight_svx : 0;
}

uint32_t test_aiff(signature_block& b) {
    return starts(b.data, "FORM"sv) && starts(b.data + 8, "AIFFCOMM"sv) ? file_type::aiff : 0;
}

// ADTS has only a 12-bit sync word, so a second frame header must follow the
// first at the distance its length field gives.
uint32_t test_adts(signature_block& b) {
    const uint8_t* d = b.data;
    if (b.size < 512 || d[0] != 0xFF || (d[1] & 0xF0) != 0xF0 || (d[1] & 0x06) != 0 || (d[3] & 0x3C) != 0) return 0;
    const size_t frame_length = size_t(d[3] & 3) << 11 | size_t(d[4]) << 3 | size_t(d[5]) >> 5;
    const size_t header_length = (d[1] & 1) ? 7 : 9;  // without or with CRC
    if (frame_length <= header_length || frame_length + 7 >= b.size) return 0;
    const uint8_t* next = d + frame_length;
    return next[0] == 0xFF && (next[1] & 0xF6) == 0xF0 && (next[3] & 0x3C) == 0 ? file_type::aac : 0;
}

// ---------------------------------------------------------------------------
// Archives.

// Once the local-header signature is there the rule always answers: a
// ZIP-based format the walker names, or a plain zip.
uint32_t test_zip(signature_block& b) {
    if (!starts(b.data, "PK\3\4"sv)) return 0;
    return zip_file_type(sniff_zip_entries(b.data, b.size, b.bytes_beyond));
}

uint32_t test_cab(signature_block& b) {
    const uint8_t* d = b.data;
    if (!starts(d, "MSCF"sv)) return 0;
    return le32(d + 4) == 0 && le32(d + 8) != 0 && le32(d + 12) == 0 && le32(d + 20) == 0 ? file_type::cab : 0;
}

// LHA: "-lh?-" or "-lz?-" at offset 2, after the header size and checksum.
uint32_t test_lzh(signature_block& b) {
    const uint8_t* d = b.data;
    if (d[2] != '-' || d[3] != 'l' || d[6] != '-' || (d[4] != 'h' && d[4] != 'z')) return 0;
    const bool method = (d[5] >= '0' && d[5] <= '7') || d[5] == 's' || d[5] == 'd';
    return method && d[0] != 0 && d[21] != 0 && d[20] == 0 ? file_type::lzh : 0;
}

uint32_t test_rpm(signature_block& b) {
    const uint8_t* d = b.data;
    if (!starts(d, rpm_signature)) return 0;
    const uint16_t kind = le16(d + 6);
    return (kind == 0 || kind == 1) && d[10] != 0 && all_zero(d + 80, 16) ? file_type::rpm : 0;
}

// ---------------------------------------------------------------------------
// Text. The block is read as one NUL-terminated string of at most 2048
// bytes: the string ends at the first NUL or at offset min(size - 1, 2048),
// the byte that a terminator would overwrite. The block itself is not touched.

constexpr size_t text_limit = 2048;

std::string_view block_text(const signature_block& b) {
    const size_t end = std::min(b.size - 1, text_limit);
    const void* nul = std::memchr(b.data, 0, end);
    const size_t length = nul ? size_t(static_cast<const uint8_t*>(nul) - b.data) : end;
    return {reinterpret_cast<const char*>(b.data), length};
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

uint32_t test_svg(signature_block& b) {
    if (!equal_ignoring_case(b.data, "<?xml ")) return 0;
    return contains(block_text(b), "<svg ") ? file_type::svg : 0;
}

// A Word document saved as a MIME web archive.
uint32_t test_mime_word(signature_block& b) {
    if (!equal_ignoring_case(b.data, "Date:")) return 0;
    const std::string_view text = block_text(b);
    if (!contains(text, "MIME-Version: 1.0\r\n")) return 0;
    return contains(text, "urn:schemas-microsoft-com:office:office") ||
                   contains(text, "schemas-microsoft-com:office:word")
               ? file_type::doc
               : 0;
}

uint32_t test_eml(signature_block& b) {
    if (!equal_ignoring_case(b.data, "Received: from ")) return 0;
    return contains(block_text(b), " with SMTP id ") ? file_type::eml : 0;
}

uint32_t test_zero_block(signature_block& b) {
    return all_zero(b.data, signature_block_min_bytes) ? file_type::zero_block : 0;
}

// ---------------------------------------------------------------------------
// The chain.

constexpr first_byte_set any_byte() {
    first_byte_set s;
    for (auto& word : s.bits) word = ~uint64_t(0);
    return s;
}

constexpr first_byte_set any_byte_but(uint8_t excluded) {
    first_byte_set s = any_byte();
    s.bits[excluded >> 6] &= ~(uint64_t(1) << (excluded & 63));
    return s;
}

constexpr first_byte_set bytes(std::initializer_list<uint8_t> values) {
    first_byte_set s;
    for (uint8_t v : values) s.add(v);
    return s;
}

constexpr signature_rule prefix(signature_stage stage, std::string_view bytes_at_0, uint32_t code) {
    return {stage, nullptr, bytes_at_0, code, first_byte_set().add(uint8_t(bytes_at_0[0]))};
}

constexpr signature_rule custom(signature_stage stage, uint32_t (*test)(signature_block&), first_byte_set first) {
    return {stage, test, {}, 0, first};
}

using st = signature_stage;
namespace ft = file_type;

constexpr signature_rule chain[] = {
    custom(st::executable, test_executable, bytes({'M'})),

    prefix(st::image, png_signature, ft::png),
    custom(st::image, test_jpeg, bytes({0xFF})),
    custom(st::image, test_bmp, bytes({'B'})),
    custom(st::image, test_ico, bytes({0x00})),
    custom(st::image, test_cur, bytes({0x00})),
    custom(st::image, test_psd, bytes({'8'})),
    custom(st::image, test_tiff, bytes({'M', 'I'})),
    custom(st::image, test_targa, any_byte()),
    custom(st::image, test_gif, bytes({'G'})),
    prefix(st::image, jp2_signature, ft::jp2),
    custom(st::image, test_webp, bytes({'R'})),
    prefix(st::image, "AC10"sv, ft::dwg),
    prefix(st::image, "FUJIFILM"sv, ft::raf),
    prefix(st::image, ras_signature, ft::ras),
    prefix(st::image, cr2_signature, ft::cr2),
    prefix(st::image, exr_signature, ft::exr),
    prefix(st::image, "#?RGBE\n"sv, ft::hdr),
    custom(st::image, test_heif, bytes({0x00})),
    custom(st::image, test_heic, bytes({0x00})),
    prefix(st::image, "/* XPM */\n"sv, ft::xpm),
    custom(st::image, test_xwd, bytes({0x00})),
    custom(st::image, test_dds_or_pcx, bytes({'D', 0x0A})),
    prefix(st::image, mng_signature, ft::mng),
    custom(st::image, test_anymap, bytes({'P'})),

    custom(st::document, test_compound_file, bytes({0xD0})),
    prefix(st::document, "%PDF-1."sv, ft::pdf),
    prefix(st::document, "<?xml "sv, ft::xml),
    prefix(st::document, xml_utf16_signature, ft::xml),
    prefix(st::document, "<html>"sv, ft::html),
    prefix(st::document, "<HTML>"sv, ft::html),
    prefix(st::document, "<!DOCTYPE html"sv, ft::html),
    prefix(st::document, html_bom_signature, ft::html),
    prefix(st::document, dbx_signature_1, ft::dbx),
    prefix(st::document, dbx_signature_2, ft::dbx),
    prefix(st::document, dbx_signature_3, ft::dbx),
    prefix(st::document, wab_signature, ft::wab),
    prefix(st::document, "#!/usr/bin/perl\n"sv, ft::pl),
    prefix(st::document, "#!/bin/bash\n"sv, ft::sh),
    prefix(st::document, "#pragma once\n"sv, ft::h),
    prefix(st::document, "SQLite format "sv, ft::db),
    prefix(st::document, rtf1_signature, ft::rtf),
    prefix(st::document, "SNBP000B"sv, ft::snb),
    custom(st::document, test_ebook_database, bytes({'S'})),
    custom(st::document, test_mdb, any_byte()),
    custom(st::document, test_pst, bytes({'!'})),

    custom(st::video, test_avi, bytes({'R'})),
    custom(st::video, test_flv, bytes({'F'})),
    custom(st::video, test_iso_media, any_byte()),
    prefix(st::video, wmv_signature, ft::wmv),
    prefix(st::video, webm_signature, ft::webm),
    prefix(st::video, rm_signature, ft::rm),
    prefix(st::video, wtv_signature, ft::wtv),
    custom(st::video, test_swf, bytes({'F', 'C'})),
    prefix(st::video, vob_signature, ft::vob),
    prefix(st::video, hevc_signature, ft::hevc),
    prefix(st::video, m2ts_signature, ft::m2ts),
    prefix(st::video, mkv_signature, ft::mkv),
    prefix(st::video, mts_signature, ft::mts),
    prefix(st::video, mxf_signature, ft::mxf),
    prefix(st::video, ogv_signature, ft::ogv),
    custom(st::video, test_mpeg_program, bytes({0x00})),

    custom(st::audio, test_mp3, bytes({'I'})),
    custom(st::audio, test_wav, bytes({'R'})),
    prefix(st::audio, flac_signature, ft::flac),
    custom(st::audio, test_8svx, bytes({'F'})),
    custom(st::audio, test_aiff, bytes({'F'})),
    prefix(st::audio, "NIST_1A\n"sv, ft::nist),
    custom(st::audio, test_adts, bytes({0xFF})),

    custom(st::archive, test_zip, bytes({'P'})),
    custom(st::archive, test_cab, bytes({'M'})),
    custom(st::archive, test_lzh, any_byte_but(0)),
    custom(st::archive, test_rpm, bytes({0xED})),
    prefix(st::archive, rar5_signature, ft::rar),
    prefix(st::archive, rar4_signature, ft::rar),
    prefix(st::archive, "!<arch>\n"sv, ft::ar),
    prefix(st::archive, zip_end_signature, ft::zip),
    prefix(st::archive, seven_zip_signature, ft::seven_zip),
    prefix(st::archive, "BZh91AY&SY"sv, ft::bz2),
    prefix(st::archive, alz_signature, ft::alz),
    prefix(st::archive, "EGGA"sv, ft::egg),

    prefix(st::magic, "MThd"sv, ft::mid),
    prefix(st::magic, wmf_signature, ft::wmf),
    prefix(st::magic, ram_signature, ft::ram),
    prefix(st::magic, ".snd"sv, ft::au),
    prefix(st::magic, "ITSF"sv, ft::chm),
    prefix(st::magic, lnk_signature, ft::lnk),
    prefix(st::magic, "<!ENTITY"sv, ft::dtd),
    prefix(st::magic, ".vs/\n\n"sv, ft::gitignore),
    prefix(st::magic, "{\\rtf"sv, ft::rtf),
    prefix(st::magic, hlp_signature, ft::hlp),
    prefix(st::magic, "REGEDIT4"sv, ft::reg),
    prefix(st::magic, psp_signature, ft::psp),
    prefix(st::magic, pcx_signature, ft::pcx),
    prefix(st::magic, "%!PS"sv, ft::eps),
    prefix(st::magic, ":Base"sv, ft::cnt),
    prefix(st::magic, emf_signature, ft::emf),
    prefix(st::magic, evt_signature, ft::evt),
    prefix(st::magic, "(This file"sv, ft::hqx),
    prefix(st::magic, hap_signature, ft::hap),
    prefix(st::magic, xls_signature_1, ft::xls),
    prefix(st::magic, xls_signature_2, ft::xls),
    prefix(st::magic, doc_signature_1, ft::doc),
    prefix(st::magic, doc_signature_2, ft::doc),
    prefix(st::magic, doc_signature_3, ft::doc),

    custom(st::text, test_svg, bytes({'<'})),
    custom(st::text, test_mime_word, bytes({'D', 'd'})),
    custom(st::text, test_eml, bytes({'R', 'r'})),

    custom(st::zero, test_zero_block, bytes({0x00})),
};

uint32_t run_stage(signature_stage stage, signature_block& block) {
    for (const signature_rule& rule : chain) {
        if (rule.stage != stage) continue;
        if (const uint32_t code = run_signature_rule(rule, block)) return code;
    }
    return 0;
}

}  // namespace

std::span<const signature_rule> signature_chain() { return chain; }

uint32_t detect_image(signature_block& block) { return run_stage(signature_stage::image, block); }
uint32_t detect_document(signature_block& block) { return run_stage(signature_stage::document, block); }
uint32_t detect_video(signature_block& block) { return run_stage(signature_stage::video, block); }
uint32_t detect_audio(signature_block& block) { return run_stage(signature_stage::audio, block); }
uint32_t detect_archive(signature_block& block) { return run_stage(signature_stage::archive, block); }

}  // namespace ostrel

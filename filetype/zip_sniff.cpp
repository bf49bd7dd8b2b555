#include "filetype/zip_sniff.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "filetype/file_type.h"
#include "volume/byte_view.h"

namespace ostrel {

namespace {

constexpr uint32_t local_header_signature = 0x04034B50;
constexpr uint32_t data_descriptor_signature = 0x08074B50;
constexpr uint32_t central_header_signature = 0x02014B50;
constexpr uint32_t end_record_signature = 0x06054B50;

namespace local_header {
constexpr size_t flags = 6;
constexpr size_t crc32 = 14;
constexpr size_t compressed_size = 18;
constexpr size_t uncompressed_size = 22;
constexpr size_t name_length = 26;
constexpr size_t extra_length = 28;
constexpr size_t fixed_bytes = 30;  // the name follows
}  // namespace local_header

namespace central_header {
constexpr size_t compressed_size = 20;
constexpr size_t uncompressed_size = 24;
constexpr size_t name_length = 28;
constexpr size_t extra_length = 30;
constexpr size_t comment_length = 32;
constexpr size_t local_header_offset = 42;
constexpr size_t fixed_bytes = 46;  // the name follows
}  // namespace central_header

namespace end_record {
constexpr size_t directory_size = 12;
constexpr size_t directory_offset = 16;
constexpr size_t min_bytes = 22;
}  // namespace end_record

constexpr uint16_t flag_data_descriptor = 0x0008;
constexpr uint64_t data_descriptor_bytes = 16;
// When a member's compressed size exceeds its uncompressed size the data is
// taken to be a deflate stored block, whose 5-byte header precedes the text.
constexpr uint64_t stored_block_header_bytes = 5;
// Reported as bytes beyond the buffer when the archive's extent cannot be told.
constexpr uint32_t unknown_extent_bytes = 512;

struct mimetype_text {
    std::string_view text;
    uint32_t code;
};
constexpr mimetype_text mimetypes[] = {
    {"application/vnd.oasis.opendocument.presentation", file_type::odp},
    {"application/vnd.oasis.opendocument.spreadsheet", file_type::ods},
    {"application/vnd.oasis.opendocument.graphics", file_type::odg},
    {"application/epub+zip", file_type::epub},
};

// First members that ZIP-based formats start with; an archive whose first
// member is anything else is a plain zip and is not walked further.
constexpr std::string_view known_first_members[] = {
    "[Content_Types].xml", "customXml/", "docProps/", "word/", "xl/", "ppt/", "_rels/",
    "content.xml", "meta.xml", "styles.xml", "Thumbnails/", "META-INF/", "manifest.json",
    "metadata.json", "content.json", "AndroidManifest.xml", "DebugProbesKt.bin", "javax/",
    "kotlin/", "META-INF/MANIFEST.MF", "WEB-INF/", "Document.xml", "xsd/", "Preview.png",
};

struct member_name {
    std::string_view name;
    uint32_t code;
};
constexpr member_name member_names[] = {
    {"word/", file_type::docx},
    {"xl/", file_type::xlsx},
    {"ppt/", file_type::pptx},
    {"word/document.xml", file_type::docx},
    {"word/styles.xml", file_type::docx},
    {"word/comments.xml", file_type::docx},
    {"word/commentsExtended.xml", file_type::docx},
    {"word/fontTable.xml", file_type::docx},
    {"xl/workbook.xml", file_type::xlsx},
    {"xl/styles.xml", file_type::xlsx},
    {"xl/sharedStrings.xml", file_type::xlsx},
    {"xl/worksheets/sheet1.xml", file_type::xlsx},
    {"xl/theme/", file_type::xlsx},
    {"ppt/presentation.xml", file_type::pptx},
    {"ppt/tableStyles.xml", file_type::pptx},
    {"ppt/slides/", file_type::pptx},
    {"ppt/tags/", file_type::pptx},
    {"ppt/slideLayouts/", file_type::pptx},
    {"ppt/notesMasters/", file_type::pptx},
    {"AndroidManifest.xml", file_type::apk},
    {"DebugProbesKt.bin", file_type::apk},
    {"META-INF/MANIFEST.MF", file_type::jar},
    {"WEB-INF/", file_type::war},
    {"xsd/MindManagerApplication.xsd", file_type::mmap},
    {"xsd/MindManagerCore.xsd", file_type::mmap},
};

uint8_t fold_ascii(uint8_t c) { return (c >= 'A' && c <= 'Z') ? uint8_t(c + 32) : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (fold_ascii(uint8_t(a[i])) != fold_ascii(uint8_t(b[i]))) return false;
    }
    return true;
}

uint32_t saturate_u32(uint64_t value) {
    return uint32_t(std::min<uint64_t>(value, std::numeric_limits<uint32_t>::max()));
}

uint64_t data_start(uint64_t header_end, uint32_t compressed, uint32_t uncompressed) {
    return header_end + (compressed > uncompressed ? stored_block_header_bytes : 0);
}

// The member's data at `pos` compared with `text` over `count` characters,
// ASCII letters without case; the comparison ends early where both reach a
// NUL. Data that runs out of the buffer before the comparison is decided is a
// mismatch: nothing is claimed from bytes we do not have.
bool data_equals_text(byte_view bytes, uint64_t pos, std::string_view text, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        if (pos + i >= bytes.size()) return false;
        const uint8_t have = fold_ascii(bytes[size_t(pos + i)]);
        const uint8_t want = i < text.size() ? fold_ascii(uint8_t(text[i])) : 0;
        if (have != want) return false;
        if (want == 0) return true;
    }
    return true;
}

uint32_t match_mimetype(byte_view bytes, uint64_t pos, uint32_t count) {
    if (pos >= bytes.size()) return 0;
    for (const mimetype_text& m : mimetypes) {
        if (data_equals_text(bytes, pos, m.text, count)) return m.code;
    }
    return 0;
}

bool is_known_first_member(std::string_view name) {
    for (std::string_view known : known_first_members) {
        if (name == known) return true;
    }
    return name.find("bin/") != std::string_view::npos && name.find(".bin") != std::string_view::npos;
}

// XMind keeps its own marker inside content.xml, meta.xml and styles.xml (or
// content.json in newer files). The first U - 1 data bytes are searched, and
// only when all U lie inside the buffer.
bool is_xmind_member(byte_view bytes, std::string_view name, uint64_t header_end, uint32_t compressed,
                     uint32_t uncompressed) {
    std::string_view marker;
    if (name == "content.xml" || name == "meta.xml" || name == "styles.xml") {
        marker = "urn:xmind:";
    } else if (name == "content.json") {
        marker = "org.xmind.";
    } else {
        return false;
    }
    const uint64_t start = data_start(header_end, compressed, uncompressed);
    if (start >= bytes.size() || uncompressed == 0 || start + uncompressed >= bytes.size()) return false;
    const std::string_view data(reinterpret_cast<const char*>(bytes.data() + start), uncompressed - 1);
    return data.find(marker) != std::string_view::npos;
}

struct local_member {
    uint64_t pos = 0;
    uint16_t flags = 0;
    uint32_t crc32 = 0;
    uint32_t compressed = 0;
    uint32_t uncompressed = 0;
    uint16_t name_length = 0;
    uint16_t extra_length = 0;

    uint64_t name_pos() const { return pos + local_header::fixed_bytes; }
    uint64_t header_end() const { return name_pos() + name_length + extra_length; }
    uint64_t next_header() const { return header_end() + compressed; }
    bool has_data_descriptor() const { return (flags & flag_data_descriptor) != 0; }
};

// The caller has checked that the 30 fixed bytes at `pos` are in the buffer.
local_member read_local_member(byte_view bytes, uint64_t pos) {
    const byte_view h = bytes.sub(size_t(pos), local_header::fixed_bytes);
    local_member m;
    m.pos = pos;
    m.flags = h.u16_or(local_header::flags);
    m.crc32 = h.u32_or(local_header::crc32);
    m.compressed = h.u32_or(local_header::compressed_size);
    m.uncompressed = h.u32_or(local_header::uncompressed_size);
    m.name_length = h.u16_or(local_header::name_length);
    m.extra_length = h.u16_or(local_header::extra_length);
    return m;
}

// The name, or nothing when it does not lie wholly inside the buffer.
std::optional<std::string_view> text_at(byte_view bytes, uint64_t pos, uint64_t length) {
    if (pos > bytes.size() || length > bytes.size() - pos) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(bytes.data() + pos), size_t(length));
}

bool is_data_descriptor_at(byte_view bytes, uint64_t pos) {
    return pos <= bytes.size() && bytes.u32(size_t(pos)) == data_descriptor_signature;
}

}  // namespace

uint32_t classify_zip_member(std::string_view name) {
    for (const member_name& m : member_names) {
        if (equal_ignoring_case(name, m.name)) return m.code;
    }
    return 0;
}

uint32_t sniff_zip_entries(const uint8_t* buffer, size_t size, uint32_t* bytes_beyond) {
    if (!buffer || size == 0) return 0;
    const byte_view bytes(buffer, size);
    const bool signature = bytes.u32(0) == local_header_signature;
    if (size <= local_header::fixed_bytes) return signature ? file_type::zip : 0;
    if (!signature) return 0;

    const local_member first = read_local_member(bytes, 0);
    // Streamed archives write CRC and sizes after the data: the first
    // member's extent is unknown, so the walk cannot start.
    if (first.has_data_descriptor() && first.crc32 == 0) {
        if (!bytes_beyond) return sniff_zip_directory(buffer, size);
        if (*bytes_beyond == 0) *bytes_beyond = unknown_extent_bytes;
        return file_type::zip;
    }

    if (bytes_beyond && first.header_end() <= size) {
        const uint64_t end = first.header_end() + first.compressed;
        *bytes_beyond = end > size ? saturate_u32(end - size) : 0;
    }

    if (local_header::fixed_bytes + first.name_length < size) {
        const std::string_view name = *text_at(bytes, first.name_pos(), first.name_length);
        if (name == "mimetype") {
            const uint64_t start = data_start(first.header_end(), first.compressed, first.uncompressed);
            const uint32_t code = match_mimetype(bytes, start, first.compressed);
            return code ? code : uint32_t(file_type::zip);
        }
        if (!is_known_first_member(name)) return file_type::zip;
        if (const uint32_t code = classify_zip_member(name)) return code;
        if (is_xmind_member(bytes, name, first.header_end(), first.compressed, first.uncompressed)) {
            return file_type::xmind;
        }
    }

    uint64_t pos = first.next_header();
    if (first.has_data_descriptor() && is_data_descriptor_at(bytes, pos)) pos += data_descriptor_bytes;
    bool ended_beyond = false;
    // Every step moves at least one fixed header forward, so the walk ends.
    while (pos + local_header::fixed_bytes < size && bytes.u32(size_t(pos)) == local_header_signature) {
        const local_member m = read_local_member(bytes, pos);
        if (const auto name = text_at(bytes, m.name_pos(), m.name_length)) {
            if (const uint32_t code = classify_zip_member(*name)) return code;
            if (is_xmind_member(bytes, *name, m.header_end(), m.compressed, m.uncompressed)) {
                return file_type::xmind;
            }
        }
        uint64_t next = m.next_header();
        if (next >= size) {
            if (bytes_beyond) *bytes_beyond = saturate_u32(next - size);
            ended_beyond = true;
            break;
        }
        if (m.has_data_descriptor() && is_data_descriptor_at(bytes, next)) {
            if (bytes_beyond && *bytes_beyond == 0) {
                const uint64_t end = next + data_descriptor_bytes;
                *bytes_beyond = end > size ? saturate_u32(end - size) : 0;
            }
            next += data_descriptor_bytes;
        }
        pos = next;
    }

    if (!bytes_beyond) {
        const uint32_t code = sniff_zip_directory(buffer, size);
        return code ? code : uint32_t(file_type::zip);
    }
    if (!ended_beyond && *bytes_beyond > 0) return file_type::zip;
    if (*bytes_beyond == 0) *bytes_beyond = unknown_extent_bytes;
    return file_type::zip;
}

uint32_t sniff_zip_directory(const uint8_t* buffer, size_t size) {
    if (!buffer || size <= end_record::min_bytes) return 0;
    const byte_view bytes(buffer, size);

    size_t record = size - end_record::min_bytes;
    while (bytes.u32_or(record) != end_record_signature) {
        if (record == 0) return 0;
        --record;
    }

    // The directory cannot be larger than the distance from its start to the
    // end record; an offset past the record wraps and so bounds nothing.
    const uint32_t directory_offset = bytes.u32_or(record + end_record::directory_offset);
    const uint32_t distance = uint32_t(record) - directory_offset;
    int64_t remaining = std::min(bytes.u32_or(record + end_record::directory_size), distance);

    uint64_t pos = directory_offset;
    while (remaining > 0) {
        // At least one byte must follow the fixed part of the header.
        if (pos + central_header::fixed_bytes + 1 >= size) return file_type::zip;
        const byte_view h = bytes.sub(size_t(pos), central_header::fixed_bytes);
        if (h.u32_or(0) != central_header_signature) return file_type::zip;
        const uint16_t name_length = h.u16_or(central_header::name_length);
        const auto name = text_at(bytes, pos + central_header::fixed_bytes, name_length);
        // A name cut off by the end of the buffer cannot be compared.
        if (!name) return file_type::zip;

        const uint32_t compressed = h.u32_or(central_header::compressed_size);
        const uint32_t uncompressed = h.u32_or(central_header::uncompressed_size);
        const uint64_t local_pos = h.u32_or(central_header::local_header_offset);
        const bool local_present = local_pos + local_header::fixed_bytes <= size &&
                                   bytes.u32(size_t(local_pos)) == local_header_signature;
        const uint64_t header_end =
            local_present ? read_local_member(bytes, local_pos).header_end() : 0;

        if (*name == "mimetype") {
            if (local_present) {
                const uint32_t code =
                    match_mimetype(bytes, data_start(header_end, compressed, uncompressed), compressed);
                if (code) return code;
            }
        } else if (*name == "content.xml" || *name == "meta.xml" || *name == "styles.xml" ||
                   *name == "content.json") {
            if (local_present && is_xmind_member(bytes, *name, header_end, compressed, uncompressed)) {
                return file_type::xmind;
            }
        } else if (const uint32_t code = classify_zip_member(*name)) {
            return code;
        }

        const uint64_t step = central_header::fixed_bytes + name_length + h.u16_or(central_header::extra_length) +
                              h.u16_or(central_header::comment_length);
        pos += step;
        remaining -= int64_t(step);
    }
    return file_type::zip;
}

uint32_t zip_file_type(uint32_t sniff_result) {
    switch (sniff_result) {
        case file_type::odp:
        case file_type::ods:
        case file_type::odg:
        case file_type::epub:
        case file_type::xlsx:
        case file_type::docx:
        case file_type::pptx:
        case file_type::xmind:
        case file_type::jar:
        case file_type::apk:
        case file_type::war:
        case file_type::mmap:
            return sniff_result;
        default:
            return file_type::zip;
    }
}

}  // namespace ostrel

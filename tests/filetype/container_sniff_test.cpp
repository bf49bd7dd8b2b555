#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "filetype/compound_file.h"
#include "filetype/file_type.h"
#include "filetype/identify_container.h"
#include "filetype/identify_signature.h"
#include "filetype/zip_sniff.h"

namespace ostrel {
namespace {

using bytes = std::vector<uint8_t>;
namespace ft = file_type;

void put_le(bytes& b, size_t offset, uint64_t value, int width) {
    if (b.size() < offset + width) b.resize(offset + width);
    for (int i = 0; i < width; ++i) b[offset + i] = uint8_t(value >> (8 * i));
}

uint32_t container(const bytes& b) {
    std::u16string extension = u"untouched";
    const uint32_t code = identify_container(b.data(), b.size(), extension);
    EXPECT_EQ(extension, code ? std::u16string(file_type_extension(code)) : u"untouched");
    return code;
}

// A file as the deep scan meets it: at least one sector, the slack zeroed.
uint32_t signature(bytes b, uint32_t* beyond = nullptr) {
    b.resize(std::max<size_t>(b.size(), 512), 0);
    std::u16string extension;
    return identify_signature(b.data(), b.size(), beyond, extension);
}

// A compound file: the 512-byte header, then `sectors` sectors of 2^shift bytes
// (laid out at 4096 bytes for larger shifts), the directory from sector `first`.
bytes compound(const std::vector<std::u16string>& names, uint16_t version = 3, uint16_t shift = 9, uint32_t first = 0,
               uint32_t count = 0, size_t sectors = 4) {
    const size_t sector = size_t(1) << std::min<uint16_t>(shift, 12);
    bytes b(512 + sectors * sector, 0);
    std::copy(std::begin(compound_file_signature), std::end(compound_file_signature), b.begin());
    put_le(b, 26, version, 2);
    put_le(b, 30, shift, 2);
    put_le(b, 40, count, 4);
    put_le(b, 48, first, 4);
    for (size_t i = 0; i < names.size(); ++i) {
        const size_t entry = 512 + first * sector + i * 128;
        if (entry + 128 > b.size()) break;
        for (size_t c = 0; c < names[i].size(); ++c) put_le(b, entry + 2 * c, names[i][c], 2);
        put_le(b, entry + 64, 2 * (names[i].size() + 1), 2);
    }
    return b;
}

std::vector<std::u16string> word_at(size_t entry) {
    std::vector<std::u16string> names(entry, u"Other");
    names.push_back(u"WordDocument");
    return names;
}

// The first known stream name in directory order decides; a directory outside
// the buffer, unreadable, or past the entries examined gives a plain compound file.
TEST(CompoundFile, StreamNamesDirectoryBoundsAndEntriesExamined) {
    const uint32_t doc = ft::doc, plain = ft::compound_file;
    const struct {
        std::vector<std::u16string> names;
        uint32_t code;
        size_t sectors = 4;
        uint32_t count = 0, first = 0;
        uint16_t shift = 9, version = 3;
        size_t drop = 0, keep = SIZE_MAX;
    } cases[] = {
        {{u"Root Entry", u"Workbook", u"WordDocument"}, ft::xls},
        {{u"Root Entry", u"\x01" u"CompObj", u"WordDocument", u"Workbook"}, doc},
        {{u"Root Entry", u"PowerPoint Document"}, ft::ppt},
        {{u"Root Entry", u"__substg1.0_0037001F", u"__nameid_version1.0"}, ft::msg},
        {{u"Root Entry", u"WORKBOOK2"}, ft::xls},  // a prefix, ASCII letters without case
        {{u"Root Entry", u"Work"}, plain},
        {{u"Root Entry", u"\u00C9Workbook"}, plain},
        {word_at(1), doc, 3, 0, 2},  // the directory in sector 2, the last one
        {word_at(1), plain, 3, 0, 2, 9, 3, 1},  // sector 2 no longer whole
        {word_at(1), plain, 3, 0, 2, 9, 3, 0, 511},
        {word_at(1), plain, 4, 0, 0, 9, 2},  // version 2
        {word_at(1), plain, 4, 0, 0, 8, 4},  // sectors below 512 bytes
        {word_at(1), plain, 4, 0, 0, 40},  // sectors beyond any buffer
        {word_at(1), plain, 4, 0, 0xFFFFFFFF, 31},  // a directory sector past any buffer
        {word_at(5), doc, 4, 0, 0, 12, 4},  // 4096-byte sectors hold 32 entries
        // Without a count: the whole sectors before the last, at most 20 entries, at least one sector's worth.
        {word_at(7), doc, 3}, {word_at(8), plain, 3}, {word_at(3), doc, 1},
        {word_at(19), doc, 10}, {word_at(20), plain, 10},
        // With a count: sectors up to min(first + count, last whole sector).
        {word_at(11), doc, 10, 3}, {word_at(12), plain, 10, 3}, {word_at(3), doc, 10, 1}, {word_at(4), plain, 10, 1},
        {word_at(35), doc, 10, 50}, {word_at(36), plain, 10, 50},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        bytes file = compound(c.names, c.version, c.shift, c.first, c.count, c.sectors);
        file.resize(std::min(file.size() - c.drop, c.keep));
        EXPECT_EQ(container(file), c.code) << "case " << i;
        if (file.size() < 512) continue;
        EXPECT_EQ(signature(file), c.code) << "case " << i;
        compound_sniff_state state;  // the sniff reports it finished only when a name decided
        EXPECT_EQ(sniff_compound_file(file.data(), file.size(), state), c.code == plain) << "case " << i;
        EXPECT_EQ(compound_file_type(state.result), c.code) << "case " << i;
    }
}

// ZIP archives, member by member, with an optional central directory.
struct zip_member {
    std::string name, data;
    uint16_t flags = 0;
    uint32_t crc = 0x12345678;
    int64_t compressed = -1, uncompressed = -1;  // -1: the data's length
    bool descriptor = false;                     // a signed data descriptor follows the data
};

bytes zip(const std::vector<zip_member>& members, bool central_directory = true) {
    bytes b;
    std::vector<size_t> offsets;
    for (const zip_member& m : members) {
        const size_t at = b.size();
        offsets.push_back(at);
        put_le(b, at, 0x04034B50, 4);
        put_le(b, at + 6, m.flags, 2);
        put_le(b, at + 14, m.crc, 4);
        put_le(b, at + 18, m.compressed < 0 ? m.data.size() : uint64_t(m.compressed), 4);
        put_le(b, at + 22, m.uncompressed < 0 ? m.data.size() : uint64_t(m.uncompressed), 4);
        put_le(b, at + 26, m.name.size(), 4);
        b.insert(b.end(), m.name.begin(), m.name.end());
        b.insert(b.end(), m.data.begin(), m.data.end());
        if (m.descriptor) put_le(b, b.size(), 0x08074B50 | uint64_t(m.crc) << 32, 8);
        if (m.descriptor) put_le(b, b.size(), m.data.size() * 0x100000001, 8);
    }
    if (!central_directory) return b;
    const size_t directory = b.size();
    for (size_t i = 0; i < members.size(); ++i) {
        const size_t at = b.size();
        put_le(b, at, 0x02014B50, 4);
        put_le(b, at + 20, members[i].data.size() * 0x100000001, 8);
        put_le(b, at + 28, members[i].name.size(), 2);
        put_le(b, at + 42, offsets[i], 4);
        b.insert(b.end(), members[i].name.begin(), members[i].name.end());
    }
    const size_t end = b.size();
    put_le(b, end, 0x06054B50, 4);
    put_le(b, end + 8, members.size() * 0x10001, 4);
    put_le(b, end + 12, end - directory, 4);
    put_le(b, end + 16, directory, 4);
    put_le(b, end + 20, 0, 2);
    return b;
}

uint32_t walk(const bytes& b, uint32_t* beyond = nullptr) { return sniff_zip_entries(b.data(), b.size(), beyond); }

const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<Types/>";
const std::string ods_mime = "application/vnd.oasis.opendocument.spreadsheet";

TEST(ZipSniff, MembersNameTheFormat) {
    const std::string marker = "urn:xmind:";
    const std::string stored_epub = std::string("\x01\x14\x00\xEB\xFF", 5) + "application/epub+zip";
    // Each archive with an optional central directory and `tail` bytes after it.
    const struct {
        std::vector<zip_member> members;
        uint32_t code;
        bool central_directory = true;
        size_t tail = 0;
    } cases[] = {
        {{{"[Content_Types].xml", xml}, {"docProps/app.xml", xml}, {"XL/Workbook.XML", xml}}, ft::xlsx},
        {{{"[Content_Types].xml", xml}, {"ppt/slides/", ""}, {"word/document.xml", xml}}, ft::pptx},
        {{{"readme.txt", "hello"}, {"word/document.xml", xml}}, ft::zip},  // first member outside the known list
        {{{"[content_types].xml", xml}, {"word/document.xml", xml}}, ft::zip},  // that list is compared with case
        {{{"xl/", ""}, {"word/", ""}}, ft::xlsx},
        {{{"lib/bin/x.bin", ""}, {"DebugProbesKt.bin", ""}}, ft::apk},
        {{{"META-INF/", ""}, {"content.json", "[{\"class\":\"org.xmind.sheet\"}]"}}, ft::xmind},
        {{{"content.json", "[{\"class\":\"sheet\"}]"}}, ft::zip},
        // The xmind marker is searched in the first U - 1 bytes, only when all U are in the buffer.
        {{{"content.xml", marker + std::string(20, ' ')}}, ft::zip, false},
        {{{"content.xml", marker + std::string(20, ' ')}}, ft::xmind, false, 1},
        {{{"content.xml", std::string(20, ' ') + marker}}, ft::zip, false, 1},
        {{{"content.xml", std::string(19, ' ') + marker + " "}}, ft::xmind, false, 1},
        {{{"mimetype", "APPLICATION/EPUB+ZIP"}, {"content.xml", xml}}, ft::epub},
        {{{"mimetype", ods_mime + "-template"}, {"content.xml", xml}}, ft::zip},
        // In a deflate stored block (compressed > uncompressed), compared up to a NUL after the text.
        {{{"mimetype", stored_epub + std::string(5, '\0'), 0, 0x12345678, 25, 20}}, ft::epub},
        // A signed data descriptor after the first member is stepped over.
        {{{"[Content_Types].xml", xml, 8, 0x12345678, -1, -1, true}, {"word/document.xml", xml}}, ft::docx},
        // A streamed first member (CRC 0): the central directory, reading mimetype and xmind
        // data through the local headers.
        {{{"[Content_Types].xml", xml, 8, 0, -1, -1, true}, {"word/document.xml", xml}}, ft::docx},
        {{{"mimetype", ods_mime, 8, 0}, {"content.xml", xml}}, ft::ods},
        {{{"meta.xml", "<meta xmlns=\"urn:xmind:xmap:xmlns:meta:2.0\"/>", 8, 0}, {"x", ""}}, ft::xmind},
        {{{"mimetype", "application/vnd.oasis.opendocument.text", 8, 0}, {"META-INF/MANIFEST.MF", ""}}, ft::jar},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        bytes file = zip(cases[i].members, cases[i].central_directory);
        file.resize(file.size() + cases[i].tail, 0);
        EXPECT_EQ(walk(file), cases[i].code) << "case " << i;
        EXPECT_EQ(container(file), cases[i].code) << "case " << i;
    }
}

TEST(ZipSniff, CounterTellsHowFarTheArchiveReachesPastTheBuffer) {
    using result = std::pair<uint32_t, uint64_t>;  // code and counter
    auto counted = [](const bytes& file, uint32_t beyond = 0) { return result{walk(file, &beyond), beyond}; };
    std::vector<zip_member> members = {{"[Content_Types].xml", std::string(300, 'x')},
                                       {"_rels/.rels", std::string(300, 'y')}};
    const bytes whole = zip(members, false);
    EXPECT_EQ(counted(bytes(whole.begin(), whole.begin() + 200)), result(ft::zip, 30 + 19 + 300 - 200));
    EXPECT_EQ(counted(bytes(whole.begin(), whole.end() - 50)), result(ft::zip, 50));
    EXPECT_EQ(counted(whole), result(ft::zip, 512));  // all inside, nothing found
    members.push_back({"word/document.xml", xml});
    for (const int64_t claimed : {int64_t(100000), int64_t(0xFFFFFFFF)}) {  // the first member claims to be huge
        members[0].compressed = claimed;
        const bytes file = zip(members, false);
        EXPECT_EQ(counted(file), result(ft::zip, claimed + 30 + 19 - file.size()));
    }

    bytes far = zip({{"[Content_Types].xml", xml}, {"_rels/.rels", xml, 0, 0x12345678, 0xFFFFFFFF}}, false);
    put_le(far, 30 + 19 + xml.size() + 28, 0xFFFF, 2);  // a second member reaching more than 4 GiB past: saturated
    EXPECT_EQ(counted(far), result(ft::zip, 0xFFFFFFFF));

    std::vector<zip_member> docx = {{"[Content_Types].xml", xml, 8, 0x12345678, -1, -1, true},
                                    {"word/document.xml", xml}};
    EXPECT_EQ(counted(zip(docx, false), 99), result(ft::docx, 0));
    uint32_t beyond = 99;
    EXPECT_EQ(signature(zip(docx, false), &beyond), ft::docx);
    EXPECT_EQ(beyond, 0u);
    bytes unsigned_descriptor = zip(docx, false);  // without its signature a descriptor ends the walk
    put_le(unsigned_descriptor, 30 + 19 + xml.size(), 0, 4);
    EXPECT_EQ(counted(unsigned_descriptor), result(ft::zip, 512));
    docx[0].crc = 0;  // streamed: the walk cannot start
    EXPECT_EQ(counted(zip(docx)), result(ft::zip, 512));
    EXPECT_EQ(signature(zip(docx), &beyond), ft::zip);
    EXPECT_EQ(beyond, 512u);
}

TEST(ZipSniff, DirectoryWalkBoundaries) {
    const bytes file = zip({{"a", "1"}, {"xl/workbook.xml", xml}});
    const size_t end = file.size() - 22, directory = end - 2 * 46 - 1 - 15;
    EXPECT_EQ(sniff_zip_directory(file.data(), file.size()), ft::xlsx);
    EXPECT_EQ(sniff_zip_directory(file.data(), file.size() - 1), 0u);  // the end record starts at or before size - 22
    EXPECT_EQ(sniff_zip_directory(file.data() + end, 22), 0u);
    const struct { size_t at; uint32_t value; uint32_t code; } cases[] = {  // a 32-bit field changed
        {end + 12, 47, ft::zip},  // a directory size that stops before the second header
        {end + 12, 0xFFFFFFFF, ft::xlsx},  // bounded by the distance to the end record
        {end + 16, 0xFFFFFFF0, ft::zip},  // a directory offset past the buffer
        {directory + 28, 0xFFFF, ft::zip},  // the first name runs off the buffer (extra field 0)
    };
    for (const auto& c : cases) {
        bytes b = file;
        put_le(b, c.at, c.value, 4);
        EXPECT_EQ(sniff_zip_directory(b.data(), b.size()), c.code) << c.at << " " << c.value;
    }
}

TEST(IdentifyContainer, NullTinyForeignAndHostileBuffers) {
    std::u16string extension = u"old";
    uint32_t beyond = 7;
    EXPECT_EQ(identify_signature(nullptr, 4096, &beyond, extension), 0u);
    EXPECT_EQ(extension, u"");
    EXPECT_EQ(beyond, 0u);
    EXPECT_EQ(walk({0x50, 0x4B, 0x03, 0x04}), ft::zip);
    EXPECT_EQ(walk({0x50, 0x4B, 0x03}), 0u);
    EXPECT_EQ(walk(bytes(30, 0)), 0u);
    EXPECT_EQ(sniff_zip_entries(nullptr, 100, nullptr), 0u);
    bytes long_name = zip({{"[Content_Types].xml", xml}});
    put_le(long_name, 26, 0xFFFF, 2);
    EXPECT_EQ(container(long_name), ft::zip);
    // Streamed and without an end record: the walker has no answer, the container is a zip.
    bytes no_end = zip({{"[Content_Types].xml", xml, 8, 0, -1, -1, true}, {"word/document.xml", xml}});
    no_end.resize(no_end.size() - 22);
    EXPECT_EQ(walk(no_end), 0u);
    EXPECT_EQ(container(no_end), ft::zip);

    extension = u"kept";
    EXPECT_EQ(identify_container(nullptr, 10, extension), 0u);
    EXPECT_EQ(extension, u"kept");
    EXPECT_EQ(container({}), 0u);  // the helper checks that the extension is left alone
    EXPECT_EQ(container({'%', 'P', 'D', 'F', '-', '1', '.', '4'}), 0u);
    EXPECT_EQ(container({0x50, 0x4B, 0x03, 0x04, 0}), ft::zip);
    EXPECT_EQ(container({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}), ft::compound_file);
    EXPECT_EQ(container({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A}), 0u);
}

}  // namespace
}  // namespace ostrel

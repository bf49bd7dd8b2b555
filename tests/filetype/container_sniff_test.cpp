#include <gtest/gtest.h>

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

void put_le(bytes& b, size_t offset, uint64_t value, int width) {
    if (b.size() < offset + width) b.resize(offset + width);
    for (int i = 0; i < width; ++i) b[offset + i] = uint8_t(value >> (8 * i));
}

// ---------------------------------------------------------------------------
// Compound files: a 512-byte header, then sectors of 2^shift bytes; the
// directory starts at sector `first_directory`.

struct compound_builder {
    uint16_t major_version = 3;
    uint16_t sector_shift = 9;
    uint32_t directory_sectors = 0;
    uint32_t first_directory = 0;
    size_t total_sectors = 4;
    std::vector<std::u16string> names;  // directory entries in order

    bytes build() const {
        const size_t sector = size_t(1) << sector_shift;
        bytes b(512 + total_sectors * sector, 0);
        const uint8_t signature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
        std::copy(std::begin(signature), std::end(signature), b.begin());
        put_le(b, 24, 0x3E, 2);
        put_le(b, 26, major_version, 2);
        put_le(b, 28, 0xFFFE, 2);
        put_le(b, 30, sector_shift, 2);
        put_le(b, 40, directory_sectors, 4);
        put_le(b, 48, first_directory, 4);
        for (size_t i = 0; i < names.size(); ++i) {
            const size_t entry = 512 + first_directory * sector + i * 128;
            if (entry + 128 > b.size()) break;
            for (size_t c = 0; c < names[i].size() && c < 31; ++c) put_le(b, entry + 2 * c, names[i][c], 2);
            put_le(b, entry + 64, 2 * (names[i].size() + 1), 2);
        }
        return b;
    }
};

uint32_t container(const bytes& b, size_t size = SIZE_MAX) {
    std::u16string extension = u"untouched";
    const uint32_t code = identify_container(b.data(), std::min(size, b.size()), extension);
    EXPECT_EQ(extension, code ? std::u16string(file_type_extension(code)) : u"untouched");
    return code;
}

// A file as the deep scan meets it: at least one sector, the slack zeroed.
uint32_t signature(bytes b, uint32_t* beyond = nullptr) {
    if (b.size() < 512) b.resize(512, 0);
    std::u16string extension;
    return identify_signature(b.data(), b.size(), beyond, extension);
}

TEST(CompoundFile, NamedByTheFirstKnownStreamInDirectoryOrder) {
    compound_builder c;
    c.names = {u"Root Entry", u"Workbook", u"WordDocument"};
    EXPECT_EQ(container(c.build()), file_type::xls);
    EXPECT_EQ(signature(c.build()), file_type::xls);
    c.names = {u"Root Entry", u"\x01" u"CompObj", u"WordDocument", u"Workbook"};
    EXPECT_EQ(container(c.build()), file_type::doc);
    c.names = {u"Root Entry", u"PowerPoint Document"};
    EXPECT_EQ(container(c.build()), file_type::ppt);
    c.names = {u"Root Entry", u"__substg1.0_0037001F", u"__nameid_version1.0"};
    EXPECT_EQ(container(c.build()), file_type::msg);
    // Names are compared by their start, ASCII letters without case.
    c.names = {u"Root Entry", u"WORKBOOK2"};
    EXPECT_EQ(container(c.build()), file_type::xls);
    c.names = {u"Root Entry", u"Work"};
    EXPECT_EQ(container(c.build()), file_type::compound_file);
    c.names = {u"Root Entry", u"\u00C9Workbook"};
    EXPECT_EQ(container(c.build()), file_type::compound_file);
}

TEST(CompoundFile, SniffReportsWhetherItFinished) {
    compound_builder c;
    c.names = {u"Root Entry", u"WordDocument"};
    bytes file = c.build();
    compound_sniff_state state;
    EXPECT_FALSE(sniff_compound_file(file.data(), file.size(), state));
    EXPECT_EQ(state.result, file_type::doc);
    EXPECT_FALSE(state.first_call);

    c.names = {u"Root Entry", u"Contents"};
    file = c.build();
    state = compound_sniff_state();
    EXPECT_TRUE(sniff_compound_file(file.data(), file.size(), state));
    EXPECT_EQ(state.result, file_type::compound_file);

    state = compound_sniff_state();
    file[0] = 0;
    EXPECT_FALSE(sniff_compound_file(file.data(), file.size(), state));
    EXPECT_EQ(state.result, 0u);
    EXPECT_EQ(compound_file_type(state.result), file_type::compound_file);
}

TEST(CompoundFile, DirectoryOutsideTheBufferOrUnreadableIsPlain) {
    compound_builder c;
    c.names = {u"Root Entry", u"WordDocument"};
    c.first_directory = 2;
    c.total_sectors = 3;
    EXPECT_EQ(container(c.build()), file_type::doc);
    const bytes file = c.build();
    EXPECT_EQ(container(file, file.size() - 1), file_type::compound_file);  // sector 2 no longer whole
    EXPECT_EQ(container(file, 511), file_type::compound_file);
    EXPECT_EQ(container(file, 8), file_type::compound_file);

    c.first_directory = 0;
    c.major_version = 2;
    EXPECT_EQ(container(c.build()), file_type::compound_file);
    c.major_version = 4;
    c.sector_shift = 8;  // sectors below 512 bytes
    EXPECT_EQ(container(c.build()), file_type::compound_file);
    bytes huge_shift = compound_builder{}.build();
    put_le(huge_shift, 30, 40, 2);
    EXPECT_EQ(container(huge_shift), file_type::compound_file);
    put_le(huge_shift, 30, 31, 2);
    put_le(huge_shift, 48, 0xFFFFFFFF, 4);
    EXPECT_EQ(container(huge_shift), file_type::compound_file);
}

TEST(CompoundFile, EntriesExaminedFollowTheDirectoryCount) {
    // 512-byte sectors hold 4 entries each. Without a directory count the
    // entries of the whole sectors before the last are examined, at most 20
    // and at least one sector's worth.
    auto with_word_at = [](size_t entry, size_t sectors, uint32_t count) {
        compound_builder c;
        c.total_sectors = sectors;
        c.directory_sectors = count;
        c.names.assign(entry, u"Other");
        c.names.push_back(u"WordDocument");
        return container(c.build());
    };
    EXPECT_EQ(with_word_at(7, 3, 0), file_type::doc);  // sectors 0 and 1: 8 entries
    EXPECT_EQ(with_word_at(8, 3, 0), file_type::compound_file);
    EXPECT_EQ(with_word_at(3, 1, 0), file_type::doc);  // only sector 0, still one sector's worth
    EXPECT_EQ(with_word_at(19, 10, 0), file_type::doc);
    EXPECT_EQ(with_word_at(20, 10, 0), file_type::compound_file);
    // With a count, sectors up to min(first + count, last whole sector).
    EXPECT_EQ(with_word_at(11, 10, 3), file_type::doc);
    EXPECT_EQ(with_word_at(12, 10, 3), file_type::compound_file);
    EXPECT_EQ(with_word_at(3, 10, 1), file_type::doc);
    EXPECT_EQ(with_word_at(4, 10, 1), file_type::compound_file);
    EXPECT_EQ(with_word_at(35, 10, 50), file_type::doc);  // bounded by the buffer: sectors 0..8
    EXPECT_EQ(with_word_at(36, 10, 50), file_type::compound_file);
}

// ---------------------------------------------------------------------------
// ZIP archives, written member by member.

struct zip_member {
    std::string name;
    std::string data;
    uint16_t flags = 0;
    uint32_t crc = 0x12345678;
    int64_t compressed = -1;    // -1: the data's length
    int64_t uncompressed = -1;  // -1: the data's length
    bool descriptor = false;    // a signed data descriptor follows the data
};

struct zip_builder {
    std::vector<zip_member> members;
    bool central_directory = true;

    zip_builder& add(std::string name, std::string data = "", uint16_t flags = 0) {
        members.push_back({std::move(name), std::move(data), flags});
        return *this;
    }

    bytes build() const {
        bytes b;
        std::vector<size_t> offsets;
        for (const zip_member& m : members) {
            const size_t at = b.size();
            offsets.push_back(at);
            put_le(b, at, 0x04034B50, 4);
            put_le(b, at + 4, 20, 2);
            put_le(b, at + 6, m.flags, 2);
            put_le(b, at + 14, m.crc, 4);
            put_le(b, at + 18, m.compressed < 0 ? m.data.size() : uint64_t(m.compressed), 4);
            put_le(b, at + 22, m.uncompressed < 0 ? m.data.size() : uint64_t(m.uncompressed), 4);
            put_le(b, at + 26, m.name.size(), 2);
            put_le(b, at + 28, 0, 2);
            b.insert(b.end(), m.name.begin(), m.name.end());
            b.insert(b.end(), m.data.begin(), m.data.end());
            if (m.descriptor) {
                const size_t d = b.size();
                put_le(b, d, 0x08074B50, 4);
                put_le(b, d + 4, m.crc, 4);
                put_le(b, d + 8, m.data.size(), 4);
                put_le(b, d + 12, m.data.size(), 4);
            }
        }
        if (!central_directory) return b;
        const size_t directory = b.size();
        for (size_t i = 0; i < members.size(); ++i) {
            const zip_member& m = members[i];
            const size_t at = b.size();
            put_le(b, at, 0x02014B50, 4);
            put_le(b, at + 20, m.data.size(), 4);
            put_le(b, at + 24, m.data.size(), 4);
            put_le(b, at + 28, m.name.size(), 2);
            put_le(b, at + 42, offsets[i], 4);
            b.resize(at + 46);
            b.insert(b.end(), m.name.begin(), m.name.end());
        }
        const size_t end = b.size();
        put_le(b, end, 0x06054B50, 4);
        put_le(b, end + 8, members.size(), 2);
        put_le(b, end + 10, members.size(), 2);
        put_le(b, end + 12, end - directory, 4);
        put_le(b, end + 16, directory, 4);
        put_le(b, end + 20, 0, 2);
        return b;
    }
};

uint32_t walk(const bytes& b, uint32_t* beyond = nullptr) { return sniff_zip_entries(b.data(), b.size(), beyond); }

const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<Types/>";

TEST(ZipSniff, OfficeArchivesAreNamedByTheFirstListedMember) {
    zip_builder docx;
    docx.add("[Content_Types].xml", xml).add("_rels/.rels", xml).add("word/media/image1.png", "png")
        .add("word/document.xml", xml);
    EXPECT_EQ(walk(docx.build()), file_type::docx);
    EXPECT_EQ(container(docx.build()), file_type::docx);

    zip_builder xlsx;
    xlsx.add("[Content_Types].xml", xml).add("docProps/app.xml", xml).add("XL/Workbook.XML", xml);
    EXPECT_EQ(walk(xlsx.build()), file_type::xlsx);

    zip_builder pptx;
    pptx.add("[Content_Types].xml", xml).add("ppt/slides/", "").add("word/document.xml", xml);
    EXPECT_EQ(walk(pptx.build()), file_type::pptx);

    // A first member outside the known list makes a plain zip at once.
    zip_builder plain;
    plain.add("readme.txt", "hello").add("word/document.xml", xml);
    EXPECT_EQ(walk(plain.build()), file_type::zip);
    EXPECT_EQ(container(plain.build()), file_type::zip);
    // The list is compared with case.
    zip_builder lower;
    lower.add("[content_types].xml", xml).add("word/document.xml", xml);
    EXPECT_EQ(walk(lower.build()), file_type::zip);
    // A first member that is itself in the member table decides.
    EXPECT_EQ(walk(zip_builder().add("xl/", "").add("word/", "").build()), file_type::xlsx);
    EXPECT_EQ(walk(zip_builder().add("lib/bin/x.bin", "").add("DebugProbesKt.bin", "").build()), file_type::apk);
}

TEST(ZipSniff, PackagesAndMindMaps) {
    EXPECT_EQ(walk(zip_builder().add("META-INF/", "").add("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\n").build()),
              file_type::jar);
    EXPECT_EQ(walk(zip_builder().add("AndroidManifest.xml", "\x03\x00\x08\x00").build()), file_type::apk);
    EXPECT_EQ(walk(zip_builder().add("META-INF/", "").add("WEB-INF/", "").add("WEB-INF/web.xml", xml).build()),
              file_type::war);
    EXPECT_EQ(walk(zip_builder().add("Document.xml", xml).add("xsd/MindManagerCore.xsd", xml).build()), file_type::mmap);
    EXPECT_EQ(walk(zip_builder().add("content.xml", "<xmap-content xmlns=\"urn:xmind:xmap:xmlns:content:2.0\"/>").build()),
              file_type::xmind);
    EXPECT_EQ(walk(zip_builder().add("META-INF/", "").add("content.json", "[{\"class\":\"org.xmind.sheet\"}]").build()),
              file_type::xmind);
    EXPECT_EQ(walk(zip_builder().add("content.json", "[{\"class\":\"sheet\"}]").build()), file_type::zip);
}

TEST(ZipSniff, XmindMarkerIsSearchedOnlyWhenTheDataLiesInTheBuffer) {
    const std::string content = "urn:xmind:" + std::string(20, ' ');
    zip_builder z;
    z.central_directory = false;
    z.add("content.xml", content);
    bytes file = z.build();  // the data ends exactly at the end of the buffer
    EXPECT_EQ(walk(file), file_type::zip);
    file.push_back(0);
    EXPECT_EQ(walk(file), file_type::xmind);
    // Only the first U - 1 bytes are searched.
    z.members[0].data = std::string(20, ' ') + "urn:xmind:";
    file = z.build();
    file.push_back(0);
    EXPECT_EQ(walk(file), file_type::zip);
    file[file.size() - 1 - 10] = 'x';
    z.members[0].data = std::string(19, ' ') + "urn:xmind:" + " ";
    file = z.build();
    file.push_back(0);
    EXPECT_EQ(walk(file), file_type::xmind);
}

TEST(ZipSniff, OpenDocumentAndEpubAreNamedByMimetype) {
    auto first_mimetype = [](std::string text) {
        zip_builder z;
        z.add("mimetype", text).add("content.xml", xml);
        return walk(z.build());
    };
    EXPECT_EQ(first_mimetype("application/vnd.oasis.opendocument.presentation"), file_type::odp);
    EXPECT_EQ(first_mimetype("application/vnd.oasis.opendocument.spreadsheet"), file_type::ods);
    EXPECT_EQ(first_mimetype("application/vnd.oasis.opendocument.graphics"), file_type::odg);
    EXPECT_EQ(first_mimetype("APPLICATION/EPUB+ZIP"), file_type::epub);
    // A text document's mimetype is not listed, and mimetype is not a known
    // first member name: a plain zip.
    EXPECT_EQ(first_mimetype("application/vnd.oasis.opendocument.text"), file_type::zip);
    EXPECT_EQ(first_mimetype("application/vnd.oasis.opendocument.spreadsheet-template"), file_type::zip);

    // Stored inside a deflate block: compressed size larger, 5 bytes of block header first.
    zip_builder stored;
    // The comparison runs over the compressed size, here up to a NUL after the text.
    stored.add("mimetype", std::string("\x01\x14\x00\xEB\xFF", 5) + "application/epub+zip" + std::string(5, '\0'));
    stored.members[0].compressed = 25;
    stored.members[0].uncompressed = 20;
    EXPECT_EQ(walk(stored.build()), file_type::epub);
}

TEST(ZipSniff, CounterTellsHowFarTheArchiveReachesPastTheBuffer) {
    zip_builder z;
    z.central_directory = false;
    z.add("[Content_Types].xml", std::string(300, 'x')).add("_rels/.rels", std::string(300, 'y'));
    const bytes whole = z.build();

    // The first member's data is cut: the counter is the missing part.
    uint32_t beyond = 0;
    bytes cut(whole.begin(), whole.begin() + 200);
    EXPECT_EQ(walk(cut, &beyond), file_type::zip);
    EXPECT_EQ(beyond, 30u + 19 + 300 - 200);

    // The walk ends at a member that reaches past the buffer.
    bytes second_cut(whole.begin(), whole.end() - 50);
    beyond = 0;
    EXPECT_EQ(walk(second_cut, &beyond), file_type::zip);
    EXPECT_EQ(beyond, 50u);

    // Everything inside and nothing identified: 512 bytes more are asked for.
    beyond = 0;
    EXPECT_EQ(walk(whole, &beyond), file_type::zip);
    EXPECT_EQ(beyond, 512u);

    // A type found inside the buffer keeps the counter of the first member.
    z.members.push_back({"word/document.xml", xml});
    z.members[0].compressed = 100000;  // a first member that says it is huge
    const bytes docx = z.build();
    beyond = 0;
    EXPECT_EQ(walk(docx, &beyond), file_type::zip);  // the walk cannot reach the second member
    EXPECT_EQ(beyond, 30u + 19 + 100000 - docx.size());

    zip_builder found;
    found.central_directory = false;
    found.add("[Content_Types].xml", xml).add("word/document.xml", xml);
    beyond = 99;
    EXPECT_EQ(walk(found.build(), &beyond), file_type::docx);
    EXPECT_EQ(beyond, 0u);
    // identify_signature starts the counter at 0 and stage 6 keeps the ZIP-based types.
    EXPECT_EQ(signature(found.build(), &beyond), file_type::docx);
}

TEST(ZipSniff, DataDescriptorsAreSkippedOnlyWithTheirSignature) {
    zip_builder z;
    z.add("[Content_Types].xml", xml, 0x08).add("word/document.xml", xml);
    z.members[0].descriptor = true;
    EXPECT_EQ(walk(z.build()), file_type::docx);

    // Without a signature the 16 bytes are not recognised and the walk stops.
    bytes unsigned_descriptor = z.build();
    const size_t descriptor_at = 30 + 19 + xml.size();
    put_le(unsigned_descriptor, descriptor_at, 0, 4);
    uint32_t beyond = 0;
    EXPECT_EQ(walk(unsigned_descriptor, &beyond), file_type::zip);
    EXPECT_EQ(beyond, 512u);
}

TEST(ZipSniff, StreamedFirstMemberFallsBackToTheCentralDirectory) {
    zip_builder z;
    z.add("[Content_Types].xml", xml, 0x08).add("word/document.xml", xml);
    z.members[0].crc = 0;
    z.members[0].descriptor = true;
    const bytes file = z.build();
    // With a counter the walk cannot start: zip, and 512 bytes more.
    uint32_t beyond = 0;
    EXPECT_EQ(walk(file, &beyond), file_type::zip);
    EXPECT_EQ(beyond, 512u);
    EXPECT_EQ(signature(file, &beyond), file_type::zip);
    // Without one the central directory names it.
    EXPECT_EQ(walk(file), file_type::docx);
    EXPECT_EQ(container(file), file_type::docx);
    EXPECT_EQ(signature(file), file_type::docx);
    // No end record: the walker has no answer and the container is a zip.
    const bytes no_end(file.begin(), file.end() - 22);
    EXPECT_EQ(walk(no_end), 0u);
    EXPECT_EQ(container(no_end), file_type::zip);
}

TEST(ZipSniff, CentralDirectoryReadsMimetypeAndXmindThroughLocalHeaders) {
    zip_builder ods;
    ods.add("mimetype", "application/vnd.oasis.opendocument.spreadsheet", 0x08).add("content.xml", xml);
    ods.members[0].crc = 0;
    EXPECT_EQ(walk(ods.build()), file_type::ods);

    zip_builder xmind;
    xmind.add("meta.xml", "<meta xmlns=\"urn:xmind:xmap:xmlns:meta:2.0\"/>", 0x08).add("x", "");
    xmind.members[0].crc = 0;
    EXPECT_EQ(sniff_zip_directory(xmind.build().data(), xmind.build().size()), file_type::xmind);

    // After a mimetype that names nothing the walk goes on to the next header.
    zip_builder odt;
    odt.add("mimetype", "application/vnd.oasis.opendocument.text", 0x08).add("META-INF/MANIFEST.MF", "");
    odt.members[0].crc = 0;
    EXPECT_EQ(walk(odt.build()), file_type::jar);
}

TEST(ZipSniff, DirectoryWalkBoundaries) {
    zip_builder z;
    z.add("a", "1").add("xl/workbook.xml", xml);
    const bytes file = z.build();
    EXPECT_EQ(sniff_zip_directory(file.data(), file.size()), file_type::xlsx);
    // The end record must start at or before size - 22.
    EXPECT_EQ(sniff_zip_directory(file.data(), file.size() - 1), 0u);
    EXPECT_EQ(sniff_zip_directory(file.data() + file.size() - 22, 22), 0u);
    // A directory size that stops before the second header.
    bytes short_directory = file;
    const size_t end = file.size() - 22;
    put_le(short_directory, end + 12, 47, 4);
    EXPECT_EQ(sniff_zip_directory(short_directory.data(), short_directory.size()), file_type::zip);

    // Hostile offsets and sizes end in a plain zip.
    bytes hostile = file;
    put_le(hostile, end + 16, 0xFFFFFFF0u, 4);
    put_le(hostile, end + 12, 0xFFFFFFFFu, 4);
    EXPECT_EQ(sniff_zip_directory(hostile.data(), hostile.size()), file_type::zip);
    hostile = file;
    const size_t directory = file.size() - 22 - 2 * 46 - 1 - 15;
    put_le(hostile, directory + 28, 0xFFFF, 2);  // first name runs off the buffer
    EXPECT_EQ(sniff_zip_directory(hostile.data(), hostile.size()), file_type::zip);
}

TEST(ZipSniff, TinyAndHostileLocalHeaders) {
    const bytes signature_only = {0x50, 0x4B, 0x03, 0x04};
    EXPECT_EQ(walk(signature_only), file_type::zip);
    EXPECT_EQ(walk(bytes(signature_only.begin(), signature_only.begin() + 3)), 0u);
    EXPECT_EQ(walk(bytes(30, 0)), 0u);
    EXPECT_EQ(sniff_zip_entries(nullptr, 100, nullptr), 0u);

    zip_builder z;
    z.central_directory = false;
    z.add("[Content_Types].xml", xml).add("word/document.xml", xml);
    z.members[0].compressed = 0xFFFFFFFF;
    uint32_t beyond = 0;
    EXPECT_EQ(walk(z.build(), &beyond), file_type::zip);
    EXPECT_EQ(beyond, uint64_t(0xFFFFFFFF) + 30 + 19 - z.build().size());

    bytes long_name = zip_builder().add("[Content_Types].xml", xml).build();
    put_le(long_name, 26, 0xFFFF, 2);
    EXPECT_EQ(walk(long_name), file_type::zip);
    EXPECT_EQ(container(long_name), file_type::zip);
}

TEST(IdentifyContainer, OnlyContainersAreNamed) {
    std::u16string extension = u"kept";
    EXPECT_EQ(identify_container(nullptr, 10, extension), 0u);
    const bytes pdf = {'%', 'P', 'D', 'F', '-', '1', '.', '4'};
    EXPECT_EQ(identify_container(pdf.data(), pdf.size(), extension), 0u);
    EXPECT_EQ(identify_container(pdf.data(), 0, extension), 0u);
    EXPECT_EQ(extension, u"kept");
    EXPECT_EQ(container({0x50, 0x4B, 0x03, 0x04, 0}), file_type::zip);
    EXPECT_EQ(container({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}), file_type::compound_file);
    EXPECT_EQ(container({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A}), 0u);
}

}  // namespace
}  // namespace ostrel

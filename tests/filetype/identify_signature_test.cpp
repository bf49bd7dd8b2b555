#include "filetype/identify_signature.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <strings.h>
#include <vector>

#include "filetype/file_type.h"
#include "filetype/signature_rules.h"

namespace ostrel {
namespace {

using bytes = std::vector<uint8_t>;

// "89 50 4E 47" to bytes.
bytes hex(std::string_view text) {
    bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 3) out.push_back(uint8_t(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
    return out;
}

// A zero-filled block with byte strings laid at offsets.
struct block_builder {
    bytes data;
    explicit block_builder(size_t size = 1024) : data(size, 0) {}
    block_builder& put(size_t offset, const bytes& b) {
        std::copy(b.begin(), b.end(), data.begin() + offset);
        return *this;
    }
    block_builder& text(size_t offset, std::string_view s) {
        std::copy(s.begin(), s.end(), data.begin() + offset);
        return *this;
    }
    block_builder& le16(size_t offset, uint16_t v) { return put(offset, {uint8_t(v), uint8_t(v >> 8)}); }
    block_builder& le32(size_t offset, uint32_t v) {
        return put(offset, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    }
    block_builder& be32(size_t offset, uint32_t v) {
        return put(offset, {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    }
    block_builder& fill(size_t offset, size_t n, uint8_t v) {
        std::fill_n(data.begin() + offset, n, v);
        return *this;
    }
};

struct result {
    uint32_t code;
    std::u16string extension;
    uint32_t bytes_beyond;
};

result identify(const bytes& data, size_t size = SIZE_MAX) {
    result r{0, u"(unset)", 0xDEADBEEF};
    r.code = identify_signature(data.data(), std::min(size, data.size()), &r.bytes_beyond, r.extension);
    return r;
}

// The chain run in full, stage by stage, without the first-byte dispatch.
result identify_in_order(const bytes& data) {
    result r{0, u"", 0};
    signature_block block{data.data(), data.size(), &r.bytes_beyond};
    if (data.size() >= signature_block_min_bytes) {
        uint32_t code = 0;
        auto run_rules_of = [&](signature_stage stage) {
            for (const signature_rule& rule : signature_chain()) {
                if (code == 0 && rule.stage == stage) code = run_signature_rule(rule, block);
            }
        };
        run_rules_of(signature_stage::executable);
        if (!code) code = detect_image(block);
        if (!code) code = detect_document(block);
        if (!code) code = detect_video(block);
        if (!code) code = detect_audio(block);
        if (!code) code = detect_archive(block);
        run_rules_of(signature_stage::magic);
        run_rules_of(signature_stage::text);
        run_rules_of(signature_stage::zero);
        r.code = code;
    }
    r.extension = (r.code == file_type::exe && block.dll) ? u"dll" : std::u16string(file_type_extension(r.code));
    return r;
}

struct example {
    const char* what;
    uint32_t code;
    block_builder block;
};

const bytes dos_text = [] {
    std::string s = "This program cannot be run in DOS mode.\r\r\n$";
    return bytes(s.begin(), s.end());
}();

// One block per rule (and per alternative of a rule) that the rule names.
std::vector<example> rule_examples() {
    using b = block_builder;
    std::vector<example> e;
    e.push_back({"exe", file_type::exe, b().text(0, "MZ").le32(60, 0x80).put(78, dos_text)});
    e.push_back({"png", file_type::png, b().put(0, hex("89 50 4E 47 0D 0A 1A 0A"))});
    e.push_back({"jfif", file_type::jpg, b().put(0, hex("FF D8 FF E0 00 10")).text(6, "JFIF")});
    e.push_back({"qexif", file_type::jpg, b().put(0, hex("FF D8 FF E0 00 10")).text(6, "qExif")});
    e.push_back({"avi1", file_type::mjpeg, b().put(0, hex("FF D8 FF E0 00 10")).text(6, "AVI1")});
    e.push_back({"tiff in app0", file_type::tiff, b().put(0, hex("FF D8 FF E0 00 10")).text(6, "TIFF")});
    e.push_back({"jf", file_type::jpg, b().put(0, hex("FF D8 FF E0 00 10")).text(6, "JFXX")});
    e.push_back({"bmp", file_type::bmp, b().text(0, "BM").le32(2, 3000)});
    e.push_back({"ico", file_type::ico, b().put(0, hex("00 00 01 00 01 00 20 20 10"))});
    e.push_back({"cur", file_type::cur, b().put(0, hex("00 00 02 00 01 00 30 30 02"))});
    e.push_back({"psd", file_type::psd, b().text(0, "8BPS").put(4, hex("00 01")).be32(14, 0x10).be32(18, 0x10)});
    e.push_back({"tiff mm", file_type::tiff, b().put(0, hex("4D 4D 00 2A 00 00 00 08"))});
    e.push_back({"tiff ii", file_type::tiff, b().put(0, hex("49 49 2A 00 08 00 00 00"))});
    e.push_back({"tga", file_type::tga, b().put(0, hex("00 00 02")).le16(12, 64).le16(14, 48).put(16, hex("18 00"))});
    e.push_back({"tga mapped", file_type::tga,
                 b().put(0, hex("00 01 01 00 01 00 01 18")).le16(12, 64).le16(14, 48).put(16, hex("18 00"))});
    e.push_back({"gif89", file_type::gif, b().text(0, "GIF89a")});
    e.push_back({"gif87", file_type::gif, b().text(0, "GIF87a")});
    e.push_back({"jp2", file_type::jp2, b().put(0, hex("00 00 00 0C 6A 50 20 20 0D 0A 87 0A"))});
    e.push_back({"webp", file_type::webp, b().text(0, "RIFF").le32(4, 900).text(8, "WEBPVP8 ")});
    e.push_back({"dwg", file_type::dwg, b().text(0, "AC1015")});
    e.push_back({"raf", file_type::raf, b().text(0, "FUJIFILMCCD-RAW")});
    e.push_back({"ras", file_type::ras, b().put(0, hex("59 A6 6A 95"))});
    e.push_back({"cr2", file_type::cr2, b().put(0, hex("49 49 2A 00 09 00 00 00"))});
    e.push_back({"exr", file_type::exr, b().put(0, hex("76 2F 31 01 02 00 00 00")).text(8, "channels")});
    e.push_back({"hdr", file_type::hdr, b().text(0, "#?RGBE\n")});
    e.push_back({"heif", file_type::heif, b().put(0, hex("00 00 00 18")).text(4, "ftypmif1")});
    e.push_back({"heif msf1", file_type::heif, b().put(0, hex("00 00 00 18")).text(4, "ftypmsf1")});
    for (const char* brand : {"heic", "heis", "heix", "hevc", "hevx"}) {
        e.push_back({"heic", file_type::heic, b().put(0, hex("00 00 00 18")).text(4, "ftyp").text(8, brand)});
    }
    e.push_back({"xpm", file_type::xpm, b().text(0, "/* XPM */\nstatic char")});
    e.push_back({"xwd", file_type::xwd, b().be32(0, 100).be32(4, 7).be32(8, 2).be32(12, 8).be32(16, 10).be32(20, 10).be32(52, 5)});
    e.push_back({"dds", file_type::dds, b().text(0, "DDS ").le32(4, 124).le32(12, 4).le32(16, 4)});
    e.push_back({"pcx", file_type::pcx, b().put(0, hex("0A 05 01 08"))});
    e.push_back({"pcx v0", file_type::pcx, b().put(0, hex("0A 00 01 01")).fill(4, 60, 0x11)});
    e.push_back({"mng", file_type::mng, b().put(0, hex("8A 4D 4E 47 0D 0A 1A 0A"))});
    e.push_back({"pbm", file_type::pbm, b().text(0, "P1\n8 8\n")});
    e.push_back({"pgm", file_type::pgm, b().text(0, "P5\n12345678 87654321\n255\n")});
    e.push_back({"ppm", file_type::ppm, b().text(0, "P6\n1 1\n255\n")});

    e.push_back({"pdf", file_type::pdf, b().text(0, "%PDF-1.7\n")});
    e.push_back({"xml", file_type::xml, b().text(0, "<?xml version=\"1.0\"?>")});
    e.push_back({"xml utf16", file_type::xml, b().put(0, hex("FF FE 3C 00 52 00 4F 00 4F 00 54 00 53 00 54 00 55 00 42 00"))});
    e.push_back({"html", file_type::html, b().text(0, "<html>")});
    e.push_back({"HTML", file_type::html, b().text(0, "<HTML>")});
    e.push_back({"doctype", file_type::html, b().text(0, "<!DOCTYPE html>")});
    e.push_back({"doctype bom", file_type::html, b().put(0, hex("EF BB BF")).text(3, "<!DOCTYPE html>")});
    e.push_back({"dbx", file_type::dbx, b().put(0, hex("CF AD 12 FE C5 FD 74 6F 66 E3 D1 11 9A 4E 00 C0"))});
    e.push_back({"dbx c6", file_type::dbx, b().put(0, hex("CF AD 12 FE C6 FD 74 6F 66 E3 D1 11 9A 4E 00 C0"))});
    e.push_back({"dbx jmf", file_type::dbx, b().put(0, hex("4A 4D 46 36 03 00 01 00"))});
    e.push_back({"wab", file_type::wab, b().put(0, hex("9C CB CB 8D 13 75 D2 11 91 58 00 C0 4F 79 56 A4"))});
    e.push_back({"pl", file_type::pl, b().text(0, "#!/usr/bin/perl\nuse strict;")});
    e.push_back({"sh", file_type::sh, b().text(0, "#!/bin/bash\necho")});
    e.push_back({"h", file_type::h, b().text(0, "#pragma once\n")});
    e.push_back({"db", file_type::db, b().text(0, "SQLite format 3")});
    e.push_back({"rtf1", file_type::rtf, b().text(0, "{\\rtf1 \\ansi")});
    e.push_back({"snb", file_type::snb, b().text(0, "SNBP000B")});
    e.push_back({"azw3", file_type::azw3, b().text(0, "Sway").put(36, hex("5D EB 0E E4 5D EB 0E E4"))});
    e.push_back({"mobi", file_type::mobi, b().text(0, "Sway").put(36, hex("5D EB 0E E3 5D EB 0E E3"))});
    e.push_back({"pdb", file_type::pdb, b().text(0, "Sway").put(36, hex("5D EB 0E EB 5D EB 0E EB"))});
    e.push_back({"mdb", file_type::mdb, b().put(0, hex("00 01 00 00")).text(4, "Standard Jet DB")});
    e.push_back({"pst", file_type::pst, b().text(0, "!BDN").text(8, "SM").put(10, hex("17 00 00 00 01 01"))});

    e.push_back({"avi", file_type::avi, b().text(0, "RIFF").text(8, "AVI LIST")});
    e.push_back({"flv", file_type::flv, b().put(0, hex("46 4C 56 01 05 00 00 00 09"))});
    e.push_back({"mp4", file_type::mp4, b().be32(0, 0x20).text(4, "ftypisom")});
    e.push_back({"mp4 any case", file_type::mp4, b().be32(0, 0x20).text(4, "FTYPqt  ")});
    e.push_back({"m4a", file_type::m4a, b().be32(0, 0x20).text(4, "ftypM4A ")});
    e.push_back({"m4v", file_type::m4v, b().be32(0, 0x20).text(4, "ftypM4V ")});
    e.push_back({"mov", file_type::mov, b().be32(0, 0x20).text(4, "ftypMOOV")});
    e.push_back({"wmv", file_type::wmv, b().put(0, hex("30 26 B2 75 8E 66 CF 11 A6 D9 00 AA 00 62 CE 6C"))});
    e.push_back({"webm", file_type::webm,
                 b().put(0, hex("1A 45 DF A3 01 00 00 00 00 00 00 1F 42 86 81 01 42 F7 81 01 42 F2 81 04 42 F3 81 "
                                "08 42 82 84 77 65 62 6D 42 87 81 04 42 85 81 02 18 53 80 67"))});
    e.push_back({"rm", file_type::rm, b().put(0, hex("2E 52 4D 46 00 00 00 12"))});
    e.push_back({"wtv", file_type::wtv,
                 b().put(0, hex("B7 D8 00 20 37 49 DA 11 A6 4E 00 07 E9 5E AD 8D 8C C3 D2 C2 7E 9A DA 11 8B F7 00 07 "
                                "E9 5E AD 8D 01 00 00 00 02 00 00 00 00 10 00 00 00 00 04 00"))});
    e.push_back({"swf", file_type::swf, b().text(0, "FWS").put(3, hex("0A")).le32(4, 5000)});
    e.push_back({"swf compressed", file_type::swf, b().text(0, "CWS").put(3, hex("20")).le32(4, 0x9FFFFF)});
    e.push_back({"vob", file_type::vob,
                 b().put(0, hex("00 00 01 BA 44 00 04 00 04 01 86 66 CF F8 00 00 01 BB 00 09 C3 33 67 00 21 FF E0 "
                                "E0 E6 00 00 01"))});
    e.push_back({"hevc", file_type::hevc,
                 b().put(0, hex("00 00 00 01 40 01 0C 01 FF FF 01 60 00 00 03 00 90 00 00 03 00 00 03 00"))});
    e.push_back({"m2ts", file_type::m2ts,
                 b().put(0, hex("0D 9E E2 02 47 40 11 10 00 42 F0 25 00 01 C1 00 00 FF 01 FF 00 01 FC 80 14 48 12 "
                                "01 06 46 46 6D 70 65 67 09 53 65 72 76 69 63 65 30 31 77 7C 43"))});
    e.push_back({"mkv", file_type::mkv,
                 b().put(0, hex("1A 45 DF A3 01 00 00 00 00 00 00 23 42 86 81 01 42 F7 81 01 42 F2 81 04"))});
    e.push_back({"mts", file_type::mts,
                 b().put(0, hex("47 40 11 10 00 42 F0 25 00 01 C1 00 00 FF 01 FF 00 01 FC 80 14 48 12 01 06 46 46 "
                                "6D 70 65 67 09"))});
    e.push_back({"mxf", file_type::mxf,
                 b().put(0, hex("06 0E 2B 34 02 05 01 01 0D 01 02 01 01 02 04 00 68 00 01 00 02 00 00 02"))});
    e.push_back({"ogv", file_type::ogv, b().text(0, "OggS").put(4, hex("00 02"))});
    e.push_back({"mpg", file_type::mpg, b().put(0, hex("00 00 01 BA 44")).put(16, hex("01 BB"))});
    e.push_back({"mpg b3", file_type::mpg, b().put(0, hex("00 00 01 B3 44")).put(16, hex("01 BB"))});

    e.push_back({"mp3", file_type::mp3, b().text(0, "ID3").put(3, hex("04 00"))});
    e.push_back({"wav", file_type::wav, b().text(0, "RIFF").text(8, "WAVEfmt ")});
    e.push_back({"flac", file_type::flac, b().put(0, hex("66 4C 61 43 00 00 00 22 12 00 12 00 00"))});
    e.push_back({"8svx", file_type::eight_svx, b().text(0, "FORM").text(8, "8SVXVHDR")});
    e.push_back({"aiff", file_type::aiff, b().text(0, "FORM").text(8, "AIFFCOMM")});
    e.push_back({"nist", file_type::nist, b().text(0, "NIST_1A\n")});
    // Frame length 0x173 = 371: the second header sits at offset 371.
    e.push_back({"aac", file_type::aac, b().put(0, hex("FF F1 50 80 2E 7F FC")).put(371, hex("FF F1 50 80"))});

    e.push_back({"cab", file_type::cab, b().text(0, "MSCF").le32(8, 4000)});
    e.push_back({"lzh", file_type::lzh, b().put(0, hex("2A 1C")).text(2, "-lh5-").put(21, hex("01"))});
    e.push_back({"rpm", file_type::rpm, b().put(0, hex("ED AB EE DB 03 00 00 00 00 01 66"))});
    e.push_back({"rar5", file_type::rar, b().put(0, hex("52 61 72 21 1A 07 01 00"))});
    e.push_back({"rar4", file_type::rar, b().put(0, hex("52 61 72 21 1A 07 00"))});
    e.push_back({"ar", file_type::ar, b().text(0, "!<arch>\n")});
    e.push_back({"empty zip", file_type::zip, b().put(0, hex("50 4B 05 06"))});
    e.push_back({"7z", file_type::seven_zip, b().put(0, hex("37 7A BC AF 27 1C 00 04"))});
    e.push_back({"bz2", file_type::bz2, b().text(0, "BZh91AY&SY")});
    e.push_back({"alz", file_type::alz, b().put(0, hex("41 4C 5A 01"))});
    e.push_back({"egg", file_type::egg, b().text(0, "EGGA")});

    e.push_back({"mid", file_type::mid, b().text(0, "MThd")});
    e.push_back({"wmf", file_type::wmf, b().put(0, hex("D7 CD C6 9A"))});
    e.push_back({"ram", file_type::ram, b().put(0, hex("2E 72 61 FD"))});
    e.push_back({"au", file_type::au, b().text(0, ".snd")});
    e.push_back({"chm", file_type::chm, b().text(0, "ITSF")});
    e.push_back({"lnk", file_type::lnk, b().put(0, hex("4C 00 00 00 01 14 02"))});
    e.push_back({"dtd", file_type::dtd, b().text(0, "<!ENTITY")});
    e.push_back({"gitignore", file_type::gitignore, b().text(0, ".vs/\n\n")});
    e.push_back({"rtf", file_type::rtf, b().text(0, "{\\rtf2")});
    e.push_back({"hlp", file_type::hlp, b().put(0, hex("3F 5F 03 00"))});
    e.push_back({"reg", file_type::reg, b().text(0, "REGEDIT4")});
    e.push_back({"psp", file_type::psp, b().put(0, hex("7E 42 4B 00"))});
    e.push_back({"eps", file_type::eps, b().text(0, "%!PS-Adobe-3.0 EPSF-3.0")});
    e.push_back({"cnt", file_type::cnt, b().text(0, ":Base help.hlp")});
    e.push_back({"emf", file_type::emf, b().put(0, hex("01 00 00 00 58 00 00 00"))});
    e.push_back({"evt", file_type::evt, b().put(0, hex("03 00 00 00 C4 66 C4 56"))});
    e.push_back({"hqx", file_type::hqx, b().text(0, "(This file must be converted with BinHex 4.0)")});
    e.push_back({"hap", file_type::hap, b().put(0, hex("91 33 48 46"))});
    e.push_back({"xls biff", file_type::xls, b().put(0, hex("09 02 06 00 00 00 10 00 B9 04 5C 00"))});
    e.push_back({"xls biff4", file_type::xls, b().put(0, hex("09 04 06 00 00 00 10 00 F6 05 5C 00"))});
    e.push_back({"doc 1", file_type::doc, b().put(0, hex("7F FE 34 0A"))});
    e.push_back({"doc 2", file_type::doc, b().put(0, hex("12 34 56 78 90 FF"))});
    e.push_back({"doc 3", file_type::doc, b().put(0, hex("31 BE 00 00 00 AB 00 00"))});

    e.push_back({"svg", file_type::svg, b().text(0, "<?XML version=\"1.0\"?>\n<svg width=\"1\"/>")});
    e.push_back({"mime doc", file_type::doc,
                 b().text(0, "date: Mon\r\nMIME-Version: 1.0\r\nxmlns:o=\"urn:schemas-microsoft-com:office:office\"")});
    e.push_back({"mime doc word", file_type::doc,
                 b().text(0, "Date: Mon\r\nMIME-Version: 1.0\r\nxmlns:w=\"schemas-microsoft-com:office:word\"")});
    e.push_back({"eml", file_type::eml, b().text(0, "RECEIVED: FROM mx by host with SMTP id 42")});
    e.push_back({"zero", file_type::zero_block, b()});
    return e;
}

TEST(IdentifySignature, EveryRuleNamesItsExample) {
    for (const example& e : rule_examples()) {
        const result r = identify(e.block.data);
        EXPECT_EQ(r.code, e.code) << e.what;
        EXPECT_EQ(r.extension, e.code == file_type::exe ? u"exe" : file_type_extension(e.code)) << e.what;
        EXPECT_EQ(r.bytes_beyond, 0u) << e.what;
    }
}

// The first-byte dispatch must give what the whole chain gives, whatever
// byte 0 is: every example is tried with all 256 first bytes.
TEST(IdentifySignature, DispatchAgreesWithTheWholeChain) {
    for (const example& e : rule_examples()) {
        bytes data = e.block.data;
        for (int first = 0; first < 256; ++first) {
            data[0] = uint8_t(first);
            const result fast = identify(data);
            const result full = identify_in_order(data);
            ASSERT_EQ(fast.code, full.code) << e.what << " first byte " << first;
            ASSERT_EQ(fast.extension, full.extension) << e.what << " first byte " << first;
        }
    }
}

TEST(IdentifySignature, DispatchAgreesOnRandomAndMutatedBlocks) {
    std::mt19937 rng(12345);
    const auto examples = rule_examples();
    for (int round = 0; round < 20000; ++round) {
        bytes data;
        if (round % 2 == 0) {
            data.resize(512 + rng() % 1024);
            for (auto& byte : data) byte = uint8_t(rng());
        } else {
            // An example with a few bytes of its header changed.
            data = examples[rng() % examples.size()].block.data;
            for (int k = 1 + rng() % 3; k > 0; --k) data[rng() % 64] = uint8_t(rng() % 4 == 0 ? 0 : rng());
        }
        const result fast = identify(data);
        const result full = identify_in_order(data);
        ASSERT_EQ(fast.code, full.code) << "round " << round;
        ASSERT_EQ(fast.extension, full.extension) << "round " << round;
    }
}

TEST(IdentifySignature, OverlappingSignaturesFollowChainOrder) {
    using b = block_builder;
    // A little-endian TIFF is tiff when its first directory offset is even,
    // including raw camera files laid out that way; cr2 only when it is odd.
    EXPECT_EQ(identify(b().put(0, hex("49 49 2A 00 10 00 00 00")).text(8, "CR").data).code, file_type::tiff);
    EXPECT_EQ(identify(b().put(0, hex("49 49 2A 00 11 00 00 00")).data).code, file_type::cr2);
    EXPECT_EQ(identify(b().put(0, hex("4D 4D 00 2A 00 00 00 09")).data).code, 0u);
    // HEIF brands in a 24-byte ftyp box are images, found before the video stage.
    EXPECT_EQ(identify(b().put(0, hex("00 00 00 18")).text(4, "ftypheic").data).code, file_type::heic);
    EXPECT_EQ(identify(b().put(0, hex("00 00 00 1C")).text(4, "ftypheic").data).code, file_type::mp4);
    EXPECT_EQ(identify(b().put(0, hex("00 00 00 18")).text(4, "ftypmif1").le32(12, 1).data).code, file_type::mp4);
    // The box size is read little-endian and signed.
    EXPECT_EQ(identify(b().put(0, hex("00 00 00 10")).text(4, "ftypisom").data).code, file_type::mp4);
    EXPECT_EQ(identify(b().put(0, hex("10 00 00 00")).text(4, "ftypisom").data).code, 0u);
    EXPECT_EQ(identify(b().put(0, hex("00 00 00 80")).text(4, "ftypisom").data).code, 0u);
    // ASF is wmv, never audio; every Ogg stream start is ogv.
    EXPECT_EQ(identify(b().put(0, hex("30 26 B2 75 8E 66 CF 11 A6 D9 00 AA 00 62 CE 6C")).data).code, file_type::wmv);
    EXPECT_EQ(identify(b().text(0, "OggS").put(4, hex("00 02")).text(28, "\x7Fvorbis").data).code, file_type::ogv);
    // JPEG is recognised by APP0 only; an Exif-first JPEG is not named.
    EXPECT_EQ(identify(b().put(0, hex("FF D8 FF E1 00 10")).text(6, "Exif").data).code, 0u);
    EXPECT_EQ(identify(b().put(0, hex("FF D8 FF E0 00 10")).text(6, "XXXX").data).code, 0u);
    // RIFF: AVI and WAVE by their form type; WEBP before both.
    EXPECT_EQ(identify(b().text(0, "RIFF").text(8, "WAVEfmt ").data).code, file_type::wav);
    EXPECT_EQ(identify(b().text(0, "RIFF").text(8, "WAVEdata").data).code, 0u);
    // rtf with and without the version number; pcx by header or by magic.
    EXPECT_EQ(identify(b().text(0, "{\\rtf1 ").data).extension, u"rtf");
    EXPECT_EQ(identify(b().put(0, hex("0A 05 01 08")).fill(74, 54, 0xFF).data).code, file_type::pcx);
    EXPECT_EQ(identify(b().put(0, hex("0A 05 02 08")).data).code, 0u);
    // The text stage comes after every magic number: "<!ENTITY" is dtd, an
    // XML declaration is xml even when an svg element follows.
    EXPECT_EQ(identify(b().text(0, "<?xml version=\"1.0\"?><svg a=\"1\"/>").data).code, file_type::xml);
    EXPECT_EQ(identify(b().text(0, "<?XML version=\"1.0\"?><svg a=\"1\"/>").data).code, file_type::svg);
    // The Access database header may open with any version byte.
    EXPECT_EQ(identify(b().put(0, hex("FF 01 00 00")).text(4, "Standard Jet DB").data).code, file_type::mdb);
}

TEST(IdentifySignature, ExecutableIsDllOnlyWhenTheHeaderIsInTheBuffer) {
    const uint32_t h = 0x300;
    block_builder pe(2048);
    pe.text(0, "MZ").le32(60, h).put(78, dos_text).text(h, "PE").le16(h + 22, 0x2102);
    EXPECT_EQ(identify(pe.data, h + 249).extension, u"dll");
    EXPECT_EQ(identify(pe.data, h + 248).extension, u"exe");
    EXPECT_EQ(identify(pe.data, h + 248).code, file_type::exe);
    pe.le16(h + 22, 0x0102);
    EXPECT_EQ(identify(pe.data).extension, u"exe");

    // The DOS text is compared without case; a new-header offset of 64 or
    // less is not an executable.
    std::string shouting = "THIS PROGRAM CANNOT BE RUN IN DOS MODE.\r\r\n$";
    pe.text(78, shouting);
    EXPECT_EQ(identify(pe.data).code, file_type::exe);
    pe.le32(60, 64);
    EXPECT_EQ(identify(pe.data).code, 0u);
}

TEST(IdentifySignature, AnymapLineMustHoldTwoShortPartsAndOneSpace) {
    auto code = [](std::string_view text) { return identify(block_builder().text(0, text).data).code; };
    EXPECT_EQ(code("P4\n12345678 12345678\n"), file_type::pbm);
    EXPECT_EQ(code("P3\n1 1\n"), file_type::ppm);
    EXPECT_EQ(code("P3\n123456789 1\n"), 0u);
    EXPECT_EQ(code("P3\n1 123456789\n"), 0u);
    EXPECT_EQ(code("P3\n1  1\n"), 0u);
    EXPECT_EQ(code("P3\n 1\n"), 0u);
    EXPECT_EQ(code("P3\n1 1"), 0u);  // no line end in the block
    EXPECT_EQ(code("P7\n1 1\n"), 0u);
    // Parts may hold NULs as long as one byte of each is not NUL.
    EXPECT_EQ(identify(block_builder().text(0, "P2\nx ").put(5, {0, 'y'}).text(7, "\n").data).code, file_type::pgm);
    EXPECT_EQ(identify(block_builder().text(0, "P2\n").put(3, {0, ' ', '1', '\n'}).data).code, 0u);
}

TEST(IdentifySignature, AdtsNeedsASecondFrameHeaderInsideTheBuffer) {
    // Frame length 0x173 = 371 (the example above) and a buffer that ends
    // right after the second header's first bytes.
    block_builder aac(1024);
    aac.put(0, hex("FF F1 50 80 2E 7F FC")).put(371, hex("FF F1 50 80"));
    EXPECT_EQ(identify(aac.data, 512).code, file_type::aac);
    aac.put(372, hex("F3"));  // a layer field in the second header
    EXPECT_EQ(identify(aac.data).code, 0u);

    // Frame length 0x1FFF lies beyond any 1024-byte buffer.
    block_builder far(1024);
    far.put(0, hex("FF F1 50 83 FF FF FC"));
    EXPECT_EQ(identify(far.data).code, 0u);
}

// The text stage as a C string: a copy with a NUL written at N, read with
// the C library.
uint32_t text_stage_with_c_strings(const bytes& data) {
    std::vector<char> copy(data.begin(), data.end());
    copy[std::min<size_t>(data.size() - 1, 2048)] = 0;
    const char* text = copy.data();
    if (strncasecmp(text, "<?xml ", 6) == 0 && std::strstr(text, "<svg ")) return file_type::svg;
    if (strncasecmp(text, "Date:", 5) == 0 && std::strstr(text, "MIME-Version: 1.0\r\n") &&
        (std::strstr(text, "urn:schemas-microsoft-com:office:office") ||
         std::strstr(text, "schemas-microsoft-com:office:word"))) {
        return file_type::doc;
    }
    if (strncasecmp(text, "Received: from ", 15) == 0 && std::strstr(text, " with SMTP id ")) return file_type::eml;
    return 0;
}

TEST(IdentifySignature, TextStageSeesOneStringOfAtMost2048Bytes) {
    std::mt19937 rng(777);
    const std::string heads[] = {"<?XML ", "Date: x\r\nMIME-Version: 1.0\r\n", "Received: from a"};
    const std::string needles[] = {"<svg ", "urn:schemas-microsoft-com:office:office", " with SMTP id "};
    for (int round = 0; round < 3000; ++round) {
        const size_t size = round % 3 == 0 ? 512 : 512 + rng() % 3000;
        bytes data(size);
        for (auto& byte : data) byte = uint8_t('a' + rng() % 26);
        const int kind = rng() % 3;
        std::copy(heads[kind].begin(), heads[kind].end(), data.begin());
        // Place the needle around the interesting boundaries: the end of the
        // string at N, and a NUL that may end it earlier.
        const std::string& needle = needles[kind];
        const size_t n = std::min<size_t>(size - 1, 2048);
        const size_t around[] = {n - needle.size(), n - needle.size() + 1, 40, size_t(rng() % (size - needle.size()))};
        const size_t at = std::max<size_t>(heads[kind].size(), around[rng() % 4]);
        if (at + needle.size() <= size) std::copy(needle.begin(), needle.end(), data.begin() + at);
        if (rng() % 3 == 0) data[heads[kind].size() + rng() % (size - heads[kind].size())] = 0;

        const uint32_t want = text_stage_with_c_strings(data);
        ASSERT_EQ(identify(data).code, want) << "round " << round;
    }
}

TEST(IdentifySignature, TextStageEdges) {
    // A 512-byte block is text up to offset 510: byte 511 ends the string.
    block_builder eml(512);
    eml.fill(0, 512, 'x').text(0, "Received: from x").text(511 - 14, " with SMTP id ");
    EXPECT_EQ(identify(eml.data).code, file_type::eml);
    eml.fill(497, 15, 'z').text(498, " with SMTP id ");
    EXPECT_EQ(identify(eml.data).code, 0u);

    // A MIME header beyond the first 2048 bytes is not seen.
    block_builder mime(4096);
    mime.fill(0, 4096, 'x').text(0, "Date: Mon").text(100, "urn:schemas-microsoft-com:office:word").fill(200, 3800, 'x');
    mime.text(3000, "MIME-Version: 1.0\r\n");
    EXPECT_EQ(identify(mime.data).code, 0u);
    mime.text(2048 - 19, "MIME-Version: 1.0\r\n");
    EXPECT_EQ(identify(mime.data).code, file_type::doc);
    mime.text(2048 - 18, "MIME-Version: 1.0\r\n");
    EXPECT_EQ(identify(mime.data).code, 0u);
}

TEST(IdentifySignature, ZeroBlockAndNothing) {
    EXPECT_EQ(identify(bytes(512, 0)).code, file_type::zero_block);
    EXPECT_EQ(identify(bytes(512, 0)).extension, u"");
    bytes late(512, 0);
    late[511] = 1;
    const result r = identify(late);
    EXPECT_EQ(r.code, 0u);
    EXPECT_EQ(r.extension, u"");  // cleared, not left from before
    // Only the first 512 bytes count.
    bytes long_zero(4096, 0);
    long_zero[600] = 0xAA;
    EXPECT_EQ(identify(long_zero).code, file_type::zero_block);
}

TEST(IdentifySignature, ShortOrMissingBuffersAreNotIdentified) {
    std::u16string extension = u"old";
    uint32_t beyond = 7;
    EXPECT_EQ(identify_signature(nullptr, 4096, &beyond, extension), 0u);
    EXPECT_EQ(extension, u"");
    EXPECT_EQ(beyond, 0u);
    const bytes zero(511, 0);
    extension = u"old";
    EXPECT_EQ(identify_signature(zero.data(), zero.size(), nullptr, extension), 0u);
    EXPECT_EQ(extension, u"");
}

}  // namespace
}  // namespace ostrel

#include "sniff.h"

#include <cstring>
#include <fstream>

#include "system.h"

namespace ostrel::cli {

namespace {

struct container {
    const char* magic;
    size_t length;
    size_t offset;
    const char* what;
    const char* advice;  // %s: the file
};

// Advice names the usual tool; the command only reads the source.
const container known[] = {
    {"\xFD\x37\x7A\x58\x5A\x00", 6, 0, "xz-compressed", "unpack it first (xz -dk %s)"},
    {"\x1F\x8B", 2, 0, "gzip-compressed", "unpack it first (gzip -dk %s)"},
    {"BZh", 3, 0, "bzip2-compressed", "unpack it first (bzip2 -dk %s)"},
    {"\x28\xB5\x2F\xFD", 4, 0, "zstd-compressed", "unpack it first (zstd -d %s)"},
    {"7z\xBC\xAF\x27\x1C", 6, 0, "a 7-Zip archive", "extract the image from it first (7z x %s)"},
    {"PK\x03\x04", 4, 0, "a zip archive", "extract the image from it first (unzip %s)"},
    {"EVF\x09\x0D\x0A\xFF\x00", 8, 0, "an EnCase evidence file (E01)", "convert it to a raw image first (ewfexport %s)"},
    {"EVF2\x0D\x0A\x81\x00", 8, 0, "an EnCase evidence file (Ex01)", "convert it to a raw image first (ewfexport %s)"},
    {"AFF10\x0D\x0A", 7, 0, "an AFF evidence file", "convert it to a raw image first (affconvert -r %s)"},
    {"QFI\xFB", 4, 0, "a QEMU disk image (qcow)", "convert it to a raw image first (qemu-img convert -O raw %s disk.img)"},
    {"KDMV", 4, 0, "a VMware disk image (VMDK)", "convert it to a raw image first (qemu-img convert -O raw %s disk.img)"},
    {"vhdxfile", 8, 0, "a Hyper-V disk image (VHDX)", "convert it to a raw image first (qemu-img convert -O raw %s disk.img)"},
    {"conectix", 8, 0, "a Virtual PC disk image (VHD)", "convert it to a raw image first (qemu-img convert -O raw %s disk.img)"},
    {"<<< Oracle VM VirtualBox Disk Image >>>", 39, 0, "a VirtualBox disk image (VDI)",
     "convert it to a raw image first (qemu-img convert -O raw %s disk.img)"},
    {"\x7F" "ELF", 4, 0, "a program (ELF)", ""},
    {"MZ", 2, 0, "a Windows program", ""},
};

}  // namespace

std::string describe_container(const std::string& path) {
    char head[64] = {};
    std::ifstream in(native_path(path), std::ios::binary);
    in.read(head, sizeof head);
    const size_t got = static_cast<size_t>(in.gcount());
    for (const container& c : known) {
        if (c.offset + c.length > got || std::memcmp(head + c.offset, c.magic, c.length) != 0) continue;
        std::string text = std::string("it is ") + c.what;
        if (*c.advice) {
            std::string advice = c.advice;
            advice.replace(advice.find("%s"), 2, path);
            text += ": " + advice + " and give ostrel the image";
        }
        return text;
    }
    return {};
}

}  // namespace ostrel::cli

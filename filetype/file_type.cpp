#include "filetype/file_type.h"

#include <array>

namespace ostrel {

namespace {

constexpr std::array<std::u16string_view, file_type::last_code + 1> make_extension_table() {
    std::array<std::u16string_view, file_type::last_code + 1> t{};
    using namespace file_type;
    t[png] = u"png"; t[jpg] = u"jpg"; t[bmp] = u"bmp"; t[ico] = u"ico"; t[cur] = u"cur";
    t[gif] = u"gif"; t[tiff] = u"tiff"; t[dwg] = u"dwg"; t[psd] = u"psd"; t[svg] = u"svg";
    t[cr2] = u"cr2"; t[xwd] = u"xwd"; t[dds] = u"dds"; t[exr] = u"exr"; t[hdr] = u"hdr";
    t[heic] = u"heic"; t[heif] = u"heif"; t[jp2] = u"jp2"; t[mng] = u"mng"; t[pbm] = u"pbm";
    t[pgm] = u"pgm"; t[ppm] = u"ppm"; t[pcx] = u"pcx"; t[raf] = u"raf"; t[ras] = u"ras";
    t[tga] = u"tga"; t[webp] = u"webp"; t[xpm] = u"xpm";

    t[pl] = u"pl"; t[sh] = u"sh"; t[h] = u"h"; t[odp] = u"odp"; t[ods] = u"ods";
    t[odg] = u"odg"; t[epub] = u"epub"; t[db] = u"db"; t[snb] = u"snb"; t[azw3] = u"azw3";
    t[mobi] = u"mobi"; t[pdb] = u"pdb"; t[rtf] = u"rtf"; t[mdb] = u"mdb"; t[pst] = u"pst";
    t[wab] = u"wab"; t[dbx] = u"dbx"; t[msg] = u"msg"; t[compound_file] = u"$ms-compound-file";
    t[exe] = u"exe"; t[pdf] = u"pdf"; t[xml] = u"xml"; t[html] = u"html"; t[eml] = u"eml";
    t[chm] = u"chm"; t[gitignore] = u"gitignore"; t[cnt] = u"cnt"; t[emf] = u"emf";
    t[evt] = u"evt"; t[hlp] = u"hlp"; t[hqx] = u"hqx"; t[lnk] = u"lnk"; t[reg] = u"reg";
    t[eps] = u"eps"; t[cab] = u"cab"; t[hap] = u"hap"; t[xls] = u"xls"; t[xlsx] = u"xlsx";
    t[doc] = u"doc"; t[docx] = u"docx"; t[ppt] = u"ppt"; t[pptx] = u"pptx"; t[psp] = u"psp";
    t[rpm] = u"rpm"; t[dtd] = u"dtd"; t[mid] = u"mid"; t[ram] = u"ram"; t[au] = u"au";
    t[wmf] = u"wmf";

    t[wav] = u"wav"; t[mp3] = u"mp3"; t[m4a] = u"m4a"; t[flac] = u"flac";
    t[eight_svx] = u"8svx"; t[aac] = u"aac"; t[aiff] = u"aiff"; t[nist] = u"nist";

    t[avi] = u"avi"; t[flv] = u"flv"; t[hevc] = u"hevc"; t[m2ts] = u"m2ts"; t[mpg] = u"mpg";
    t[m4v] = u"m4v"; t[mkv] = u"mkv"; t[mov] = u"mov"; t[mp4] = u"mp4"; t[mts] = u"mts";
    t[mxf] = u"mxf"; t[ogv] = u"ogv"; t[rm] = u"rm"; t[swf] = u"swf"; t[vob] = u"vob";
    t[webm] = u"webm"; t[wmv] = u"wmv"; t[wtv] = u"wtv"; t[mjpeg] = u"mjpeg";

    t[zip] = u"zip"; t[seven_zip] = u"7z"; t[bz2] = u"bz2"; t[alz] = u"alz"; t[ar] = u"ar";
    t[egg] = u"egg"; t[lzh] = u"lzh"; t[rar] = u"rar"; t[xmind] = u"xmind"; t[jar] = u"jar";
    t[apk] = u"apk"; t[war] = u"war"; t[mmap] = u"mmap";
    return t;
}

constexpr auto extension_table = make_extension_table();

}  // namespace

std::u16string_view file_type_extension(uint32_t code) {
    return code < extension_table.size() ? extension_table[code] : std::u16string_view();
}

}  // namespace ostrel

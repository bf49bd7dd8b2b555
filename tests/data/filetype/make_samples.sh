#!/bin/bash
# Makes small real files of the types that type identification names, using
# tools that Debian packages, and writes samples.tsv: file, expected code,
# expected extension, and a note where the tool's layout decides the result.
#
# Each sample is cut to its first few KiB (enough to identify it; container
# samples are kept whole while small). Run it again to remake the folder.
#
# Packages: imagemagick libmagickcore-6.q16-6-extra netpbm icoutils sox
# ffmpeg flac zip p7zip-full bzip2 gcab ghostscript binutils sqlite3
# libgsf-bin midicsv macutils rpm gcc-mingw-w64-i686-win32 librsvg2-bin
# python3. A missing tool skips its samples with a message.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=$here/samples
manifest=$here/samples.tsv
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out"
printf '# file\tcode\textension\tnote\n' > "$manifest"
cd "$work"

# /usr/local/bin may hold other programs named convert.
convert=/usr/bin/convert
default_limit=4096

have() {
    local tool
    for tool in "$@"; do
        if ! command -v "$tool" > /dev/null; then
            echo "skipped (no $tool): ${FUNCNAME[1]}" >&2
            return 1
        fi
    done
}

# keep SOURCE NAME CODE EXTENSION [LIMIT] [NOTE]
keep() {
    local source=$1 name=$2 code=$3 extension=$4 limit=${5:-$default_limit} note=${6:-}
    head -c "$limit" "$source" > "$out/$name"
    printf '%s\t%s\t%s\t%s\n' "$name" "$code" "$extension" "$note" >> "$manifest"
}

images() {
    have "$convert" pngtopnm pnmtoxwd icotool || return 0
    "$convert" -size 48x32 gradient:navy-orange -depth 8 src.png
    keep src.png image.png 1 png
    "$convert" src.png jpg:image.jpg && keep image.jpg image.jpg 2 jpg
    "$convert" src.png bmp:image.bmp && keep image.bmp image.bmp 3 bmp
    "$convert" src.png -resize 32x32! ico:image.ico && keep image.ico image.ico 4 ico
    "$convert" src.png -resize 32x32! png32:cursor.png
    icotool -c --cursor --hotspot-x=1 --hotspot-y=1 -o image.cur cursor.png && keep image.cur image.cur 5 cur
    "$convert" src.png gif:image.gif && keep image.gif image.gif 6 gif
    "$convert" src.png -define tiff:endian=lsb tiff:image-le.tiff && keep image-le.tiff image-le.tiff 7 tiff
    "$convert" src.png -define tiff:endian=msb tiff:image-be.tiff && keep image-be.tiff image-be.tiff 7 tiff
    "$convert" src.png psd:image.psd && keep image.psd image.psd 9 psd
    "$convert" src.png exr:image.exr && keep image.exr image.exr 14 exr
    "$convert" src.png jp2:image.jp2 && keep image.jp2 image.jp2 18 jp2
    "$convert" src.png mng:image.mng && keep image.mng image.mng 19 mng
    "$convert" src.png -monochrome pbm:image.pbm && keep image.pbm image.pbm 20 pbm
    "$convert" src.png -colorspace gray pgm:image.pgm && keep image.pgm image.pgm 21 pgm
    "$convert" src.png ppm:image.ppm && keep image.ppm image.ppm 22 ppm
    "$convert" src.png pcx:image.pcx && keep image.pcx image.pcx 23 pcx
    "$convert" src.png sun:image.ras && keep image.ras image.ras 25 ras
    "$convert" src.png -type TrueColor tga:image.tga && keep image.tga image.tga 26 tga
    "$convert" src.png webp:image.webp && keep image.webp image.webp 27 webp
    "$convert" src.png xpm:image.xpm && keep image.xpm image.xpm 28 xpm
    "$convert" src.png dds:image.dds && keep image.dds image.dds 13 dds
    # The header size counts the window name, which is the input file's name:
    # a three-letter name makes the 104-byte header.
    pngtopnm src.png > win && pnmtoxwd win > image.xwd 2> /dev/null && keep image.xwd image.xwd 12 xwd
    # libheif writes a 28-byte ftyp box (with the miaf brand); only 24-byte
    # boxes are taken for HEIF images, so this one is named by the video rule.
    "$convert" src.png heic:image.heic && keep image.heic image.heic 100 mp4 "" "28-byte ftyp box"
    if have rsvg-convert; then
        printf '<svg xmlns="http://www.w3.org/2000/svg" width="8" height="8"><rect width="8" height="8"/></svg>' > in.svg
        rsvg-convert -f svg -o image.svg in.svg
        keep image.svg image.svg 50 xml "" "starts with a lower-case XML declaration"
    fi
}

documents() {
    have gs sqlite3 binhex i686-w64-mingw32-gcc || return 0
    printf '%%!PS\n/Helvetica findfont 12 scalefont setfont 72 72 moveto (Ostrel) show showpage\n' > page.ps
    gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -sOutputFile=doc.pdf page.ps && keep doc.pdf doc.pdf 49 pdf
    gs -q -dNOPAUSE -dBATCH -sDEVICE=eps2write -sOutputFile=doc.eps page.ps && keep doc.eps doc.eps 62 eps
    sqlite3 doc.db 'create table t(x integer primary key, y text); insert into t values (1, "one");'
    keep doc.db doc.db 36 db
    seq 1 300 > lines.txt && binhex -u lines.txt > doc.hqx && keep doc.hqx doc.hqx 59 hqx

    printf '#include <windows.h>\nint main(void) { MessageBoxA(0, "x", "y", 0); return 0; }\n' > main.c
    i686-w64-mingw32-gcc -Os -s main.c -o program.exe && keep program.exe program.exe 48 exe 8192
    printf '__declspec(dllexport) int answer(void) { return 42; }\n' > lib.c
    i686-w64-mingw32-gcc -Os -s -shared lib.c -o library.dll && keep library.dll library.dll 48 dll 8192

    # Text formats, written as their tools write them.
    printf '#!/bin/bash\nset -e\necho "hello"\n' > script.sh && keep script.sh script.sh 30 sh
    printf '#!/usr/bin/perl\nuse strict;\nprint "hello\\n";\n' > script.pl && keep script.pl script.pl 29 pl
    printf '#pragma once\n\nint answer(void);\n' > header.h && keep header.h header.h 31 h
    printf '{\\rtf1 \\ansi\\deff0 {\\fonttbl {\\f0 Times;}}\\f0 Hello\\par}\n' > doc.rtf && keep doc.rtf doc.rtf 41 rtf
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<note><to>x</to></note>\n' > doc.xml && keep doc.xml doc.xml 50 xml
    printf '<!DOCTYPE html>\n<html><head><title>x</title></head><body>x</body></html>\n' > page.html
    keep page.html page.html 51 html
    printf '<!ENTITY %% common "INCLUDE">\n<!ELEMENT note (#PCDATA)>\n' > doc.dtd && keep doc.dtd doc.dtd 73 dtd
    printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Ostrel]\r\n"Value"="1"\r\n' > doc.reg && keep doc.reg doc.reg 61 reg
    printf ':Base help.hlp\r\n1 Contents\r\n' > help.cnt && keep help.cnt help.cnt 55 cnt
    printf '.vs/\n\n# Build results\n[Dd]ebug/\n' > vs.gitignore && keep vs.gitignore vs.gitignore 54 gitignore
    printf 'Received: from mail.example.org (mail.example.org [192.0.2.1])\r\n        by mx.example.com with SMTP id a1b2c3\r\n        for <user@example.com>; Mon, 1 Jan 2024 10:00:00 +0000\r\nSubject: test\r\n\r\nbody\r\n' > mail.eml
    keep mail.eml mail.eml 52 eml
    printf 'Date: Mon, 1 Jan 2024 10:00:00 +0000\r\nMIME-Version: 1.0\r\nContent-Type: multipart/related; boundary="b"\r\n\r\n--b\r\nContent-Type: text/html\r\n\r\n<html xmlns:o="urn:schemas-microsoft-com:office:office" xmlns:w="urn:schemas-microsoft-com:office:word">\r\n--b--\r\n' > page.mht
    keep page.mht page.mht 67 doc "" "Word web archive"
}

compound_files() {
    have gsf || return 0
    mkdir ole && cd ole
    printf 'word body text%.0s' $(seq 40) > WordDocument && printf 'table%.0s' $(seq 120) > 1Table
    gsf createole ../doc.doc WordDocument 1Table > /dev/null 2>&1 && rm -f WordDocument 1Table
    printf 'biff%.0s' $(seq 150) > Workbook && gsf createole ../sheet.xls Workbook > /dev/null 2>&1 && rm -f Workbook
    printf 'slides%.0s' $(seq 100) > 'PowerPoint Document' && printf 'user' > 'Current User'
    gsf createole ../slides.ppt 'PowerPoint Document' 'Current User' > /dev/null 2>&1 && rm -f 'PowerPoint Document' 'Current User'
    mkdir __nameid_version1.0 && printf 'guid%.0s' $(seq 10) > __nameid_version1.0/__substg1.0_00020102
    printf 'Subject' > __substg1.0_0037001F
    gsf createole ../mail.msg __substg1.0_0037001F __nameid_version1.0 > /dev/null 2>&1 && rm -rf __nameid_version1.0 __substg1.0_0037001F
    printf 'contents%.0s' $(seq 100) > Contents && gsf createole ../plain.cfb Contents > /dev/null 2>&1
    cd ..
    keep doc.doc compound.doc 67 doc 16384
    keep sheet.xls compound.xls 65 xls 16384
    keep slides.ppt compound.ppt 69 ppt 16384
    keep mail.msg compound.msg 46 msg 16384
    keep plain.cfb compound.cfb 47 '$ms-compound-file' 16384
}

audio() {
    have ffmpeg sox flac csvmidi || return 0
    local ff="ffmpeg -hide_banner -loglevel error -y"
    $ff -f lavfi -i sine=frequency=440:duration=0.5:sample_rate=8000 tone.wav
    keep tone.wav audio.wav 79 wav
    $ff -i tone.wav -c:a libmp3lame audio.mp3 && keep audio.mp3 audio.mp3 80 mp3
    $ff -i tone.wav -c:a aac -f ipod audio.m4a && keep audio.m4a audio.m4a 83 m4a
    # The reference encoder's STREAMINFO block is named with 4608-sample blocks.
    flac -s -f -b 4608 -o audio.flac tone.wav 2> /dev/null && keep audio.flac audio.flac 84 flac
    sox tone.wav audio.8svx && keep audio.8svx audio.8svx 85 8svx
    $ff -i tone.wav -c:a aac -f adts audio.aac && keep audio.aac audio.aac 86 aac
    $ff -i tone.wav audio.aiff && keep audio.aiff audio.aiff 87 aiff
    sox tone.wav -t sph audio.nist && keep audio.nist audio.nist 88 nist
    sox tone.wav audio.au && keep audio.au audio.au 77 au
    printf '0, 0, Header, 1, 1, 96\n1, 0, Start_track\n1, 0, Note_on_c, 0, 60, 81\n1, 96, Note_off_c, 0, 60, 0\n1, 96, End_track\n0, 0, End_of_file\n' > song.csv
    csvmidi song.csv audio.mid && keep audio.mid audio.mid 74 mid
}

video() {
    have ffmpeg || return 0
    local ff="ffmpeg -hide_banner -loglevel error -y"
    local source="-f lavfi -i testsrc=size=64x48:rate=25 -t 0.4 -pix_fmt yuv420p"
    $ff $source -c:v mpeg4 video.avi && keep video.avi video.avi 91 avi
    $ff $source -c:v flv1 video.flv && keep video.flv video.flv 92 flv
    $ff $source -c:v libx265 -f hevc video.hevc 2> /dev/null && keep video.hevc video.hevc 94 hevc
    # The transport stream's first arrival time follows from a zero mux delay.
    $ff $source -c:v mpeg2video -muxdelay 0 -f mpegts -mpegts_m2ts_mode 1 video.m2ts && keep video.m2ts video.m2ts 95 m2ts
    $ff $source -c:v mpeg2video -f dvd video.mpg && keep video.mpg video.mpg 96 mpg
    $ff $source -c:v mpeg4 -f ipod video.m4v && keep video.m4v video.m4v 97 m4v
    # QuickTime's own brand is "qt  "; only the MOOV brand is taken for mov.
    $ff $source -c:v mpeg4 video.mov && keep video.mov video.mov 100 mp4 "" "qt brand"
    $ff $source -c:v mpeg4 video.mp4 && keep video.mp4 video.mp4 100 mp4
    $ff $source -c:v mpeg2video -f mpegts video.mts && keep video.mts video.mts 101 mts
    $ff $source -c:v libtheora video.ogv && keep video.ogv video.ogv 103 ogv
    $ff $source -c:v rv10 video.rm && keep video.rm video.rm 104 rm
    $ff $source -c:v flv1 -f swf video.swf && keep video.swf video.swf 105 swf
    $ff $source -c:v mpeg2video -f vob video.vob && keep video.vob video.vob 106 vob
    $ff $source -c:v msmpeg4v2 -f asf video.wmv && keep video.wmv video.wmv 108 wmv
    $ff $source -c:v mpeg2video -f wtv video.wtv && keep video.wtv video.wtv 109 wtv
}

archives() {
    have zip 7z bzip2 gcab ar rpmbuild python3 || return 0
    seq 1 500 > numbers.txt
    printf 'hello\n' > hello.txt
    zip -q archive.zip numbers.txt hello.txt && keep archive.zip archive.zip 111 zip 16384
    # Written to a pipe, zip puts sizes in data descriptors after the data.
    zip -q - numbers.txt hello.txt > streamed.zip && keep streamed.zip streamed.zip 111 zip 16384
    7z a -bd -bso0 archive.7z numbers.txt hello.txt && keep archive.7z archive.7z 112 7z
    bzip2 -9 -c numbers.txt > numbers.bz2 && keep numbers.bz2 numbers.bz2 113 bz2
    ar rc archive.ar numbers.txt hello.txt && keep archive.ar archive.ar 115 ar
    gcab -c archive.cab numbers.txt hello.txt && keep archive.cab archive.cab 63 cab

    mkdir -p rpm/SPECS
    cat > rpm/SPECS/sample.spec << 'SPEC'
Name: ostrel-sample
Version: 1.0
Release: 1
Summary: Sample package
License: MIT
BuildArch: noarch
%description
A package with no files.
%files
SPEC
    rpmbuild --quiet --define "_topdir $PWD/rpm" -bb rpm/SPECS/sample.spec > /dev/null 2>&1
    keep rpm/RPMS/noarch/ostrel-sample-1.0-1.noarch.rpm package.rpm 72 rpm

    # ZIP-based formats, laid out member by member as their applications write them.
    python3 - "$out" "$manifest" << 'PY'
import sys, zipfile
out, manifest = sys.argv[1], sys.argv[2]
xml = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
types = xml + '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>'
rels = xml + '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"/>'
D, S = zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED

def odf(mimetype):
    return [('mimetype', mimetype, S), ('content.xml', xml + '<office:document-content/>', D),
            ('styles.xml', xml + '<office:document-styles/>', D), ('meta.xml', xml + '<office:document-meta/>', D),
            ('META-INF/manifest.xml', xml + '<manifest:manifest/>', D)]

samples = [
    ('document.docx', 68, 'docx', [('[Content_Types].xml', types, D), ('_rels/.rels', rels, D),
        ('docProps/core.xml', xml + '<cp:coreProperties/>', D), ('word/_rels/document.xml.rels', rels, D),
        ('word/document.xml', xml + '<w:document/>', D), ('word/styles.xml', xml + '<w:styles/>', D)]),
    ('workbook.xlsx', 66, 'xlsx', [('[Content_Types].xml', types, D), ('_rels/.rels', rels, D),
        ('docProps/app.xml', xml + '<Properties/>', D), ('xl/_rels/workbook.xml.rels', rels, D),
        ('xl/workbook.xml', xml + '<workbook/>', D), ('xl/worksheets/sheet1.xml', xml + '<worksheet/>', D)]),
    ('slides.pptx', 70, 'pptx', [('[Content_Types].xml', types, D), ('_rels/.rels', rels, D),
        ('ppt/_rels/presentation.xml.rels', rels, D), ('ppt/presentation.xml', xml + '<p:presentation/>', D),
        ('ppt/slides/slide1.xml', xml + '<p:sld/>', D)]),
    ('slides.odp', 32, 'odp', odf('application/vnd.oasis.opendocument.presentation')),
    ('sheet.ods', 33, 'ods', odf('application/vnd.oasis.opendocument.spreadsheet')),
    ('drawing.odg', 34, 'odg', odf('application/vnd.oasis.opendocument.graphics')),
    ('text.odt', 111, 'zip', odf('application/vnd.oasis.opendocument.text')),
    ('book.epub', 35, 'epub', [('mimetype', 'application/epub+zip', S),
        ('META-INF/container.xml', xml + '<container/>', D), ('OEBPS/content.opf', xml + '<package/>', D)]),
    ('mindmap.xmind', 121, 'xmind', [
        ('content.xml', xml + '<xmap-content xmlns="urn:xmind:xmap:xmlns:content:2.0" version="2.0"/>', S),
        ('meta.xml', xml + '<meta xmlns="urn:xmind:xmap:xmlns:meta:2.0"/>', S),
        ('META-INF/manifest.xml', xml + '<manifest/>', D)]),
    ('library.jar', 122, 'jar', [('META-INF/', '', S), ('META-INF/MANIFEST.MF', 'Manifest-Version: 1.0\r\n\r\n', D),
        ('org/ostrel/Sample.class', '\xca\xfe\xba\xbe', D)]),
    ('app.apk', 123, 'apk', [('AndroidManifest.xml', '\x03\x00\x08\x00' * 20, D), ('classes.dex', 'dex\n035\x00', D),
        ('resources.arsc', '\x02\x00\x0c\x00', D)]),
    ('webapp.war', 124, 'war', [('META-INF/', '', S), ('WEB-INF/', '', S), ('WEB-INF/web.xml', xml + '<web-app/>', D),
        ('META-INF/MANIFEST.MF', 'Manifest-Version: 1.0\r\n\r\n', D)]),
    ('map.mmap', 125, 'mmap', [('Document.xml', xml + '<ap:Map/>', D), ('xsd/MindManagerCore.xsd', xml + '<xs:schema/>', D)]),
]
with open(manifest, 'a') as m:
    for name, code, ext, members in samples:
        with zipfile.ZipFile(f'{out}/{name}', 'w') as z:
            for member, data, method in members:
                info = zipfile.ZipInfo(member, date_time=(2024, 1, 1, 0, 0, 0))
                info.compress_type = method
                z.writestr(info, data)
        m.write(f'{name}\t{code}\t{ext}\t{"mimetype of a text document" if name == "text.odt" else ""}\n')
    zipfile.ZipFile(f'{out}/empty.zip', 'w').close()
    m.write('empty.zip\t111\tzip\tend record only\n')
PY
}

images
documents
compound_files
audio
video
archives
echo "$(($(wc -l < "$manifest") - 1)) samples, $(du -sk "$out" | cut -f1) KiB in $out"

#!/usr/bin/env bash
# Regenerates the encoded samples in encodings/ from the UTF-8 texts in encodings/source/
# with glibc's iconv, so that the tests compare Qt's codecs with another implementation.
# Only needed when a source text or the list below changes.
set -euo pipefail

here="$(cd "$(dirname "$0")/encodings" && pwd)"
src="$here/source"

# encode SOURCE ICONV-CHARSET OUTPUT [BOM-BYTES]
encode() {
    local out="$here/$3"
    if [ -n "${4:-}" ]; then
        printf "$4" >"$out"
    else
        : >"$out"
    fi
    iconv -f UTF-8 -t "$2" "$src/$1" >>"$out"
}

encode zh-hans.txt UTF-8 zh-hans.utf-8.txt
encode zh-hans.txt UTF-8 zh-hans.utf-8-bom.txt '\xEF\xBB\xBF'
encode zh-hans.txt GBK zh-hans.gbk.txt
encode zh-hans.txt UTF-16LE zh-hans.utf-16le.txt
encode zh-hans.txt UTF-16BE zh-hans.utf-16be.txt
encode zh-gb18030.txt GB18030 zh-gb18030.gb18030.txt
encode zh-hant.txt BIG5 zh-hant.big5.txt
encode ja.txt SHIFT_JIS ja.shift_jis.txt
encode ko.txt EUC-KR ko.euc-kr.txt
encode fr.txt WINDOWS-1252 fr.windows-1252.txt
encode export.tsv UTF-16LE export.utf-16le-bom.tsv '\xFF\xFE'
encode export.tsv UTF-16BE export.utf-16be-bom.tsv '\xFE\xFF'
encode export.tsv UTF-32LE export.utf-32le-bom.tsv '\xFF\xFE\x00\x00'

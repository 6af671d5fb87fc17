#!/usr/bin/env bash
# Regenerates the workbook fixtures in this folder with programs other than ours:
# LibreOffice Calc (headless) and openpyxl. Only needed when the fixtures change:
#   apt-get install -y --no-install-recommends libreoffice-calc-nogui python3-openpyxl
# What neither writes (inline strings, cells without references, phonetic runs, broken
# files) is built by the tests themselves.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fods_header='<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0"
 xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0"
 office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.spreadsheet">
<office:automatic-styles>
 <style:style style:name="T1" style:family="text"><style:text-properties fo:font-weight="bold"/></style:style>
</office:automatic-styles>
<office:body><office:spreadsheet>'
fods_footer='</office:spreadsheet></office:body></office:document>'

s() { printf '<table:table-cell office:value-type="string"><text:p>%s</text:p></table:table-cell>' "$1"; }
n() { printf '<table:table-cell office:value-type="float" office:value="%s"><text:p>%s</text:p></table:table-cell>' "$1" "$1"; }
e() { printf '<table:table-cell/>'; }
row() { printf '<table:table-row>%s</table:table-row>\n' "$*"; }

# Mode one as another program saves it: single and doubled backslashes, a bold run in the
# middle of a replacement, numbers, a two-paragraph cell, an empty replacement, and rows
# after an empty keyword that must not be imported. (LibreOffice stores booleans as
# formatted numbers, so booleans come from openpyxl below.)
{
    echo "$fods_header"
    echo '<table:table table:name="易换方式一_文件列表">'
    row "$(s 'C:\dir\a.txt')"
    row "$(s 'D:\\数据\\报告 1.txt')"
    row "$(s '/home/用户/b c.txt')"
    echo '</table:table>'
    echo '<table:table table:name="易换方式一_关键字列表">'
    row "$(s '被替换关键字:')" "$(s '欲替换为:')"
    row "$(s '旧词')" '<table:table-cell office:value-type="string"><text:p>新<text:span text:style-name="T1">的</text:span>词</text:p></table:table-cell>'
    row "$(n 123)" "$(n 1.5)"
    row "$(s 'a|b')" "$(e)"
    row '<table:table-cell office:value-type="string"><text:p>第一行</text:p><text:p>第二行</text:p></table:table-cell>' "$(s '换 成')"
    row "$(e)" "$(s '孤立的替换')"
    row "$(s '不应导入')" "$(s 'x')"
    echo '</table:table>'
    echo "$fods_footer"
} >"$work/lo-mode-one.fods"

# Mode two behind an unrelated first sheet, with a gap in the header row after column D.
{
    echo "$fods_header"
    echo '<table:table table:name="说明">'
    row "$(s '这张表不是列表')"
    echo '</table:table>'
    echo '<table:table table:name="易换方式二_替换文件列表">'
    row "$(s '关键字或位置')" "$(s 'C:\甲\1.txt')" "$(s 'C:\\乙\\2.txt')" "$(s '/丙/3.txt')" "$(e)" "$(s '/不导入.txt')"
    row "$(s '甲词')" "$(s '一')" "$(e)" "$(s '三')" "$(e)" "$(s 'x')"
    row "$(n 42)" "$(n 0.5)" "$(n -3)" "$(s 'a|b')" "$(e)" "$(s 'y')"
    row "$(e)" "$(s '孤立')"
    row "$(s '不应导入')" "$(s 'z')"
    echo '</table:table>'
    echo "$fods_footer"
} >"$work/lo-mode-two.fods"

# Plain values through LibreOffice's CSV import, with an empty row.
printf '名称,123,1.5\n\n,,尾\n0.1,1000000,-7\n' >"$work/lo-values.csv"

(cd "$work" && soffice --headless --convert-to xlsx --outdir "$work" \
    lo-mode-one.fods lo-mode-two.fods >/dev/null 2>&1)
# 44,34,76: comma-separated, double quotes, UTF-8.
(cd "$work" && soffice --headless --infilter=CSV:44,34,76,1 --convert-to xlsx \
    --outdir "$work" lo-values.csv >/dev/null 2>&1)
cp "$work/lo-mode-one.xlsx" "$work/lo-mode-two.xlsx" "$work/lo-values.xlsx" "$here/"

/usr/bin/python3 - "$here" <<'PY'
import sys
from openpyxl import Workbook

out = sys.argv[1]

# Mode one with the sheets in another order and an extra sheet; openpyxl writes absolute
# relationship targets, and typed values rather than text.
wb = Workbook()
notes = wb.active
notes.title = "备注"
notes["A1"] = "无关"
keywords = wb.create_sheet("易换方式一_关键字列表")
files = wb.create_sheet("易换方式一_文件列表")
for i, p in enumerate(["E:\\\\项目\\\\x.txt", "E:\\项目\\y.txt"], start=1):
    files.cell(row=i, column=1, value=p)
keywords["A1"] = "被替换关键字:"
keywords["B1"] = "欲替换为:"
for r, (k, v) in enumerate([(123, 1.5), (" 前后空格 ", "替换|分隔"), (True, None)], start=2):
    keywords.cell(row=r, column=1, value=k)
    if v is not None:
        keywords.cell(row=r, column=2, value=v)
keywords["B5"] = "多出的替换"
keywords["B6"] = "又一行"
wb.save(f"{out}/openpyxl-mode-one.xlsx")

# Scattered typed values and an empty sheet.
wb = Workbook()
data = wb.active
data.title = "数据"
data["A1"] = "文本"
data["B1"] = 123
data["C1"] = 1.5
data["D1"] = True
data["E1"] = False
data["A3"] = -0.25
data["B3"] = 1e20
data["C3"] = 1234567.125
data["F7"] = "远处"
wb.create_sheet("空")
wb.save(f"{out}/openpyxl-values.xlsx")
PY
echo "fixtures written to $here"

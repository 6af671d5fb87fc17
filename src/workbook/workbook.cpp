#include "workbook/workbook.h"

#include "engine/base/hexdigit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <QUrl>
#include <QXmlStreamReader>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>
#endif

#ifdef __ELF__
#include <dlfcn.h>
#include <quazip/zip.h>

namespace {
thread_local QIODevice *xlsxOutput = nullptr;
thread_local const char *xlsxOutputPath = nullptr;
} // namespace

// ELF gives every process one symbol namespace, and QuaZip exports its own minizip under the
// names of the system minizip that libxlsxwriter links. QuaZip is loaded first, so
// libxlsxwriter's zipOpen(path) reaches QuaZip's zipOpen, which takes a QIODevice and
// crashes on a path. libxlsxwriter is the only caller of zipOpen; this definition, exported
// by the executable ahead of both libraries, hands it the device Workbook::save prepared,
// and libxlsxwriter's later zip calls then all run consistently in QuaZip's minizip.
extern "C" zipFile ZEXPORT zipOpen(voidpf file, int append)
{
    Dl_info info;
    void *open3 = dlsym(RTLD_DEFAULT, "zipOpen3");
    const bool quazipServes = open3 && dladdr(open3, &info) && info.dli_fname
        && QByteArray(info.dli_fname).toLower().contains("quazip");
    if (!quazipServes) {
        using Open = zipFile (*)(voidpf, int);
        const auto next = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "zipOpen"));
        return next ? next(file, append) : nullptr;
    }
    if (!xlsxOutput || !file || qstrcmp(static_cast<const char *>(file), xlsxOutputPath) != 0)
        return nullptr;
    return zipOpen3(xlsxOutput, append, nullptr, nullptr, ZIP_AUTO_CLOSE);
}
#endif

namespace {

quint64 cellKey(int row, int column)
{
    return (quint64(row) << 32) | quint32(column);
}

int keyRow(quint64 key)
{
    return int(key >> 32);
}

int keyColumn(quint64 key)
{
    return int(key & 0xffffffffu);
}

QString columnName(int column)
{
    QString name;
    for (; column > 0; column = (column - 1) / 26)
        name.prepend(QChar('A' + (column - 1) % 26));
    return name;
}

QString cellName(int row, int column)
{
    return columnName(column) + QString::number(row);
}

// "_xHHHH_" at position i: the escape spreadsheet XML uses for characters XML cannot carry.
int escapedCharAt(const QString &text, int i)
{
    if (i + 6 >= text.size() || text.at(i) != '_' || text.at(i + 1) != 'x' || text.at(i + 6) != '_')
        return -1;
    int value = 0;
    for (int k = i + 2; k < i + 6; ++k) {
        const int digit = hexDigitValue(text.at(k));
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

QString unescapeText(const QString &text)
{
    if (!text.contains(QLatin1String("_x")))
        return text;
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const int value = escapedCharAt(text, i);
        if (value >= 0) {
            out += QChar(ushort(value));
            i += 6;
        } else {
            out += text.at(i);
        }
    }
    return out;
}

QString hexEscape(ushort u)
{
    return QStringLiteral("_x%1_").arg(QString::number(u, 16).toUpper(), 4, QLatin1Char('0'));
}

// libxlsxwriter escapes most control characters itself but not a literal "_xHHHH_", and it
// passes NUL (a C string end), U+FFFE/U+FFFF and lone surrogates through or loses them.
QString escapeText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const ushort u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out += c;
            out += text.at(++i);
        } else if (u == '_' && escapedCharAt(text, i) >= 0) {
            out += QLatin1String("_x005F_");
        } else if ((u < 0x20 && u != '\t' && u != '\n') || u == 0xfffe || u == 0xffff
            || c.isSurrogate()) {
            out += hexEscape(u);
        } else {
            out += c;
        }
    }
    return out;
}

int codePointCount(const QString &text)
{
    int count = text.size();
    for (int i = 0; i + 1 < text.size(); ++i) {
        if (text.at(i).isHighSurrogate() && text.at(i + 1).isLowSurrogate()) {
            --count;
            ++i;
        }
    }
    return count;
}

bool parseCellReference(const QString &ref, int *row, int *column)
{
    int i = 0;
    qint64 c = 0;
    for (; i < ref.size(); ++i) {
        const QChar ch = ref.at(i).toUpper();
        if (ch < 'A' || ch > 'Z')
            break;
        c = c * 26 + (ch.unicode() - 'A' + 1);
        if (c > Workbook::maxColumns)
            return false;
    }
    if (i == 0)
        return false;
    const int digitsStart = i;
    qint64 r = 0;
    for (; i < ref.size(); ++i) {
        const QChar ch = ref.at(i);
        if (ch < '0' || ch > '9')
            return false;
        r = r * 10 + (ch.unicode() - '0');
        if (r > Workbook::maxRows)
            return false;
    }
    if (i == digitsStart || r == 0)
        return false;
    *row = int(r);
    *column = int(c);
    return true;
}

QString formatNumber(const QString &raw)
{
    bool ok = false;
    const double value = raw.trimmed().toDouble(&ok);
    if (!ok)
        return raw;
    return QString::number(value == 0 ? 0.0 : value, 'g', 15);
}

QString partFolder(const QString &part)
{
    const int slash = part.lastIndexOf('/');
    return slash < 0 ? QString() : part.left(slash + 1);
}

QString relationshipsPart(const QString &part)
{
    const int slash = part.lastIndexOf('/');
    return part.left(slash + 1) + QLatin1String("_rels/") + part.mid(slash + 1)
        + QLatin1String(".rels");
}

QString resolvePart(const QString &source, const QString &target)
{
    QString t = QUrl::fromPercentEncoding(target.toUtf8());
    t.replace('\\', '/');
    const QString joined = t.startsWith('/') ? t : partFolder(source) + t;
    QStringList parts;
    for (const QString &segment : joined.split('/')) {
        if (segment.isEmpty() || segment == QLatin1String("."))
            continue;
        if (segment == QLatin1String("..")) {
            if (!parts.isEmpty())
                parts.removeLast();
        } else {
            parts.append(segment);
        }
    }
    return parts.join('/');
}

// Zip member access with the inflation caps. Members are found by part name, which is
// case-insensitive and may be percent-encoded differently on each side.
struct Package
{
    QuaZip zip;
    QHash<QString, QString> members; // part name key -> zip member name
    qint64 loaded = 0;
    qint64 sheetCells = 0; // of the sheets read so far
    qint64 cellTextBytes = 0;
    QString error;

    static QString key(const QString &name) { return resolvePart(QString(), name).toLower(); }

    bool fail(const QString &message)
    {
        if (error.isEmpty())
            error = message;
        return false;
    }

    bool open(QIODevice *device)
    {
        zip.setIoDevice(device);
        if (!zip.open(QuaZip::mdUnzip))
            return fail(QStringLiteral("the file is not a spreadsheet workbook"));
        for (const QString &name : zip.getFileNameList()) {
            const QString k = key(name);
            if (!members.contains(k))
                members.insert(k, name);
        }
        return true;
    }

    bool readCurrent(const QString &name, QByteArray *out)
    {
        QuaZipFile file(&zip);
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read %1 in the workbook").arg(name));
        QByteArray data;
        char buffer[64 * 1024];
        for (;;) {
            const qint64 n = file.read(buffer, sizeof buffer);
            if (n < 0)
                return fail(QStringLiteral("%1 in the workbook is damaged").arg(name));
            if (n == 0)
                break;
            if (data.size() + n > Workbook::maxPartSize)
                return fail(QStringLiteral("%1 in the workbook is larger than %2 MB")
                                .arg(name)
                                .arg(Workbook::maxPartSize >> 20));
            if (loaded + n > Workbook::maxLoadSize)
                return fail(QStringLiteral("the workbook's contents are larger than %1 MB")
                                .arg(Workbook::maxLoadSize >> 20));
            data.append(buffer, int(n));
            loaded += n;
        }
        file.close();
        if (file.getZipError() != UNZ_OK)
            return fail(QStringLiteral("%1 in the workbook is damaged").arg(name));
        *out = data;
        return true;
    }

    // False with no error when the part does not exist.
    bool read(const QString &part, QByteArray *out)
    {
        const QString name = members.value(key(part));
        if (name.isEmpty() || !zip.setCurrentFile(name, QuaZip::csSensitive))
            return false;
        return readCurrent(name, out);
    }
};

struct Relationship
{
    QString type;
    QString part;
};

bool checkXml(QXmlStreamReader &xml, Package &package, const QString &name)
{
    if (xml.tokenType() == QXmlStreamReader::DTD)
        xml.raiseError(QStringLiteral("document type declarations are not allowed"));
    if (xml.hasError())
        return package.fail(
            QStringLiteral("%1 in the workbook is not valid XML: %2").arg(name, xml.errorString()));
    return true;
}

bool parseRelationships(Package &package, const QString &source, const QByteArray &data,
    QHash<QString, Relationship> *out)
{
    const QString name = relationshipsPart(source);
    QXmlStreamReader xml(data);
    while (!xml.atEnd()) {
        xml.readNext();
        if (!checkXml(xml, package, name))
            return false;
        if (xml.isStartElement() && xml.name() == QLatin1String("Relationship")) {
            const QXmlStreamAttributes attributes = xml.attributes();
            if (attributes.value(QLatin1String("TargetMode")) == QLatin1String("External"))
                continue;
            const QString id = attributes.value(QLatin1String("Id")).toString();
            if (!out->contains(id))
                out->insert(id,
                    {attributes.value(QLatin1String("Type")).toString(),
                        resolvePart(source, attributes.value(QLatin1String("Target")).toString())});
        }
    }
    return true;
}

// The text of an <si> or <is>: its own <t>, or the <t> of its rich-text runs; phonetic
// guides (<rPh>) are not part of the text.
QString readStringItem(QXmlStreamReader &xml)
{
    QString text;
    int depth = 1;
    while (depth > 0 && !xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            if (xml.name() == QLatin1String("t")) {
                text += xml.readElementText();
            } else if (xml.name() == QLatin1String("rPh")) {
                xml.skipCurrentElement();
            } else {
                ++depth;
            }
        } else if (xml.isEndElement()) {
            --depth;
        }
    }
    return unescapeText(text);
}

bool parseSharedStrings(
    Package &package, const QString &name, const QByteArray &data, QVector<QString> *out)
{
    QXmlStreamReader xml(data);
    while (!xml.atEnd()) {
        xml.readNext();
        if (!checkXml(xml, package, name))
            return false;
        if (xml.isStartElement() && xml.name() == QLatin1String("si")) {
            if (out->size() >= Workbook::maxCells)
                return package.fail(QStringLiteral("%1 in the workbook holds more than %2 strings")
                                        .arg(name)
                                        .arg(Workbook::maxCells));
            out->append(readStringItem(xml));
            if (!checkXml(xml, package, name))
                return false;
        }
    }
    return true;
}

struct CellParse
{
    QString type;
    QString value;
    QString inlineText;
    bool hasValue = false;
    bool hasInline = false;
};

bool parseWorksheet(Package &package, const QString &name, const QByteArray &data,
    const QVector<QString> &shared, QHash<quint64, QString> *cells)
{
    QXmlStreamReader xml(data);
    int rowNumber = 0; // of the last <row>
    int cellRow = 0; // of the last <c>
    int cellColumn = 0;
    const auto badReference = [&](const QString &ref) {
        return package.fail(
            QStringLiteral("%1 in the workbook has an invalid cell reference \"%2\"")
                .arg(name, ref.left(40)));
    };
    while (!xml.atEnd()) {
        xml.readNext();
        if (!checkXml(xml, package, name))
            return false;
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("row")) {
            const QXmlStreamAttributes attributes = xml.attributes();
            const QString r = attributes.value(QLatin1String("r")).toString();
            if (r.isEmpty()) {
                ++rowNumber;
            } else {
                bool ok = false;
                rowNumber = r.toInt(&ok);
                if (!ok)
                    return badReference(r);
            }
            if (rowNumber < 1 || rowNumber > Workbook::maxRows)
                return badReference(QString::number(rowNumber));
            cellRow = rowNumber;
            cellColumn = 0;
            continue;
        }
        if (xml.name() != QLatin1String("c"))
            continue;

        const QXmlStreamAttributes attributes = xml.attributes();
        const QString r = attributes.value(QLatin1String("r")).toString();
        int row = 0;
        int column = 0;
        if (r.isEmpty()) {
            row = cellRow;
            column = cellColumn + 1;
            if (row < 1 || column > Workbook::maxColumns)
                return badReference(cellName(qMax(row, 0), column));
        } else if (!parseCellReference(r, &row, &column)) {
            return badReference(r);
        }
        cellRow = row;
        cellColumn = column;

        CellParse cell;
        cell.type = attributes.value(QLatin1String("t")).toString();
        while (!xml.atEnd()) {
            xml.readNext();
            if (xml.isEndElement())
                break;
            if (!xml.isStartElement())
                continue;
            if (xml.name() == QLatin1String("v")) {
                cell.value = xml.readElementText();
                cell.hasValue = true;
            } else if (xml.name() == QLatin1String("is")) {
                cell.inlineText = readStringItem(xml);
                cell.hasInline = true;
            } else {
                xml.skipCurrentElement();
            }
        }
        if (!checkXml(xml, package, name))
            return false;

        QString text;
        if (cell.hasInline) {
            text = cell.inlineText;
        } else if (!cell.hasValue) {
            continue;
        } else if (cell.type == QLatin1String("s")) {
            bool ok = false;
            const int index = cell.value.trimmed().toInt(&ok);
            if (!ok || index < 0 || index >= shared.size())
                return package.fail(
                    QStringLiteral("%1 in the workbook refers to a shared string that does "
                                   "not exist (cell %2)")
                        .arg(name, cellName(row, column)));
            text = shared.at(index);
        } else if (cell.type == QLatin1String("str") || cell.type == QLatin1String("inlineStr")) {
            text = unescapeText(cell.value);
        } else if (cell.type == QLatin1String("b")) {
            const QString v = cell.value.trimmed();
            if (v == QLatin1String("1") || v == QLatin1String("true"))
                text = QStringLiteral("TRUE");
            else if (v == QLatin1String("0") || v == QLatin1String("false"))
                text = QStringLiteral("FALSE");
            else
                text = v;
        } else if (cell.type.isEmpty() || cell.type == QLatin1String("n")) {
            text = formatNumber(cell.value);
        } else {
            // Errors such as #N/A and ISO dates are shown as written.
            text = cell.value;
        }
        if (text.isEmpty()) {
            cells->remove(cellKey(row, column));
            continue;
        }
        cells->insert(cellKey(row, column), text);
        package.cellTextBytes += text.size() * qint64(sizeof(QChar));
        if (package.sheetCells + cells->size() > Workbook::maxCells)
            return package.fail(
                QStringLiteral("the workbook holds more than %1 cells").arg(Workbook::maxCells));
        if (package.cellTextBytes > Workbook::maxTextBytes)
            return package.fail(QStringLiteral("the workbook's cells hold more than %1 MB of text")
                                    .arg(Workbook::maxTextBytes >> 20));
    }
    package.sheetCells += cells->size();
    return true;
}

struct SheetEntry
{
    QString name;
    QString part;
};

bool loadPackage(Package &package, QVector<SheetEntry> *sheets, QVector<QString> *shared,
    QHash<QString, QHash<quint64, QString>> *parts)
{
    QByteArray data;
    QString workbookPart = QStringLiteral("xl/workbook.xml");
    if (package.read(QStringLiteral("_rels/.rels"), &data)) {
        QHash<QString, Relationship> rels;
        if (!parseRelationships(package, QString(), data, &rels))
            return false;
        for (const Relationship &rel : qAsConst(rels)) {
            if (rel.type.endsWith(QLatin1String("/officeDocument"))) {
                workbookPart = rel.part;
                break;
            }
        }
    } else if (!package.error.isEmpty()) {
        return false;
    }

    if (!package.read(workbookPart, &data))
        return package.fail(QStringLiteral("the file is not a spreadsheet workbook"));
    QVector<QPair<QString, QString>> declared; // name, relationship id
    {
        QXmlStreamReader xml(data);
        while (!xml.atEnd()) {
            xml.readNext();
            if (!checkXml(xml, package, workbookPart))
                return false;
            if (xml.isStartElement() && xml.name() == QLatin1String("sheet")) {
                QString id;
                for (const QXmlStreamAttribute &attribute : xml.attributes()) {
                    if (attribute.name() == QLatin1String("id")
                        && !attribute.namespaceUri().isEmpty())
                        id = attribute.value().toString();
                }
                declared.append({xml.attributes().value(QLatin1String("name")).toString(), id});
            }
        }
    }

    const QString relsPart = relationshipsPart(workbookPart);
    if (!package.read(relsPart, &data))
        return package.fail(QStringLiteral("the workbook has no %1").arg(relsPart));
    QHash<QString, Relationship> rels;
    if (!parseRelationships(package, workbookPart, data, &rels))
        return false;

    QSet<QString> wanted;
    for (const auto &[name, id] : qAsConst(declared)) {
        const auto rel = rels.constFind(id);
        if (rel == rels.constEnd())
            return package.fail(
                QStringLiteral("the workbook's sheet \"%1\" has no contents").arg(name));
        sheets->append({name, Package::key(rel->part)});
        wanted.insert(Package::key(rel->part));
    }

    for (const Relationship &rel : qAsConst(rels)) {
        if (!rel.type.endsWith(QLatin1String("/sharedStrings")))
            continue;
        if (!package.read(rel.part, &data))
            return package.fail(QStringLiteral("the workbook has no %1").arg(rel.part));
        if (!parseSharedStrings(package, rel.part, data, shared))
            return false;
        break;
    }

    // One pass over the zip: looking members up by name is a scan each time.
    for (bool more = package.zip.goToFirstFile(); more; more = package.zip.goToNextFile()) {
        const QString name = package.zip.getCurrentFileName();
        const QString key = Package::key(name);
        if (!wanted.contains(key) || parts->contains(key))
            continue;
        if (!package.readCurrent(name, &data))
            return false;
        QHash<quint64, QString> cells;
        if (!parseWorksheet(package, name, data, *shared, &cells))
            return false;
        parts->insert(key, cells);
    }
    if (package.zip.getZipError() != UNZ_OK)
        return package.fail(QStringLiteral("the workbook's zip directory is damaged"));
    for (const SheetEntry &sheet : qAsConst(*sheets)) {
        if (!parts->contains(sheet.part))
            return package.fail(
                QStringLiteral("the workbook's sheet \"%1\" has no contents").arg(sheet.name));
    }
    return true;
}

bool validSheetName(const QString &name)
{
    if (name.isEmpty() || codePointCount(name) > 31 || name.startsWith('\'') || name.endsWith('\''))
        return false;
    for (const QChar c : name) {
        if (QStringLiteral("[]:*?/\\").contains(c))
            return false;
    }
    return true;
}

// A new, empty file next to target, created with the permissions a new file gets.
QString createTemporaryFile(const QString &target, QString *error)
{
    const QFileInfo info(target);
    const QString stem = info.absolutePath() + QLatin1String("/.") + info.fileName() + '.';
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString candidate
            = stem + QString::number(QRandomGenerator::global()->generate(), 36) + ".tmp";
#ifdef Q_OS_WIN
        QFile file(candidate);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return candidate;
        if (file.exists())
            continue;
        *error = file.errorString();
        return QString();
#else
        const int fd = ::open(QFile::encodeName(candidate).constData(),
            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return candidate;
        }
        if (errno == EEXIST)
            continue;
        *error = QString::fromLocal8Bit(strerror(errno));
        return QString();
#endif
    }
    *error = QStringLiteral("no free temporary file name");
    return QString();
}

bool replaceFile(const QString &from, const QString &to, QString *error)
{
#ifdef Q_OS_WIN
    if (MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
            reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *error = QStringLiteral("error %1").arg(GetLastError());
    return false;
#else
    const QByteArray f = QFile::encodeName(from);
    const int fd = ::open(f.constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    if (::rename(f.constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    *error = QString::fromLocal8Bit(strerror(errno));
    return false;
#endif
}

} // namespace

bool Workbook::open(const QString &path, QString *error)
{
    m_sheets.clear();
    m_current = -1;
    if (!QFileInfo::exists(path))
        return true;
    QFile file(path);
    return load(&file, error);
}

bool Workbook::load(QIODevice *device, QString *error)
{
    m_sheets.clear();
    m_current = -1;
    Package package;
    QVector<SheetEntry> entries;
    QVector<QString> shared;
    QHash<QString, QHash<quint64, QString>> parts;
    if (package.open(device) && loadPackage(package, &entries, &shared, &parts)) {
        for (const SheetEntry &entry : qAsConst(entries))
            m_sheets.append({entry.name, parts.value(entry.part)});
        m_current = m_sheets.isEmpty() ? -1 : 0;
        return true;
    }
    if (error)
        *error = package.error;
    return false;
}

QStringList Workbook::sheetNames() const
{
    QStringList names;
    for (const Sheet &sheet : m_sheets)
        names.append(sheet.name);
    return names;
}

bool Workbook::selectSheet(const QString &name)
{
    for (int i = 0; i < m_sheets.size(); ++i) {
        if (m_sheets.at(i).name == name) {
            m_current = i;
            return true;
        }
    }
    return false;
}

Workbook::Range Workbook::usedRange() const
{
    Range range;
    if (m_current < 0)
        return range;
    const auto &cells = m_sheets.at(m_current).cells;
    for (auto it = cells.constBegin(); it != cells.constEnd(); ++it) {
        const int row = keyRow(it.key());
        const int column = keyColumn(it.key());
        if (range.isEmpty()) {
            range = {row, row, column, column};
            continue;
        }
        range.firstRow = qMin(range.firstRow, row);
        range.lastRow = qMax(range.lastRow, row);
        range.firstColumn = qMin(range.firstColumn, column);
        range.lastColumn = qMax(range.lastColumn, column);
    }
    return range;
}

QString Workbook::cell(int row, int column) const
{
    if (m_current < 0)
        return QString();
    return m_sheets.at(m_current).cells.value(cellKey(row, column));
}

void Workbook::forEachCell(const std::function<void(int, int, const QString &)> &visit) const
{
    if (m_current < 0)
        return;
    const auto &cells = m_sheets.at(m_current).cells;
    for (auto it = cells.constBegin(); it != cells.constEnd(); ++it)
        visit(keyRow(it.key()), keyColumn(it.key()), it.value());
}

bool Workbook::addSheet(const QString &name)
{
    if (!validSheetName(name))
        return false;
    for (const Sheet &sheet : qAsConst(m_sheets)) {
        if (sheet.name.compare(name, Qt::CaseInsensitive) == 0)
            return false;
    }
    m_sheets.append({name, {}});
    m_current = m_sheets.size() - 1;
    return true;
}

bool Workbook::setCell(int row, int column, const QString &text)
{
    if (m_current < 0 || row < 1 || row > maxRows || column < 1 || column > maxColumns)
        return false;
    auto &cells = m_sheets[m_current].cells;
    if (text.isEmpty())
        cells.remove(cellKey(row, column));
    else
        cells.insert(cellKey(row, column), text);
    return true;
}

bool Workbook::save(const QString &path, QString *error) const
{
    const auto failed = [error](const QString &message) {
        if (error)
            *error = message;
        return false;
    };
    // libxlsxwriter would quietly add a "Sheet1".
    if (m_sheets.isEmpty())
        return failed(QStringLiteral("A workbook needs at least one sheet."));

    struct Text
    {
        int row;
        int column;
        QByteArray utf8;
    };
    QVector<QVector<Text>> contents;
    QSet<QString> names;
    qint64 cells = 0;
    qint64 textBytes = 0;
    for (const Sheet &sheet : m_sheets) {
        // Loaded workbooks may carry names that libxlsxwriter refuses.
        const QString folded = sheet.name.toCaseFolded();
        if (!validSheetName(sheet.name) || names.contains(folded))
            return failed(QStringLiteral("The sheet name \"%1\" cannot be used in a workbook.")
                              .arg(sheet.name));
        names.insert(folded);
        // Loading refuses a workbook beyond these; writing one would lose the list.
        cells += sheet.cells.size();
        if (cells > maxCells)
            return failed(QStringLiteral("The workbook would hold more than %1 cells, more than "
                                         "can be read back.")
                              .arg(maxCells));
        QVector<Text> texts;
        texts.reserve(sheet.cells.size());
        for (auto it = sheet.cells.constBegin(); it != sheet.cells.constEnd(); ++it) {
            textBytes += it.value().size() * qint64(sizeof(QChar));
            if (textBytes > maxTextBytes)
                return failed(QStringLiteral("The workbook would hold more than %1 MB of text, "
                                             "more than can be read back.")
                                  .arg(maxTextBytes >> 20));
            const QString escaped = escapeText(it.value());
            if (codePointCount(escaped) > maxCellLength)
                return failed(QStringLiteral("Cell %1 of sheet \"%2\" holds more than %3 "
                                             "characters, more than a workbook cell can hold.")
                                  .arg(cellName(keyRow(it.key()), keyColumn(it.key())), sheet.name,
                                      QString::number(maxCellLength)));
            texts.append({keyRow(it.key()), keyColumn(it.key()), escaped.toUtf8()});
        }
        // A stable order keeps the written file the same for the same contents.
        std::sort(texts.begin(), texts.end(), [](const Text &a, const Text &b) {
            return a.row != b.row ? a.row < b.row : a.column < b.column;
        });
        contents.append(texts);
    }

    QString target = path;
    const QFileInfo targetInfo(path);
    if (targetInfo.isSymLink() && targetInfo.exists())
        target = targetInfo.canonicalFilePath();

    QString reason;
    const QString temporary = createTemporaryFile(target, &reason);
    if (temporary.isEmpty())
        return failed(QStringLiteral("Cannot create a file in %1: %2")
                          .arg(QDir::toNativeSeparators(QFileInfo(target).absolutePath()), reason));

    const QByteArray encodedTemporary = QFile::encodeName(temporary);
    QFile output(temporary);
#ifdef __ELF__
    xlsxOutput = &output;
    xlsxOutputPath = encodedTemporary.constData();
#endif
    lxw_workbook *book = workbook_new(encodedTemporary.constData());
    if (!book) {
        QFile::remove(temporary);
        return failed(QStringLiteral("Cannot start writing %1.").arg(path));
    }
    for (int s = 0; s < m_sheets.size() && reason.isEmpty(); ++s) {
        const QByteArray name = m_sheets.at(s).name.toUtf8();
        lxw_worksheet *sheet = workbook_add_worksheet(book, name.constData());
        if (!sheet) {
            reason = QStringLiteral("sheet name \"%1\": %2")
                         .arg(m_sheets.at(s).name,
                             QString::fromUtf8(lxw_strerror(
                                 workbook_validate_sheet_name(book, name.constData()))));
            break;
        }
        for (const Text &text : contents.at(s)) {
            const lxw_error result = worksheet_write_string(sheet, lxw_row_t(text.row - 1),
                lxw_col_t(text.column - 1), text.utf8.constData(), nullptr);
            if (result != LXW_NO_ERROR) {
                reason = QStringLiteral("cell %1 of sheet \"%2\": %3")
                             .arg(cellName(text.row, text.column), m_sheets.at(s).name,
                                 QString::fromUtf8(lxw_strerror(result)));
                break;
            }
        }
    }
    const lxw_error closed = workbook_close(book);
#ifdef __ELF__
    xlsxOutput = nullptr;
    xlsxOutputPath = nullptr;
#endif
    if (reason.isEmpty() && closed != LXW_NO_ERROR)
        reason = QString::fromUtf8(lxw_strerror(closed));
    if (reason.isEmpty() && output.error() != QFileDevice::NoError)
        reason = output.errorString();
    if (reason.isEmpty() && targetInfo.exists())
        QFile::setPermissions(temporary, QFileInfo(target).permissions());
    if (reason.isEmpty() && replaceFile(temporary, target, &reason))
        return true;
    QFile::remove(temporary);
    return failed(
        QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), reason));
}

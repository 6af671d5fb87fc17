#include "cli/clijob.h"

#include "files/filenames.h"
#include "files/namemasks.h"
#include "workbook/listworkbook.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTextCodec>

#include <limits>

namespace {

bool fail(QString *error, const QString &message)
{
    *error = message;
    return false;
}

bool readUtf8File(const QString &path, QString *text, QString *error)
{
    const QFileInfo info(path);
    QFile file(path);
    QString why;
    if (!info.exists())
        why = QStringLiteral("不存在 (no such file)");
    else if (!info.isFile())
        why = QStringLiteral("不是普通文件 (not a regular file)");
    else if (!file.open(QIODevice::ReadOnly))
        why = file.errorString();
    if (!why.isEmpty())
        return fail(
            error, QStringLiteral("无法读取文件 %1 (cannot read the file): %2").arg(path, why));
    QByteArray bytes = file.readAll();
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    QTextCodec::ConverterState state;
    *text = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars > 0 || state.remainingChars > 0)
        return fail(error, QStringLiteral("%1 不是有效的 UTF-8 文本 (not valid UTF-8)").arg(path));
    return true;
}

// An option given twice is more likely a mistake than a wish for the last one.
bool takeSingle(
    const QCommandLineParser &parser, const QString &name, QString *value, QString *error)
{
    const QStringList values = parser.values(name);
    if (values.size() > 1)
        return fail(
            error, QStringLiteral("--%1 只能指定一次 (--%1 may be given only once)").arg(name));
    *value = values.value(0);
    return true;
}

// Asked for on a plain match, the syntax would do nothing and its backslashes would be
// written as they stand.
bool extendedGoesWithRegex(const CliOptions &options, QString *error)
{
    if (options.settings.extendedReplacement && !options.settings.regularExpressions()
        && options.given.contains(QLatin1String("extended-replacement")))
        return fail(error,
            QStringLiteral("--extended-replacement 只用于正则表达式 (--extended-replacement goes "
                           "with --regex)"));
    return true;
}

// Whole words are an ordinary match's kind: stating either on the command line decides
// the match, and the workbook's regex flag gives way.
bool takeListOptions(const ListOptions &list, CliOptions *options, QString *error)
{
    const auto notGiven = [options](const char *name) {
        return !options->given.contains(QLatin1String(name));
    };
    if (list.encoding && notGiven("encoding")) {
        const std::optional<TextEncoding> encoding = TextEncoding::fromName(*list.encoding);
        if (!encoding)
            return fail(error,
                QStringLiteral("列表工作簿中的编码 %1 未知 (the workbook names an unknown "
                               "encoding)")
                    .arg(*list.encoding));
        options->settings.encoding = *encoding;
    }
    if (list.separator && notGiven("separator"))
        options->separator = *list.separator;
    ReplaceSettings &settings = options->settings;
    if (list.keepFormat && notGiven("keep-format"))
        settings.keepFormat = *list.keepFormat;
    if (list.ignoreCase && notGiven("ignore-case"))
        settings.ignoreCase = *list.ignoreCase;
    if (list.extendedReplacement && notGiven("extended-replacement"))
        settings.extendedReplacement = *list.extendedReplacement;
    bool ordinary = settings.ordinary();
    bool wholeWord = settings.wholeWord();
    if (list.wholeWord && notGiven("whole-word") && notGiven("regex"))
        wholeWord = *list.wholeWord;
    if (list.regex && notGiven("regex") && notGiven("whole-word"))
        ordinary = !*list.regex;
    settings.match = ReplaceSettings::matchOf(ordinary, wholeWord);
    return extendedGoesWithRegex(*options, error);
}

bool buildFromWorkbook(CliOptions *options, Job *job, QString *error)
{
    const QString &path = options->listPath;
    if (!QFileInfo(path).isFile())
        return fail(error,
            QStringLiteral("无法读取列表工作簿 %1 (cannot read the list workbook)").arg(path));

    ListReadError modeOneError;
    ListReadError modeTwoError;
    if (std::optional<ModeOneList> list = readModeOneWorkbook(path, &modeOneError)) {
        dropDuplicatePaths(&*list);
        if (!takeListOptions(list->options, options, error))
            return false;
        *job = buildModeOneJob(*list, options->separator, options->settings.regularExpressions());
        return true;
    }
    if (std::optional<ModeTwoList> list = readModeTwoWorkbook(path, &modeTwoError)) {
        dropDuplicatePaths(&*list);
        if (!takeListOptions(list->options, options, error))
            return false;
        *job = buildModeTwoJob(*list, options->separator, options->settings.regularExpressions());
        return true;
    }
    // Either mode's reader names the other's sheets; only a workbook of neither is left.
    const bool otherMode = modeOneError.kind == ListReadError::OtherMode;
    const ListReadError &why = otherMode ? modeTwoError : modeOneError;
    if (why.kind == ListReadError::MissingSheet)
        return fail(error, QStringLiteral("%1 不是易换列表工作簿 (not a list workbook)").arg(path));
    return fail(error, QStringLiteral("%1：%2 (%3)").arg(path, why.text, why.english));
}

// The job's own keyword files, which a folder scan leaves out. Looked up by name first:
// resolving every scanned path would cost a readlink per component of it.
std::function<bool(const QString &)> jobFileTest(const QStringList &jobFiles)
{
    QSet<QString> jobNames;
    QSet<QString> jobCanonical;
    for (const QString &file : jobFiles) {
        if (file.isEmpty())
            continue;
        jobNames.insert(QFileInfo(file).fileName());
        jobCanonical.insert(QFileInfo(file).canonicalFilePath());
    }
    return [jobNames, jobCanonical](const QString &path) {
        const QFileInfo info(path);
        return jobNames.contains(info.fileName())
            && jobCanonical.contains(info.canonicalFilePath());
    };
}

// Not QFileInfo::absoluteFilePath: on Qt 6 it passes a relative name through its bytes,
// turning an undecodable byte's escape into U+FFFD, a lookalike's name.
QString absolutePath(const QDir &current, const QString &argument)
{
    return QDir::cleanPath(current.absoluteFilePath(argument));
}

bool readKeywordFiles(const CliOptions &options, ModeOneList *list, QString *error)
{
    if (!extendedGoesWithRegex(options, error))
        return false;
    QString keywordText;
    if (!readUtf8File(options.keywordsPath, &keywordText, error))
        return false;
    QString replacementText;
    if (!options.replacementsPath.isEmpty()
        && !readUtf8File(options.replacementsPath, &replacementText, error))
        return false;
    list->keywordLines = listFileLines(keywordText);
    list->replacementLines = listFileLines(replacementText);
    return true;
}

} // namespace

bool parseCliArguments(
    const QStringList &arguments, CliCommand *command, CliOptions *options, QString *error)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList {QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption list(QStringLiteral("list"), QString(), QStringLiteral("JOB.xlsx"));
    const QCommandLineOption keywords(QStringLiteral("keywords"), QString(), QStringLiteral("K"));
    const QCommandLineOption replacements(
        QStringLiteral("replacements"), QString(), QStringLiteral("R"));
    const QCommandLineOption recursive(QStringLiteral("recursive"));
    const QCommandLineOption include(QStringLiteral("include"), QString(), QStringLiteral("GLOB"));
    const QCommandLineOption exclude(QStringLiteral("exclude"), QString(), QStringLiteral("GLOB"));
    const QCommandLineOption encoding(QStringLiteral("encoding"), QString(), QStringLiteral("E"));
    const QCommandLineOption separator(QStringLiteral("separator"), QString(), QStringLiteral("S"));
    const QCommandLineOption regex(QStringLiteral("regex"));
    const QCommandLineOption noRegex(QStringLiteral("no-regex"));
    const QCommandLineOption wholeWord(QStringLiteral("whole-word"));
    const QCommandLineOption noWholeWord(QStringLiteral("no-whole-word"));
    const QCommandLineOption noKeepFormat(QStringLiteral("no-keep-format"));
    const QCommandLineOption ignoreCase(
        QStringList {QStringLiteral("i"), QStringLiteral("ignore-case")});
    const QCommandLineOption noIgnoreCase(QStringLiteral("no-ignore-case"));
    const QCommandLineOption extended(QStringLiteral("extended-replacement"));
    const QCommandLineOption noExtended(QStringLiteral("no-extended-replacement"));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"));
    const QCommandLineOption keepFormat(QStringLiteral("keep-format"));
    const QCommandLineOption verbose(QStringList {QStringLiteral("v"), QStringLiteral("verbose")});
    const QCommandLineOption diff(QStringLiteral("diff"));
    const QCommandLineOption undo(QStringLiteral("undo"));
    const QCommandLineOption discardInterrupted(QStringLiteral("discard-interrupted"));
    const QCommandLineOption noUndo(QStringLiteral("no-undo"));
    const QCommandLineOption undoCap(QStringLiteral("undo-cap"), QString(), QStringLiteral("MB"));
    const QCommandLineOption history(QStringLiteral("history"));
    const QCommandLineOption undoRun(QStringLiteral("undo-run"), QString(), QStringLiteral("N"));
    const QCommandLineOption keepRuns(QStringLiteral("keep-runs"), QString(), QStringLiteral("N"));
    parser.addOptions({help, version, list, keywords, replacements, recursive, include, exclude,
        encoding, separator, regex, noRegex, wholeWord, noWholeWord, dryRun, keepFormat,
        noKeepFormat, ignoreCase, noIgnoreCase, extended, noExtended, verbose, diff, undo, noUndo,
        undoCap, discardInterrupted, history, undoRun, keepRuns});

    if (!parser.parse(arguments))
        return fail(error, parser.errorText());
    if (parser.isSet(help)) {
        *command = CliCommand::Help;
        return true;
    }
    if (parser.isSet(version)) {
        *command = CliCommand::Version;
        return true;
    }
    for (const QCommandLineOption *alone : {&undo, &discardInterrupted, &history, &undoRun}) {
        if (!parser.isSet(*alone))
            continue;
        const QString name = QLatin1String("--") + alone->names().constFirst();
        if (parser.optionNames().size() > 1 || !parser.positionalArguments().isEmpty())
            return fail(error,
                QStringLiteral("%1 不能与其他选项同用 (%1 takes no other options)").arg(name));
        *command = alone == &undo ? CliCommand::Undo
            : alone == &history   ? CliCommand::History
            : alone == &undoRun   ? CliCommand::UndoRun
                                  : CliCommand::DiscardInterrupted;
        if (alone == &undoRun) {
            bool ok = false;
            options->undoRun = parser.value(undoRun).toInt(&ok);
            if (!ok || options->undoRun < 1)
                return fail(error,
                    QStringLiteral("--undo-run 需要一个正整数，1 为最近一次 (--undo-run takes a "
                                   "run's number, 1 being the newest)"));
        }
        return true;
    }
    *command = CliCommand::Run;

    if (!takeSingle(parser, list.names().constFirst(), &options->listPath, error)
        || !takeSingle(parser, keywords.names().constFirst(), &options->keywordsPath, error)
        || !takeSingle(
            parser, replacements.names().constFirst(), &options->replacementsPath, error))
        return false;
    QString encodingName;
    if (!takeSingle(parser, encoding.names().constFirst(), &encodingName, error))
        return false;
    if (parser.isSet(separator)
        && !takeSingle(parser, separator.names().constFirst(), &options->separator, error))
        return false;
    options->paths = parser.positionalArguments();
    options->recursive = parser.isSet(recursive);
    for (const QString &value : parser.values(include))
        options->include += NameMasks::split(value);
    for (const QString &value : parser.values(exclude))
        options->exclude += NameMasks::split(value);
    const QString unbalanced = NameMasks::unbalanced(options->include + options->exclude);
    if (!unbalanced.isEmpty())
        return fail(error,
            QStringLiteral("--include/--exclude 的“%1”缺少与“[”配对的“]” (unbalanced '[' in "
                           "a mask)")
                .arg(unbalanced));
    options->settings.dryRun = parser.isSet(dryRun);
    options->settings.keepFormat = parser.isSet(keepFormat);
    options->settings.ignoreCase = parser.isSet(ignoreCase);
    options->settings.extendedReplacement = parser.isSet(extended);
    for (const auto &[on, off] : {std::pair(&regex, &noRegex), std::pair(&wholeWord, &noWholeWord),
             std::pair(&keepFormat, &noKeepFormat), std::pair(&ignoreCase, &noIgnoreCase),
             std::pair(&extended, &noExtended)}) {
        if (parser.isSet(*on) && parser.isSet(*off))
            return fail(error,
                QStringLiteral("--%1 与 --%2 只能选其一 (--%1 and --%2 cannot be combined)")
                    .arg(on->names().constLast(), off->names().constLast()));
        if (parser.isSet(*on) || parser.isSet(*off))
            options->given.insert(on->names().constLast());
    }
    if (parser.isSet(encoding))
        options->given.insert(QStringLiteral("encoding"));
    if (parser.isSet(separator))
        options->given.insert(QStringLiteral("separator"));
    options->verbose = parser.isSet(verbose);
    options->diff = parser.isSet(diff);
    if (options->diff && !options->settings.dryRun)
        return fail(
            error, QStringLiteral("--diff 只能与 --dry-run 一起使用 (--diff goes with --dry-run)"));
    options->journal = !parser.isSet(noUndo);
    if (parser.isSet(keepRuns)) {
        QString runs;
        if (!takeSingle(parser, keepRuns.names().constFirst(), &runs, error))
            return false;
        bool ok = false;
        options->runsKept = runs.toInt(&ok);
        if (!ok || options->runsKept < 1)
            return fail(error,
                QStringLiteral("--keep-runs 需要一个正整数 (--keep-runs takes a number of runs, at "
                               "least 1)"));
    }
    if (parser.isSet(undoCap)) {
        QString cap;
        if (!takeSingle(parser, undoCap.names().constFirst(), &cap, error))
            return false;
        bool ok = false;
        const qint64 megabytes = cap.toLongLong(&ok);
        if (!ok || megabytes < 0)
            return fail(
                error, QStringLiteral("--undo-cap 需要一个非负整数 (--undo-cap takes megabytes)"));
        constexpr qint64 MaxMegabytes = std::numeric_limits<qint64>::max() >> 20;
        if (megabytes > MaxMegabytes)
            return fail(error,
                QStringLiteral("--undo-cap 最大为 %1 (--undo-cap is at most %1 MB)")
                    .arg(MaxMegabytes));
        options->journalCap = megabytes << 20;
    }

    const bool byList = parser.isSet(list);
    const bool byKeywords = parser.isSet(keywords);
    if (byList && byKeywords)
        return fail(error,
            QStringLiteral("--list 与 --keywords 只能选其一 (--list and --keywords cannot be "
                           "combined)"));
    if (!byList && !byKeywords)
        return fail(error,
            QStringLiteral("需要 --list 或 --keywords (--list or --keywords is "
                           "required)"));
    if (byList
        && (parser.isSet(replacements) || parser.isSet(recursive) || parser.isSet(include)
            || parser.isSet(exclude)))
        return fail(error,
            QStringLiteral("--replacements、--recursive、--include 与 --exclude 只能与 --keywords "
                           "一起使用 (--replacements, --recursive, --include and --exclude go "
                           "with --keywords only)"));
    if (byList && !options->paths.isEmpty())
        return fail(error,
            QStringLiteral("使用 --list 时文件取自工作簿，不能再给出路径: %1 (with --list the "
                           "files come from the workbook)")
                .arg(options->paths.join(QLatin1Char(' '))));
    if (byKeywords && options->paths.isEmpty())
        return fail(
            error, QStringLiteral("没有给出要处理的文件或目录 (no files or folders given)"));
    if (byList && options->listPath.isEmpty())
        return fail(error, QStringLiteral("--list 的值为空 (--list needs a file)"));
    if (byKeywords && options->keywordsPath.isEmpty())
        return fail(error, QStringLiteral("--keywords 的值为空 (--keywords needs a file)"));

    if (parser.isSet(regex) && parser.isSet(wholeWord))
        return fail(error,
            QStringLiteral("--regex 与 --whole-word 只能选其一 (--regex and --whole-word "
                           "cannot be combined)"));
    options->settings.match
        = ReplaceSettings::matchOf(!parser.isSet(regex), parser.isSet(wholeWord));

    const std::optional<TextEncoding> chosen
        = encodingName.isEmpty() ? TextEncoding::utf8() : TextEncoding::fromName(encodingName);
    if (!chosen)
        return fail(error,
            QStringLiteral("未知编码 %1，可选 %2 或 auto (unknown encoding; use one of these "
                           "or auto)")
                .arg(
                    encodingName, TextEncoding::choiceNames().mid(0, 9).join(QLatin1String(", "))));
    options->settings.encoding = *chosen;
    return true;
}

QString cliHelpText()
{
    return QStringLiteral(
        "用法 / Usage:\n"
        "  yihuan-cli --list JOB.xlsx [选项 options]\n"
        "  yihuan-cli --keywords K.txt [--replacements R.txt] [--recursive] [选项 options] "
        "PATH...\n"
        "\n"
        "批量替换纯文本文件中的关键字，与易换窗口的“开始替换”相同。\n"
        "Batch find-and-replace in plain-text files, as the Yihuan window's replace button "
        "does.\n"
        "\n"
        "任务 / Job:\n"
        "  --list JOB.xlsx       运行在窗口中导出的列表工作簿（方式1 或方式2）。\n"
        "                        Run a list workbook exported by the window (mode one or "
        "two).\n"
        "                        工作簿保存的选项（编码、正则、全词匹配、保持原格式、忽略\n"
        "                        大小写、扩展替换语法、分隔符）在命令行没有给出时生效；\n"
        "                        --no-regex、--no-whole-word、--no-keep-format、\n"
        "                        --no-ignore-case、--no-extended-replacement 关掉工作簿中\n"
        "                        打开的选项。The options the workbook keeps (encoding,\n"
        "                        regex, whole word, keep format, ignore case, extended\n"
        "                        replacement, separator) apply unless the command line\n"
        "                        gives its own; --no-regex, --no-whole-word,\n"
        "                        --no-keep-format, --no-ignore-case and\n"
        "                        --no-extended-replacement switch one off.\n"
        "  --keywords K.txt      被替换关键字，每行一组，用分隔符分开（UTF-8 文本）。\n"
        "                        Keywords, one line per group, split at the separator "
        "(UTF-8).\n"
        "  --replacements R.txt  欲替换为，第 n 行对应关键字第 n 行；缺少的行表示删除。\n"
        "                        Replacements, line n for keyword line n; a missing line "
        "deletes.\n"
        "                        两个文件末尾的一个换行只是最后一行的结束，不算空行。\n"
        "                        One line break at the end of either file ends the last line;\n"
        "                        it does not add an empty line.\n"
        "  PATH...               文件照原样处理；目录中的文本文件按“添加目录”的规则选取\n"
        "                        （关键字文件与替换内容文件本身除外）。不存在的文件记为丢失。\n"
        "                        Files are taken as given; folders are scanned for text files\n"
        "                        as the add-folder button does (leaving out the keywords and\n"
        "                        replacements files). A missing file counts as lost.\n"
        "  --recursive           也处理各级子目录 / Descend into subfolders.\n"
        "  --include GLOB        目录中只取文件名符合的文件，如 \"*.srt;*.ass\"；可重复，\n"
        "                        用 ; 分隔多个。Take only files whose names match, e.g.\n"
        "                        \"*.srt;*.ass\"; repeatable, several split by ;.\n"
        "  --exclude GLOB        略过名字符合的文件和目录（目录不进入），如\n"
        "                        \"node_modules;*.min.js\"。Leave out files and folders whose\n"
        "                        names match; an excluded folder is not entered.\n"
        "                        通配符 * ? [...] 同 shell，区分大小写；直接给出的文件总会处理。\n"
        "                        Wildcards * ? [...] as in the shell, case-sensitive; files\n"
        "                        named directly are always taken.\n"
        "\n"
        "选项 / Options:\n"
        "  --encoding NAME       文件编码，默认 UTF-8；ANSI 为系统默认编码；auto 逐个文件\n"
        "                        自动检测，并按各自的编码写回。可选：UTF-8, ANSI, GB18030,\n"
        "                        Big5, Shift_JIS, EUC-KR, UTF-16LE, UTF-16BE, Windows-1252, "
        "auto。\n"
        "                        File encoding, default UTF-8; ANSI is the system code page;\n"
        "                        auto detects each file's own and writes it back in it.\n"
        "                        检测结果不是上列编码之一时，该文件失败（编码无法确定），\n"
        "                        除非关键字与替换内容都是 ASCII 且不是正则表达式。\n"
        "                        A file detected as none of these fails (encoding\n"
        "                        uncertain), unless every keyword and replacement is plain\n"
        "                        ASCII and not a regular expression.\n"
        "  --keep-format         保持原格式：保留每个文件的换行符、BOM 和编码，没有替换的\n"
        "                        文件不改写。Keep each file's line breaks, byte-order mark\n"
        "                        and encoding; a file without replacements is not written.\n"
        "  --separator S         关键字分隔符，默认 \"|\"；为空时每个字符都是一个关键字。\n"
        "                        Keyword separator, default \"|\"; when empty, every "
        "character\n"
        "                        is a keyword.\n"
        "  --regex               按正则表达式匹配 / Match regular expressions.\n"
        "  --whole-word          全词匹配（不能与 --regex 同用）/ Whole words only\n"
        "                        (not with --regex).\n"
        "  -i, --ignore-case     忽略大小写，对普通、全词和正则匹配都有效；中文不受影响。\n"
        "                        Match keywords in any case (Unicode simple case folding),\n"
        "                        for plain text, whole words and regular expressions.\n"
        "  --extended-replacement\n"
        "                        扩展替换语法（与 --regex 同用）：替换内容另外识别 ${名称}\n"
        "                        （命名分组）、\\U…\\E 与 \\L…\\E（转为大写、小写）和 \\\\\n"
        "                        （一个反斜杠）。不加时 \\ 后跟数字为分组，其余照原样写入。\n"
        "                        Extended replacement syntax (with --regex): also ${name}\n"
        "                        for a named group, \\U…\\E and \\L…\\E for upper and lower\n"
        "                        case, and \\\\ for one backslash. Without it, \\ and digits\n"
        "                        name a group and everything else is literal.\n"
        "  --dry-run             试运行：不写入文件，列出将被改动的文件及每对关键字将替换的\n"
        "                        处数。Write nothing; list the files that would change, with\n"
        "                        how many replacements each pair would make there.\n"
        "  -v, --verbose         试运行时再列出每个文件的前几处改动（- 改前，+ 改后），\n"
        "                        自动检测时还列出检测到的编码。With --dry-run, also show\n"
        "                        each file's first changed lines (- before, + after) and,\n"
        "                        with --encoding auto, the encoding detected.\n"
        "  --diff                与 --dry-run 同用：在标准输出写出每个将被改动的文件的统一\n"
        "                        格式差异（3 行上下文，按文件自身的编码和换行符），报告改写到\n"
        "                        标准错误。当前目录下的文件用相对路径命名，可在该目录用\n"
        "                        patch -p0 应用；目录外的文件用绝对路径，patch 不会应用。\n"
        "                        不加 --keep-format 时每行的换行符都会变为 CR LF，差异中\n"
        "                        也如实显示；想看清楚改动请加 --keep-format。\n"
        "                        With --dry-run: a unified diff (3 lines of context, in each\n"
        "                        file's own bytes) of every file that would change, on standard\n"
        "                        output; the report goes to standard error. Files under the\n"
        "                        current folder are named relative to it, for patch -p0 there;\n"
        "                        others absolutely, which patch refuses. Without --keep-format\n"
        "                        every line's break becomes CR LF and the diff shows it: add\n"
        "                        --keep-format for a readable diff.\n"
        "  --no-undo             替换结束后不保留撤销所需的原文件（就地改写的文件写完之前\n"
        "                        仍先复制一份）。Keep no originals after the run (a file\n"
        "                        overwritten in place is still copied until it is written).\n"
        "  --undo-cap MB         撤销时需要复制的原文件最多占用的空间，默认 1024；超过时\n"
        "                        拒绝运行（可用 --no-undo）。也是保留的各次替换的原文件\n"
        "                        合计所占空间的上限。Space the copies kept for undo\n"
        "                        may take (files on the journal's own disk cost nothing);\n"
        "                        default 1024; beyond it the run is refused. Also the space\n"
        "                        the originals of all kept runs may hold together.\n"
        "  --undo                撤销上次替换：恢复上次改动过、此后未再改动的文件。\n"
        "                        Undo the last run: restore every file it changed that has\n"
        "                        not been changed since.\n"
        "                        被中断的替换一直保留，可以撤销，直到撤销或放弃它。\n"
        "                        An interrupted run stays undoable until it is undone or\n"
        "                        discarded.\n"
        "  --history             列出保留的替换，最近的在前，每次一行：编号、开始时间、\n"
        "                        写入的文件数、仍可撤销的文件数。List the kept runs, newest\n"
        "                        first, one a line: number, start time, files written, files\n"
        "                        still undoable (original kept, not rewritten by a later run).\n"
        "                        每行以制表符分隔，已撤销或被中断的另有第五列。Fields are\n"
        "                        tab-separated; an undone or interrupted run has a fifth.\n"
        "  --undo-run N          撤销第 N 次替换（1 为最近一次）；此后又被改动的文件，包括被\n"
        "                        以后的替换改动的，保持不动并列出。Undo run N (1 is the\n"
        "                        newest); files changed since, by a later run too, are left\n"
        "                        alone and named.\n"
        "  --keep-runs N         撤销日志保留最近 N 次替换，默认 10；在 --undo-cap 之内，\n"
        "                        超出时先丢弃最早的。Keep the last N runs for undo (default\n"
        "                        10), within --undo-cap; past either, the oldest go first.\n"
        "  --discard-interrupted 放弃被中断的替换的撤销日志（先修复写了一半的文件）。\n"
        "                        Discard the journals of interrupted runs (after repairing\n"
        "                        any file one left half written).\n"
        "  -h, --help            显示本帮助 / Show this help.\n"
        "  --version             显示版本 / Show the version.\n"
        "\n"
        "输出 / Output:\n"
        "  失败或丢失的文件各占一行（标准输出）：失败<TAB>路径<TAB>原因；最后一行为\n"
        "  成功(N) 失败(N) 丢失(N)。错误信息与进度条写到标准错误。\n"
        "  Each failed or lost file gets a line on standard output: status, path and reason\n"
        "  separated by tabs; the last line is the summary. Errors and the progress bar go\n"
        "  to standard error.\n"
        "  每次运行与撤销之前，先修复被中断的替换写了一半的文件，并在标准错误上说明；\n"
        "  只要还有被中断的替换，每次运行都会提示。\n"
        "  Before each run or undo, files an interrupted run left half written are put back,\n"
        "  and standard error says so; while an interrupted run is kept, every run says so.\n"
        "  试运行时，每个将被改动的文件另有一行 成功<TAB>路径<TAB>总处数，其下每对有替换的\n"
        "  关键字一行。A dry run adds, per file that would change, a line with the total and\n"
        "  one indented line per pair that replaces something: count, \"keyword\" →\n"
        "  \"replacement\".\n"
        "  路径中含有制表符、换行符或回车符时，整个路径加双引号，这三个字符分别写成 \\t、\\n、\n"
        "  \\r（引号内的 \\ 与 \" 写成 \\\\ 与 \\\"）；其他路径原样输出。\n"
        "  A path holding a tab, line feed or carriage return is written in double quotes,\n"
        "  with those as \\t, \\n and \\r (and \\ and \" inside it as \\\\ and \\\");\n"
        "  every other path is written as it is.\n"
        "\n"
        "退出状态 / Exit status:\n"
        "  0  全部成功 / every file succeeded\n"
        "  1  有文件失败或丢失 / a file failed or was lost (in a dry run: would fail)\n"
        "  2  用法错误、任务无法读取或无法建立撤销日志（可用 --no-undo），未写入任何文件\n"
        "     bad usage, unreadable job, or no undo journal could be made (see --no-undo);\n"
        "     nothing was written\n"
        "  130  被 Ctrl-C、SIGTERM 或 SIGHUP（终端关闭）停止：正在写入的文件已写完，\n"
        "     其余未动。Stopped by Ctrl-C, SIGTERM or SIGHUP (a closed terminal): files\n"
        "     being written were finished, the rest left alone.\n"
        "  撤销 (--undo)：0 全部恢复；1 有文件此后又被改动，未恢复，或日志有无法读取的记录\n"
        "  （日志保留）；2 没有可撤销的替换；130 被 Ctrl-C、SIGTERM 或 SIGHUP 停止（正在恢复\n"
        "  的文件已恢复，再次 --undo 继续）。\n"
        "  Undo: 0 all restored; 1 some were changed since and left alone, or a journal\n"
        "  record could not be read (the journal stays); 2 nothing to undo; 130 stopped by a\n"
        "  signal after the file in hand (run --undo again to go on).\n"
        "  --undo-run N：同 --undo；2 没有第 N 次替换 (no run N)，或它已撤销。\n"
        "  --undo-run N: as --undo; 2 when there is no run N, or it is undone already.\n"
        "  --discard-interrupted：0 已放弃；2 没有被中断的替换。\n"
        "  --discard-interrupted: 0 discarded; 2 there was no interrupted run.\n");
}

bool buildCliJob(CliOptions *options, Job *job, QString *error)
{
    return buildFromWorkbook(options, job, error);
}

bool buildCliStream(const CliOptions &options, Job *pairs, StreamSource *source, QString *error)
{
    ModeOneList list;
    if (!readKeywordFiles(options, &list, error))
        return false;
    list.paths = QStringList {QStringLiteral("/")};
    *pairs = buildModeOneJob(list, options.separator, options.settings.regularExpressions());
    source->paths.clear();
    // Asked once: the system is asked anew each time, for every one of thousands of names.
    const QDir current = QDir::current();
    for (const QString &argument : options.paths)
        source->paths.append(absolutePath(current, argument));
    source->recursive = options.recursive;
    source->masks = NameMasks(options.include, options.exclude);
    source->leaveOut = jobFileTest({options.keywordsPath, options.replacementsPath});
    return true;
}

QStringList listFileLines(QString text)
{
    text.remove(QLatin1Char('\r'));
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text.split(QLatin1Char('\n'));
}

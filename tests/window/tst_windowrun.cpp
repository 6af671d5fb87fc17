#include "windowfixture.h"

#include "engine/text/textencoding.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>
#include <QThreadPool>

#include <memory>

class RunTest : public WindowFixture
{
    Q_OBJECT

private slots:
    void modeOneRewritesEveryFile();
    void everyChoiceReachesTheDisk_data();
    void everyChoiceReachesTheDisk();
    void refusals_data();
    void refusals();
    void emptyListRefusalRenamesButton();
    void trailingLineBreakRefusedWithoutBox();
    void separatorSkipsEmptyParts();
    void missingReplacementLineDeletes();
    void deletedFileIsLostAndBlue();
    void readOnlyFileFailsAndIsRed();
    void progressCountsUp();
    void allLostCompletesInsideClick();
    void listsAreLockedDuringRun();
    void shortcutWorksAfterRun();
    void modeTwoGivesEachFileItsReplacement();
    void modeTwoEmptyKeywordRefused();
    void modeTwoMarksLostColumn();
};

void RunTest::modeOneRewritesEveryFile()
{
    const QString a = makeFile(QStringLiteral("a.txt"), "cat and dog\n");
    const QString b = makeFile(QStringLiteral("b.txt"), "dog\ncat");
    setFiles(0, {a, b});
    setKeywords(QStringLiteral("cat|dog\nand"), QStringLiteral("pet\n&"));
    clickReplace();
    QVERIFY(!child<QPushButton>("pushButton_replace")->isEnabled());
    waitForRunEnd();
    QCOMPARE(contentOf(a), QByteArray("pet & pet\r\n"));
    QCOMPARE(contentOf(b), QByteArray("pet\r\npet"));
    QCOMPARE(statusLabel(1)->text(), QStringLiteral(" 成功(2)"));
    QCOMPARE(statusLabel(2)->text(), QStringLiteral(" 失败(0)"));
    QVERIFY(child<QPushButton>("pushButton_replace")->isEnabled());
    QVERIFY(child<QPushButton>("pushButton_ClearAll")->isEnabled());
}

void RunTest::everyChoiceReachesTheDisk_data()
{
    // Each file is written in its codec before the run and read back in it afterwards.
    QTest::addColumn<QString>("choice");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("match");
    QTest::addColumn<bool>("keepFormat");
    QTest::addColumn<QStringList>("codecs");
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QStringList>("replacements");
    QTest::addColumn<QStringList>("after");

    const QString zh = QStringLiteral("这是一个用于测试的简体中文文件，记录的年份是2023年。");
    const QString tw = QStringLiteral("這是一個用於測試的繁體中文檔案，記錄的年份是2023年。");
    const auto row = [](const char *name, const char *choice, const char *codec,
                         const QString &before, const QString &after) {
        QTest::newRow(name) << QString::fromUtf8(choice) << 0 << "plain" << false
                            << QStringList {QString::fromLatin1(codec)} << QStringList {before}
                            << "2023" << QStringList {QStringLiteral("公元2024")}
                            << QStringList {after};
    };
    row("UTF-8", "UTF-8", "UTF-8", QStringLiteral("年份2023"), QStringLiteral("年份公元2024"));
    row("ANSI, the locale's UTF-8 here", "ANSI", "UTF-8", QStringLiteral("年份2023"),
        QStringLiteral("年份公元2024"));
    row("GB18030", "GB18030", "GB18030", QStringLiteral("定于民国2023年"),
        QStringLiteral("定于民国公元2024年"));
    row("Big5", "Big5", "Big5", QStringLiteral("定於民國2023年"),
        QStringLiteral("定於民國公元2024年"));
    row("Shift_JIS", "Shift_JIS", "Shift_JIS", QStringLiteral("令和2023年"),
        QStringLiteral("令和公元2024年"));
    row("EUC-KR", "EUC-KR", "EUC-KR", QStringLiteral("서기 2023년"),
        QStringLiteral("서기 公元2024년"));
    row("UTF-16LE", "UTF-16LE", "UTF-16LE", QStringLiteral("年份2023"),
        QStringLiteral("年份公元2024"));
    row("UTF-16BE", "UTF-16BE", "UTF-16BE", QStringLiteral("年份2023"),
        QStringLiteral("年份公元2024"));
    QTest::newRow("Windows-1252") << "Windows-1252" << 0 << "plain" << false
                                  << QStringList {"windows-1252"}
                                  << QStringList {QStringLiteral("Année 2023")} << "2023"
                                  << QStringList {QStringLiteral("été 2024")}
                                  << QStringList {QStringLiteral("Année été 2024")};
    QTest::newRow("automatic over GBK and Big5 writes each back in its own")
        << "自动检测" << 0 << "plain" << false << QStringList {"GBK", "Big5"}
        << QStringList {zh.repeated(3), tw.repeated(3)} << "2023"
        << QStringList {QStringLiteral("2024")}
        << QStringList {QString(zh).replace("2023", "2024").repeated(3),
               QString(tw).replace("2023", "2024").repeated(3)};
    QTest::newRow("keep format keeps line feeds")
        << "GB18030" << 0 << "plain" << true << QStringList {"GB18030"}
        << QStringList {QStringLiteral("一2023\n二2023\n")} << "2023"
        << QStringList {QStringLiteral("年")} << QStringList {QStringLiteral("一年\n二年\n")};
    QTest::newRow("whole word") << "Big5" << 0 << "word" << false << QStringList {"Big5"}
                                << QStringList {QStringLiteral("貓 cat catalog")} << "cat"
                                << QStringList {QStringLiteral("狗")}
                                << QStringList {QStringLiteral("貓 狗 catalog")};
    QTest::newRow("regular expression")
        << "GB18030" << 0 << "regex" << false << QStringList {"GB18030"}
        << QStringList {QStringLiteral("编号A17与B9")} << "[A-Z](\\d+)"
        << QStringList {QStringLiteral("第\\1号")}
        << QStringList {QStringLiteral("编号第17号与第9号")};
    QTest::newRow("ignoring case")
        << "UTF-8" << 0 << "any case" << false << QStringList {"UTF-8"}
        << QStringList {QStringLiteral("Cat CAT cat 猫")} << "cAt"
        << QStringList {QStringLiteral("狗")} << QStringList {QStringLiteral("狗 狗 狗 猫")};
    QTest::newRow("extended replacement, chosen after regular expressions")
        << "UTF-8" << 0 << "extended" << false << QStringList {"UTF-8"}
        << QStringList {QStringLiteral("hello world 你好")} << "(\\w+) (\\w+)"
        << QStringList {QStringLiteral("\\U\\2\\E \\1")}
        << QStringList {QStringLiteral("WORLD hello 你好")};
    QTest::newRow("mode two, each file its own")
        << "Big5" << 1 << "plain" << false << QStringList {"Big5", "Big5"}
        << QStringList {QStringLiteral("甲2023"), QStringLiteral("乙2023")} << "2023"
        << QStringList {QStringLiteral("壹"), QStringLiteral("貳")}
        << QStringList {QStringLiteral("甲壹"), QStringLiteral("乙貳")};
}

// A person picks each option with the keyboard and the mouse; the bytes on disk tell
// whether the run got it.
void RunTest::everyChoiceReachesTheDisk()
{
    QFETCH(QString, choice);
    QFETCH(int, mode);
    QFETCH(QString, match);
    QFETCH(bool, keepFormat);
    QFETCH(QStringList, codecs);
    QFETCH(QStringList, before);
    QFETCH(QString, keys);
    QFETCH(QStringList, replacements);
    QFETCH(QStringList, after);

    QStringList files;
    for (int i = 0; i < codecs.size(); ++i) {
        QTextCodec *codec = QTextCodec::codecForName(codecs.at(i).toLatin1());
        QTextCodec::ConverterState plain(QTextCodec::IgnoreHeader);
        files.append(makeFile(QStringLiteral("choice%1.txt").arg(i),
            codec->fromUnicode(before.at(i).constData(), before.at(i).size(), &plain)));
    }
    setFiles(mode, files);
    if (mode == 0) {
        setKeywords(keys, replacements.first());
    } else {
        auto *table = child<QTableWidget>("tableWidget_list2");
        table->item(0, 0)->setText(keys);
        for (int i = 0; i < replacements.size(); ++i)
            table->setItem(0, i + 1, new QTableWidgetItem(replacements.at(i)));
    }

    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    auto *coder = child<QComboBox>("comboBox_coder");
    coder->setFocus();
    QTest::keyClick(coder, Qt::Key_Home);
    for (int i = 0; i < TextEncoding::choiceNames().indexOf(choice); ++i)
        QTest::keyClick(coder, Qt::Key_Down);
    QCOMPARE(coder->currentText(), choice);
    if (keepFormat)
        QTest::mouseClick(child<QCheckBox>("checkBox_keepFormat"), Qt::LeftButton);
    if (match == QLatin1String("word"))
        QTest::mouseClick(child<QCheckBox>("checkBox_full"), Qt::LeftButton);
    if (match == QLatin1String("regex"))
        QTest::mouseClick(child<QRadioButton>("radioButton_regular"), Qt::LeftButton);
    if (match == QLatin1String("any case"))
        QTest::mouseClick(child<QCheckBox>("checkBox_ignoreCase"), Qt::LeftButton);
    if (match == QLatin1String("extended")) // deaf to the first click, in ordinary mode
        for (const char *name :
            {"checkBox_extendedReplace", "radioButton_regular", "checkBox_extendedReplace"})
            QTest::mouseClick(child<QAbstractButton>(name), Qt::LeftButton);

    clickReplace();
    waitForRunEnd();
    for (int i = 0; i < files.size(); ++i) {
        QTextCodec *codec = QTextCodec::codecForName(codecs.at(i).toLatin1());
        QTextCodec::ConverterState plain(QTextCodec::IgnoreHeader);
        const QByteArray expected
            = codec->fromUnicode(after.at(i).constData(), after.at(i).size(), &plain);
        QCOMPARE(contentOf(files.at(i)), expected);
    }
    QCOMPARE(statusLabel(1)->text(), QStringLiteral(" 成功(%1)").arg(files.size()));
}

void RunTest::refusals_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("replacements");
    QTest::addColumn<bool>("regex");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");

    QTest::newRow("more replacement lines than keyword lines")
        << "a"
        << "b\nc" << false << "警告"
        << "【被替换关键字】与【欲替换为】内容条目数量不一致，请检查!";
    QTest::newRow("keywords starting with two empty lines") << "\n\na"
                                                            << "" << false << "警告"
                                                            << "【被替换关键字】存在空行，请检查!";
    QTest::newRow("no keywords at all") << ""
                                        << "" << false << "警告!"
                                        << "无【被替换关键字】内容，请填写!";
    QTest::newRow("an invalid regular expression, named with Qt's reason")
        << "(unclosed"
        << "x" << true << "警告"
        << "正则表达式【(unclosed】有误：";
    QTest::newRow("a NUL character in a replacement")
        << "a" << QStringLiteral("b") + QChar(0) << false << "警告"
        << "【被替换关键字】或【欲替换为】含有空字符(NUL)，请检查!";
}

void RunTest::refusals()
{
    QFETCH(QString, keys);
    QFETCH(QString, replacements);
    QFETCH(bool, regex);
    QFETCH(QString, title);
    QFETCH(QString, text);

    const QString a = makeFile(QStringLiteral("a.txt"), "a\n");
    setFiles(0, {a});
    setKeywords(keys, replacements);
    if (regex)
        child<QRadioButton>("radioButton_regular")->click();
    QString seen;
    whenModal([&seen](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY(box);
        seen = box->windowTitle() + QLatin1Char('|') + box->text();
        box->accept();
    });
    clickReplace();
    QVERIFY2(seen.startsWith(title + QLatin1Char('|') + text), qPrintable(seen));
    QCOMPARE(state(), QStringLiteral("文件替换处理被取消!"));
    QCOMPARE(contentOf(a), QByteArray("a\n"));
    QVERIFY(child<QPushButton>("pushButton_replace")->isEnabled());
    QCOMPARE(child<QPushButton>("pushButton_replace")->text(), QStringLiteral("开始替换"));
}

void RunTest::emptyListRefusalRenamesButton()
{
    for (int tab : {0, 1}) {
        child<QTabWidget>("tabWidget_1")->setCurrentIndex(tab);
        QString seen;
        whenModal([&seen](QWidget *modal) {
            seen = qobject_cast<QMessageBox *>(modal)->text();
            static_cast<QDialog *>(modal)->accept();
        });
        clickReplace();
        QCOMPARE(seen, QStringLiteral("纯文本文件列表为空,请添加纯文本文件到列表!"));
        QCOMPARE(state(), QStringLiteral("文件替换处理被取消!"));
        auto *button = child<QPushButton>("pushButton_replace");
        QCOMPARE(button->text(), QStringLiteral("开始替换(CTRL+SHIFT+H)"));
        QCOMPARE(button->shortcut(), QKeySequence(QStringLiteral("Ctrl+Shift+H")));
        QVERIFY(button->isEnabled());
    }
}

void RunTest::trailingLineBreakRefusedWithoutBox()
{
    const QString a = makeFile(QStringLiteral("a.txt"), "a\n");
    setFiles(0, {a});
    setKeywords(QStringLiteral("a\n"), QStringLiteral("b"));
    clickReplace();
    QCOMPARE(state(), QStringLiteral("发现被替换关键字有[空]行,请检查!"));
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(child<QPushButton>("pushButton_replace")->isEnabled());
    QCOMPARE(contentOf(a), QByteArray("a\n"));
    // The cursor shows which line is meant.
    auto *keys = child<QPlainTextEdit>("plainTextEdit_s1");
    QCOMPARE(keys->textCursor().blockNumber(), 1);
    QCOMPARE(window->focusWidget(), keys);
}

void RunTest::separatorSkipsEmptyParts()
{
    const QString a = makeFile(QStringLiteral("a.txt"), "a,b,c");
    setFiles(0, {a});
    child<QLineEdit>("lineEdit_Separator")->setText(QStringLiteral(","));
    setKeywords(QStringLiteral("a,,b,"), QStringLiteral("X"));
    clickReplace();
    waitForRunEnd();
    QCOMPARE(contentOf(a), QByteArray("X,X,c"));
}

void RunTest::missingReplacementLineDeletes()
{
    const QString a = makeFile(QStringLiteral("a.txt"), "one two three");
    setFiles(0, {a});
    setKeywords(QStringLiteral("one\ntwo "), QStringLiteral("1"));
    clickReplace();
    waitForRunEnd();
    QCOMPARE(contentOf(a), QByteArray("1 three"));
}

void RunTest::deletedFileIsLostAndBlue()
{
    const QString a = makeFile(QStringLiteral("a.txt"), "x");
    const QString b = makeFile(QStringLiteral("b.txt"), "x");
    setFiles(0, {a, b});
    QFile::remove(a);
    setKeywords(QStringLiteral("x"), QStringLiteral("y"));
    clickReplace();
    waitForRunEnd();
    QCOMPARE(statusLabel(3)->text(), QStringLiteral(" <font color='blue'>丢失(1)</font>"));
    QCOMPARE(statusLabel(1)->text(), QStringLiteral(" 成功(1)"));
    auto *table = child<QTableWidget>("tableWidget_list1");
    QCOMPARE(table->item(0, 0)->background().color(), QColor(Qt::blue));
    QCOMPARE(table->item(1, 0)->background().style(), Qt::NoBrush);
    QCOMPARE(contentOf(b), QByteArray("y"));
}

void RunTest::readOnlyFileFailsAndIsRed()
{
    const QString a = makeFile(QStringLiteral("a.txt"), "x");
    const QString b = makeFile(QStringLiteral("b.txt"), "x");
    const QString c = makeFile(QStringLiteral("c.txt"), "x");
    QFile::setPermissions(b, QFile::ReadOwner | QFile::ReadGroup);
    setFiles(0, {a, b, c});
    setKeywords(QStringLiteral("x"), QStringLiteral("y"));
    clickReplace();
    waitForRunEnd();
    QCOMPARE(statusLabel(1)->text(), QStringLiteral(" 成功(2)"));
    QCOMPARE(statusLabel(2)->text(), QStringLiteral(" <font color='red'>失败(1)</font>"));
    QCOMPARE(contentOf(b), QByteArray("x"));
    auto *table = child<QTableWidget>("tableWidget_list1");
    QCOMPARE(table->item(1, 0)->background().color(), QColor(Qt::red));
}

// Lost files are counted inside the click; worker results only arrive later
// through the event loop, so the text right after the click is exact.
void RunTest::progressCountsUp()
{
    QStringList files;
    for (int i = 0; i < 5; ++i)
        files.append(makeFile(QStringLiteral("f%1.txt").arg(i), "x"));
    setFiles(0, files);
    setKeywords(QStringLiteral("x"), QStringLiteral("y"));
    QFile::remove(files[1]);
    QFile::remove(files[3]);
    clickReplace();
    QCOMPARE(state(), QStringLiteral("文件替换处理中...已完成[2/5]"));
    waitForRunEnd();
    QCOMPARE(statusLabel(3)->text(), QStringLiteral(" <font color='blue'>丢失(2)</font>"));
    QCOMPARE(statusLabel(1)->text(), QStringLiteral(" 成功(3)"));
}

void RunTest::allLostCompletesInsideClick()
{
    const QString a = makeFile(QStringLiteral("a.txt"), "x");
    setFiles(0, {a});
    QFile::remove(a);
    setKeywords(QStringLiteral("x"), QStringLiteral("y"));
    clickReplace();
    QCOMPARE(state(), QStringLiteral("文件替换处理全部完成!"));
    QVERIFY(child<QPushButton>("pushButton_replace")->isEnabled());
    QVERIFY(!window->isRunning());
}

// Results are reported by list position, so nothing may reorder or clear the
// lists until the last one is in.
void RunTest::listsAreLockedDuringRun()
{
    QStringList files;
    for (int i = 0; i < 40; ++i)
        files.append(makeFile(QStringLiteral("f%1.txt").arg(i), QByteArray(20000, 'x')));
    setFiles(0, files);
    setKeywords(QStringLiteral("x"), QStringLiteral("y"));
    clickReplace();
    QVERIFY(window->isRunning());
    for (const char *name :
        {"pushButton_list1_Clear", "pushButton_list1_Remove", "pushButton_list1_Add",
            "pushButton_list1_Import", "pushButton_list2_Clear", "pushButton_ClearAll"})
        QVERIFY2(!child<QPushButton>(name)->isEnabled(), name);
    QVERIFY(!child<QAction>("action_Clear")->isEnabled());
    child<QAction>("action_Clear")->trigger();
    const QString extra = makeFile(QStringLiteral("extra.txt"), "x");
    QVERIFY(!dropPaths(window.get(), {extra}));
    QCOMPARE(window->list1(), files);

    waitForRunEnd();
    QCOMPARE(statusLabel(1)->text(), QStringLiteral(" 成功(40)"));
    QVERIFY(child<QPushButton>("pushButton_list1_Clear")->isEnabled());
    QVERIFY(child<QAction>("action_Clear")->isEnabled());
    setFiles(0, {extra});
    QCOMPARE(window->list1().size(), 41);
}

void RunTest::shortcutWorksAfterRun()
{
    const QString a = makeFile(QStringLiteral("a.txt"), "x");
    setFiles(0, {a});
    setKeywords(QStringLiteral("x"), QStringLiteral("y"));
    clickReplace();
    waitForRunEnd();
    setKeywords(QStringLiteral("y"), QStringLiteral("z"));
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    // A shortcut animates the click: the button reports it a moment later.
    QSignalSpy clicked(child<QPushButton>("pushButton_replace"), &QPushButton::clicked);
    QTest::keyClick(window.get(), Qt::Key_H, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(clicked.wait());
    waitForRunEnd();
    QTRY_COMPARE(contentOf(a), QByteArray("z"));
}

void RunTest::modeTwoGivesEachFileItsReplacement()
{
    const QString a = makeFile(QStringLiteral("a.txt"), "name: NAME, city: CITY\n");
    const QString b = makeFile(QStringLiteral("b.txt"), "NAME from CITY");
    setFiles(1, {a, b});
    auto *table = child<QTableWidget>("tableWidget_list2");
    table->item(0, 0)->setText(QStringLiteral("NAME"));
    table->setItem(0, 1, new QTableWidgetItem(QStringLiteral("张三")));
    table->setItem(0, 2, new QTableWidgetItem(QStringLiteral("李四")));
    table->item(1, 0)->setText(QStringLiteral("CITY"));
    table->item(1, 1)->setText(QStringLiteral("北京"));
    clickReplace();
    waitForRunEnd();
    QCOMPARE(QString::fromUtf8(contentOf(a)), QStringLiteral("name: 张三, city: 北京\r\n"));
    QCOMPARE(QString::fromUtf8(contentOf(b)), QStringLiteral("李四 from "));
    QCOMPARE(statusLabel(1)->text(), QStringLiteral(" 成功(2)"));
}

void RunTest::modeTwoEmptyKeywordRefused()
{
    const QString a = makeFile(QStringLiteral("a.txt"), "x");
    setFiles(1, {a});
    auto *table = child<QTableWidget>("tableWidget_list2");
    table->item(0, 0)->setText(QStringLiteral("x"));
    table->item(1, 0)->setText(QStringLiteral("y"));
    table->item(1, 0)->setText(QString());
    table->setCurrentCell(0, 1);
    clickReplace();
    QCOMPARE(state(), QStringLiteral("发现被替换关键字有[空]行,请检查!"));
    QCOMPARE(contentOf(a), QByteArray("x"));
    QCOMPARE(table->currentRow(), 1);
    QCOMPARE(table->currentColumn(), 0);
    QVERIFY(table->item(1, 0)->isSelected());
}

void RunTest::modeTwoMarksLostColumn()
{
    const QString a = makeFile(QStringLiteral("a.txt"), "x");
    const QString b = makeFile(QStringLiteral("b.txt"), "x");
    setFiles(1, {a, b});
    QFile::remove(b);
    auto *table = child<QTableWidget>("tableWidget_list2");
    table->item(0, 0)->setText(QStringLiteral("x"));
    clickReplace();
    waitForRunEnd();
    QCOMPARE(table->horizontalHeaderItem(2)->foreground().color(), QColor(Qt::blue));
    QCOMPARE(table->item(0, 2)->background().color(), QColor(Qt::blue));
    QCOMPARE(table->horizontalHeaderItem(1)->foreground().style(), Qt::NoBrush);
    QVERIFY(table->item(0, 0)->background().style() == Qt::NoBrush);
    QCOMPARE(child<QTableWidget>("tableWidget_list1")->rowCount(), 0);
}

QTEST_MAIN(RunTest)
#include "tst_windowrun.moc"

#include "windowfixture.h"

#include <QAction>
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
#include <QThreadPool>

#include <memory>

class RunTest : public WindowFixture
{
    Q_OBJECT

private slots:
    void modeOneRewritesEveryFile();
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
    table->item(0, 0)->setText(QString());
    clickReplace();
    QCOMPARE(state(), QStringLiteral("发现被替换关键字有[空]行,请检查!"));
    QCOMPARE(contentOf(a), QByteArray("x"));
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

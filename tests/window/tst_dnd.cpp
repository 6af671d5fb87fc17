#include "app/settings.h"
#include "files/tempnames.h"
#include "workbook/listworkbook.h"

#include "windowfixture.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <fcntl.h>
#include <unistd.h>

class DropTest : public WindowFixture
{
    Q_OBJECT

private slots:
    void dragNeedsUrls();
    void textFileByTab_data();
    void textFileByTab();
    void xmlAndSubtitlesAreText();
    void duplicateIsSkipped();
    void twoSpellingsAreTwoEntries();
    void directoryFollowsSavedFlag_data();
    void directoryFollowsSavedFlag();
    void unsupportedItems_data();
    void unsupportedItems();
    void modeTwoWorkbookSwitchesTabAndImports();
    void modeOneWorkbookSwitchesBack();
    void otherWorkbookNamesAreIgnored_data();
    void otherWorkbookNamesAreIgnored();
    void workbookAmongOthersIsRejected();
    void leftoverTempFilesAreNotListed();
    void undecodableNamesStayApart();

private:
    void drop(const QStringList &paths) { QVERIFY(dropPaths(window.get(), paths)); }
    QTabWidget *tabs() const
    {
        return window->findChild<QTabWidget *>(QStringLiteral("tabWidget_1"));
    }
    QTableWidget *table(const char *name) const
    {
        return window->findChild<QTableWidget *>(QString::fromLatin1(name));
    }
};

void DropTest::dragNeedsUrls()
{
    QMimeData text;
    text.setText(QStringLiteral("not a file"));
    QDragEnterEvent plain(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    plain.setAccepted(false);
    QApplication::sendEvent(window.get(), &plain);
    QVERIFY(!plain.isAccepted());

    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(makeFile(QStringLiteral("a.txt")))});
    QDragEnterEvent withUrls(QPoint(5, 5), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    withUrls.setAccepted(false);
    QApplication::sendEvent(window.get(), &withUrls);
    QVERIFY(withUrls.isAccepted());
}

void DropTest::textFileByTab_data()
{
    QTest::addColumn<int>("tab");
    QTest::newRow("first tab adds a row") << 0;
    QTest::newRow("second tab adds a column") << 1;
}

void DropTest::textFileByTab()
{
    QFETCH(int, tab);
    tabs()->setCurrentIndex(tab);
    const QString a = makeFile(QStringLiteral("a.txt"));
    drop({a});
    if (tab == 0) {
        QCOMPARE(window->list1(), QStringList {a});
        QCOMPARE(table("tableWidget_list1")->rowCount(), 1);
        QVERIFY(window->list2().isEmpty());
    } else {
        QCOMPARE(window->list2(), QStringList {a});
        QCOMPARE(table("tableWidget_list2")->columnCount(), 2);
        QCOMPARE(
            table("tableWidget_list2")->horizontalHeaderItem(1)->text(), QStringLiteral("a.txt"));
        QVERIFY(window->list1().isEmpty());
    }
    QCOMPARE(tabs()->currentIndex(), tab);
    QCOMPARE(state(), QStringLiteral("添加目录文件完毕!"));
    QCOMPARE(
        window->statusBar()->findChildren<QLabel *>().first()->text(), QStringLiteral(" 文件(1)"));
}

void DropTest::xmlAndSubtitlesAreText()
{
    const QStringList files = {makeFile(QStringLiteral("a.xml"), "<a/>\n"),
        makeFile(QStringLiteral("b.srt"), "1\n00:00:01,000 --> 00:00:02,000\nhi\n"),
        makeFile(QStringLiteral("c.json"), "{}\n")};
    drop(files);
    QCOMPARE(window->list1(), files);
    drop({files.first()});
    QCOMPARE(window->list1(), files);
}

void DropTest::duplicateIsSkipped()
{
    const QString a = makeFile(QStringLiteral("a.txt"));
    drop({a});
    QSignalSpy states(window.get(), &MainWindow::stateChangedSignals);
    drop({a});
    QCOMPARE(window->list1(), QStringList {a});
    QVERIFY(states.contains(QVariantList {13}));
}

void DropTest::twoSpellingsAreTwoEntries()
{
    const QString a = makeFile(QStringLiteral("a.txt"));
    const QString other = dir.path() + QStringLiteral("/./a.txt");
    drop({a, other});
    QCOMPARE(window->list1().size(), 2);
}

void DropTest::directoryFollowsSavedFlag_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("flag");
    QTest::addColumn<int>("expected");
    QTest::newRow("mode one, flag off: this folder only") << 0 << "0" << 1;
    QTest::newRow("mode one, flag on: subfolders too") << 0 << "1" << 2;
    QTest::newRow("mode two, flag unset: this folder only") << 1 << "" << 1;
    QTest::newRow("mode two, flag on: subfolders too") << 1 << "1" << 2;
}

void DropTest::directoryFollowsSavedFlag()
{
    QFETCH(int, tab);
    QFETCH(QString, flag);
    QFETCH(int, expected);
    const QString root = dir.filePath(QStringLiteral("tree"));
    makeFile(QStringLiteral("tree/a.txt"));
    makeFile(QStringLiteral("tree/sub/b.txt"));
    if (!flag.isEmpty())
        writeSetting(testSettingsPath(), QStringLiteral("check"),
            tab == 0 ? QStringLiteral("c1") : QStringLiteral("c2"), flag);
    tabs()->setCurrentIndex(tab);
    drop({root});
    QCOMPARE((tab == 0 ? window->list1() : window->list2()).size(), expected);
    QCOMPARE(state(), QStringLiteral("添加目录文件完毕!"));
}

void DropTest::unsupportedItems_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("finalState");
    QTest::newRow("one unsupported file") << 1 << "拖入文件类型不受支持!";
    QTest::newRow("two unsupported files") << 2 << "添加目录文件完毕!";
}

void DropTest::unsupportedItems()
{
    QFETCH(int, count);
    QFETCH(QString, finalState);
    const QString kept = makeFile(QStringLiteral("kept.txt"));
    drop({kept});
    QStringList paths;
    for (int i = 0; i < count; ++i)
        paths.append(
            makeFile(QStringLiteral("p%1.png").arg(i), QByteArray("\x89PNG\r\n\x1a\n", 8)));
    drop(paths);
    QCOMPARE(state(), finalState);
    QCOMPARE(window->list1(), QStringList {kept});
}

void DropTest::modeTwoWorkbookSwitchesTabAndImports()
{
    const QString a = makeFile(QStringLiteral("a.txt"));
    ModeTwoList list;
    list.paths = QStringList {a};
    list.rows = {{QStringLiteral("k"), QStringLiteral("v")}};
    const QString workbook = dir.filePath(QStringLiteral("易换方式二替换列表.xlsx"));
    QVERIFY(writeModeTwoWorkbook(workbook, list));

    tabs()->setCurrentIndex(0);
    drop({workbook});
    QCOMPARE(tabs()->currentIndex(), 1);
    QCOMPARE(window->list2(), QStringList {a});
    QCOMPARE(table("tableWidget_list2")->item(0, 0)->text(), QStringLiteral("k"));
    QCOMPARE(table("tableWidget_list2")->item(0, 1)->text(), QStringLiteral("v"));
    QCOMPARE(state(), QStringLiteral("列表导入完毕!"));
}

void DropTest::modeOneWorkbookSwitchesBack()
{
    const QString a = makeFile(QStringLiteral("a.txt"));
    ModeOneList list;
    list.paths = QStringList {a};
    list.keywordLines = QStringList {QStringLiteral("k")};
    list.replacementLines = QStringList {QStringLiteral("v")};
    const QString workbook = dir.filePath(QStringLiteral("易换方式一文件列表.xlsx"));
    QVERIFY(writeModeOneWorkbook(workbook, list));

    tabs()->setCurrentIndex(1);
    drop({workbook});
    QCOMPARE(tabs()->currentIndex(), 0);
    QCOMPARE(window->list1(), QStringList {a});
    QCOMPARE(window->findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit_s1"))->toPlainText(),
        QStringLiteral("k"));
}

void DropTest::otherWorkbookNamesAreIgnored_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("any other name") << "jobs.xlsx";
    QTest::newRow("a copy with a suffix before the extension") << "易换方式二替换列表 (2).xlsx";
}

void DropTest::otherWorkbookNamesAreIgnored()
{
    QFETCH(QString, name);
    ModeTwoList list;
    list.paths = QStringList {makeFile(QStringLiteral("a.txt"))};
    const QString workbook = dir.filePath(name);
    QVERIFY(writeModeTwoWorkbook(workbook, list));
    emit window->stateChangedSignals(7);
    drop({workbook});
    QCOMPARE(tabs()->currentIndex(), 0);
    QVERIFY(window->list1().isEmpty());
    QVERIFY(window->list2().isEmpty());
    QCOMPARE(state(), QStringLiteral("7 咦?这是神马操作?"));
}

void DropTest::workbookAmongOthersIsRejected()
{
    ModeTwoList list;
    const QString workbook = dir.filePath(QStringLiteral("易换方式二替换列表.xlsx"));
    QVERIFY(writeModeTwoWorkbook(workbook, list));
    const QString a = makeFile(QStringLiteral("a.txt"));
    QSignalSpy states(window.get(), &MainWindow::stateChangedSignals);
    drop({workbook, a});
    QCOMPARE(tabs()->currentIndex(), 0);
    QCOMPARE(window->list1(), QStringList {a});
    QVERIFY(states.contains(QVariantList {58}));
}

void DropTest::leftoverTempFilesAreNotListed()
{
    // What a run killed between writing and renaming leaves next to the originals.
    const QString kept = makeFile(QStringLiteral("a.txt"));
    const QString left = makeFile(tempFileName(QStringLiteral("a.txt"), QStringLiteral("x7Kq2Z")));
    const QString keptInFolder = makeFile(QStringLiteral("sub/b.txt"));
    makeFile(
        QStringLiteral("sub/") + tempFileName(QStringLiteral("b.txt"), QStringLiteral("ab12CD")));

    drop({kept, left});
    QCOMPARE(window->list1(), QStringList {kept});
    drop({left});
    QCOMPARE(state(), QStringLiteral("拖入文件类型不受支持!"));
    drop({dir.filePath(QStringLiteral("sub"))});
    QCOMPARE(window->list1(), (QStringList {kept, keptInFolder}));
}

void DropTest::undecodableNamesStayApart()
{
    if (QFile::encodeName(QStringLiteral("中")) != QByteArray("\xe4\xb8\xad"))
        QSKIP("Needs a UTF-8 locale");
    // Qt would name both files by the second name's bytes.
    const QByteArray folder = QFile::encodeName(dir.path()) + '/';
    const QByteArray names[] = {"bad\xff.txt", "bad\xef\xbf\xbd.txt"};
    QList<QUrl> urls;
    for (const QByteArray &name : names) {
        const int fd = ::open((folder + name).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0 && ::write(fd, "x\n", 2) == 2 && ::close(fd) == 0);
        urls.append(QUrl::fromEncoded("file://" + (folder + name).toPercentEncoding("/")));
    }
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &enter);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &drop);

    QCOMPARE(window->list1(),
        (QStringList {dir.filePath(QStringLiteral("bad") + QChar(0xdcff) + QStringLiteral(".txt")),
            dir.filePath(QStringLiteral("bad") + QChar(0xfffd) + QStringLiteral(".txt"))}));
}

QTEST_MAIN(DropTest)
#include "tst_dnd.moc"

#include "app/settings.h"
#include "widgets/qtablewidgetex.h"

#include "windowfixture.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>

#include <memory>

class ListsTest : public WindowFixture
{
    Q_OBJECT

private slots:
    void addFilesSkipsDuplicates();
    void cancelledAddFilesChangesNothing();
    void addDirectoryHonoursCheckBox_data();
    void addDirectoryHonoursCheckBox();
    void cancelledAddDirectoryKeepsFlag();
    void removeRowsOneAndThreeOfFive();
    void clearingEmptyListStillReports();
    void clearAllOnFirstTabEmptiesEditors();
    void tooltipShowsFullPath();
    void doubleClickOpensContainingFolder();
    void menuAddFollowsTab();
    void menuClearFollowsTab();

    void typingIntoLastRowGrowsTable();
    void typingUnderEmptyKeywordIsRefused();
    void emptyingCellDoesNotGrow();
    void removeRowsKeepsInputRow();
    void removeMiddleColumnKeepsOthersCells();
    void keywordColumnSelectionRemovesNothing();
    void tooltipByColumn();
    void clearResetsTable();
    void clearingRefreshesTheFileCount_data();
    void clearingRefreshesTheFileCount();
    void pasteFillsCellsFromTheCurrentOne_data();
    void pasteFillsCellsFromTheCurrentOne();
    void startupPathsFillTheFirstList();
    void masksChooseWhatAFolderGives();
    void aLongFolderFillsTheWholeList_data();
    void aLongFolderFillsTheWholeList();
    void stopWhileAddingKeepsTheList_data();
    void stopWhileAddingKeepsTheList();

private:
    void addFiles(const QString &button, const QStringList &paths);
    void addDirectory(const QString &button, const QString &path, bool subdirs);
    QTableWidgetEx *table1() const { return child<QTableWidgetEx>("tableWidget_list1"); }
    QTableWidget *table2() const { return child<QTableWidget>("tableWidget_list2"); }
    void checkList1Invariant() const;
    void checkList2Invariant() const;
};

// Clicks a button once it is enabled, as someone waiting for it would. The click is
// queued at once, so it comes before anything the window goes on to queue.
class ClickWhenEnabled : public QObject
{
public:
    explicit ClickWhenEnabled(QAbstractButton *button)
        : m_button(button)
    {
        button->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_button && event->type() == QEvent::EnabledChange
            && m_button->isEnabled()) {
            m_button->removeEventFilter(this);
            QMetaObject::invokeMethod(
                m_button,
                [button = m_button] {
                    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
                },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    QAbstractButton *m_button;
};

void ListsTest::addFiles(const QString &button, const QStringList &paths)
{
    whenModal([paths](QWidget *modal) {
        QStringList quoted;
        for (const QString &path : paths)
            quoted.append(QLatin1Char('"') + path + QLatin1Char('"'));
        modal->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))
            ->setText(quoted.join(QLatin1Char(' ')));
        static_cast<QDialog *>(modal)->accept();
    });
    window->findChild<QPushButton *>(button)->click();
}

void ListsTest::addDirectory(const QString &button, const QString &path, bool subdirs)
{
    whenModal([path, subdirs](QWidget *modal) {
        auto *box = modal->findChild<QCheckBox *>();
        QVERIFY(box);
        QCOMPARE(box->text(), QStringLiteral("包含子目录文件"));
        box->setChecked(subdirs);
        modal->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
        static_cast<QDialog *>(modal)->accept();
    });
    window->findChild<QPushButton *>(button)->click();
}

void ListsTest::checkList1Invariant() const
{
    QCOMPARE(table1()->rowCount(), window->list1().size());
    for (int i = 0; i < window->list1().size(); ++i)
        QCOMPARE(table1()->item(i, 0)->text(), QFileInfo(window->list1().at(i)).fileName());
}

void ListsTest::checkList2Invariant() const
{
    QCOMPARE(table2()->columnCount(), window->list2().size() + 1);
    for (int i = 0; i < window->list2().size(); ++i)
        QCOMPARE(table2()->horizontalHeaderItem(i + 1)->text(),
            QFileInfo(window->list2().at(i)).fileName());
}

void ListsTest::addFilesSkipsDuplicates()
{
    const QString a = makeFile(QStringLiteral("a.txt"));
    const QString b = makeFile(QStringLiteral("b 文件.txt"));
    addFiles(QStringLiteral("pushButton_list1_Add"), {a});
    addFiles(QStringLiteral("pushButton_list1_Add"), {a, b});
    QCOMPARE(window->list1(), (QStringList {a, b}));
    QCOMPARE(state(), QStringLiteral("添加文件完毕!"));
    QCOMPARE(fileCount(), QStringLiteral(" 文件(2)"));
    checkList1Invariant();
}

void ListsTest::cancelledAddFilesChangesNothing()
{
    whenModal([](QWidget *modal) { static_cast<QDialog *>(modal)->reject(); });
    child<QPushButton>("pushButton_list1_Add")->click();
    QCOMPARE(state(), QStringLiteral("添加文件被取消!"));
    QVERIFY(window->list1().isEmpty());
}

void ListsTest::addDirectoryHonoursCheckBox_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("subdirs");
    QTest::addColumn<QString>("key");
    QTest::newRow("mode one, this folder only") << "pushButton_list1_Adds" << false << "c1";
    QTest::newRow("mode one, with subfolders") << "pushButton_list1_Adds" << true << "c1";
    QTest::newRow("mode two, this folder only") << "pushButton_list2_Adds" << false << "c2";
    QTest::newRow("mode two, with subfolders") << "pushButton_list2_Adds" << true << "c2";
}

void ListsTest::addDirectoryHonoursCheckBox()
{
    QFETCH(QString, button);
    QFETCH(bool, subdirs);
    QFETCH(QString, key);

    const QString root = dir.filePath(QStringLiteral("tree"));
    makeFile(QStringLiteral("tree/a.txt"));
    makeFile(QStringLiteral("tree/B/x.txt"));
    makeFile(QStringLiteral("tree/c.xml"), "<a/>\n");
    makeFile(QStringLiteral("tree/.hidden.txt"));
    makeFile(QStringLiteral("tree/d.png"), QByteArray("\x89PNG\r\n\x1a\n", 8));

    const bool modeTwo = button.contains(QLatin1String("list2"));
    if (modeTwo)
        child<QTabWidget>("tabWidget_1")->setCurrentIndex(1);
    addDirectory(button, root, subdirs);

    QStringList expected {root + QStringLiteral("/a.txt")};
    if (subdirs)
        expected.append(
            QDir(root).absoluteFilePath(QStringLiteral("B")) + QStringLiteral("/x.txt"));
    expected.append(root + QStringLiteral("/c.xml"));
    QCOMPARE(modeTwo ? window->list2() : window->list1(), expected);
    QCOMPARE(readSetting(testSettingsPath(), QStringLiteral("check"), key, QString()),
        subdirs ? QStringLiteral("1") : QStringLiteral("0"));
    QCOMPARE(state(), QStringLiteral("添加目录文件完毕!"));
    checkList1Invariant();
    checkList2Invariant();

    // The next dialog starts from the saved choice.
    bool presetSeen = !subdirs;
    whenModal([&presetSeen](QWidget *modal) {
        presetSeen = modal->findChild<QCheckBox *>()->isChecked();
        static_cast<QDialog *>(modal)->reject();
    });
    window->findChild<QPushButton *>(button)->click();
    QCOMPARE(presetSeen, subdirs);
}

void ListsTest::cancelledAddDirectoryKeepsFlag()
{
    writeSetting(
        testSettingsPath(), QStringLiteral("check"), QStringLiteral("c1"), QStringLiteral("1"));
    whenModal([](QWidget *modal) {
        modal->findChild<QCheckBox *>()->setChecked(false);
        static_cast<QDialog *>(modal)->reject();
    });
    child<QPushButton>("pushButton_list1_Adds")->click();
    QCOMPARE(state(), QStringLiteral("添加目录文件被取消!"));
    QCOMPARE(readSetting(testSettingsPath(), QStringLiteral("check"), QStringLiteral("c1"), {}),
        QStringLiteral("1"));
}

void ListsTest::removeRowsOneAndThreeOfFive()
{
    QStringList files;
    for (int i = 0; i < 5; ++i)
        files.append(makeFile(QStringLiteral("f%1.txt").arg(i)));
    addFiles(QStringLiteral("pushButton_list1_Add"), files);
    QCOMPARE(window->list1().size(), 5);

    table1()->setSelectionMode(QAbstractItemView::MultiSelection);
    table1()->selectRow(1);
    table1()->selectRow(3);
    child<QPushButton>("pushButton_list1_Remove")->click();
    QCOMPARE(window->list1(), (QStringList {files[0], files[2], files[4]}));
    QCOMPARE(state(), QStringLiteral("文件删除完毕!"));
    QCOMPARE(fileCount(), QStringLiteral(" 文件(3)"));
    checkList1Invariant();

    child<QPushButton>("pushButton_list1_Remove")->click();
    QCOMPARE(window->list1().size(), 3);
}

void ListsTest::clearingEmptyListStillReports()
{
    auto *success = window->statusBar()->findChildren<QLabel *>().at(1);
    success->setText(QStringLiteral(" 成功(9)"));
    child<QPushButton>("pushButton_list1_Clear")->click();
    QCOMPARE(state(), QStringLiteral("列表被清空!"));
    QCOMPARE(success->text(), QStringLiteral(" 成功(0)"));
}

void ListsTest::clearAllOnFirstTabEmptiesEditors()
{
    addFiles(QStringLiteral("pushButton_list1_Add"), {makeFile(QStringLiteral("a.txt"))});
    child<QPlainTextEdit>("plainTextEdit_s1")->setPlainText(QStringLiteral("k"));
    child<QPlainTextEdit>("plainTextEdit_s2")->setPlainText(QStringLiteral("v"));
    child<QPushButton>("pushButton_ClearAll")->click();
    QVERIFY(window->list1().isEmpty());
    QVERIFY(child<QPlainTextEdit>("plainTextEdit_s1")->toPlainText().isEmpty());
    QVERIFY(child<QPlainTextEdit>("plainTextEdit_s2")->toPlainText().isEmpty());
    QCOMPARE(state(), QStringLiteral("列表被清空!"));
    checkList1Invariant();
}

void ListsTest::tooltipShowsFullPath()
{
    const QString a = makeFile(QStringLiteral("sub/a.txt"));
    addFiles(QStringLiteral("pushButton_list1_Add"), {a});
    emit table1()->cellEntered(0, 0);
    QTRY_COMPARE(QToolTip::text(), a);
    QToolTip::hideText();
}

void ListsTest::doubleClickOpensContainingFolder()
{
    const QString a = makeFile(QStringLiteral("sub dir/a.txt"));
    addFiles(QStringLiteral("pushButton_list1_Add"), {a});
    emit table1()->mouseLeftDoubled();
    QVERIFY(catcher.urls.isEmpty()); // no current row yet
    table1()->setCurrentCell(0, 0);
    emit table1()->mouseLeftDoubled();
    QCOMPARE(catcher.urls.size(), 1);
    QCOMPARE(catcher.urls.first().toLocalFile(), dir.filePath(QStringLiteral("sub dir")) + '/');
}

void ListsTest::menuAddFollowsTab()
{
    const QString a = makeFile(QStringLiteral("a.txt"));
    child<QTabWidget>("tabWidget_1")->setCurrentIndex(1);
    whenModal([a](QWidget *modal) {
        modal->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(a);
        static_cast<QDialog *>(modal)->accept();
    });
    child<QAction>("action_Add")->trigger();
    QCOMPARE(window->list2(), QStringList {a});
    QVERIFY(window->list1().isEmpty());
    QCOMPARE(table2()->columnCount(), 2);
    QCOMPARE(fileCount(), QStringLiteral(" 文件(1)"));
}

void ListsTest::menuClearFollowsTab()
{
    const QString a = makeFile(QStringLiteral("a.txt"));
    addFiles(QStringLiteral("pushButton_list1_Add"), {a});
    child<QTabWidget>("tabWidget_1")->setCurrentIndex(1);
    addFiles(QStringLiteral("pushButton_list2_Add"), {a});
    child<QAction>("action_Clear")->trigger();
    QVERIFY(window->list2().isEmpty());
    QCOMPARE(window->list1(), QStringList {a});
}

void ListsTest::typingIntoLastRowGrowsTable()
{
    addFiles(QStringLiteral("pushButton_list2_Add"), {makeFile(QStringLiteral("a.txt"))});
    table2()->item(0, 0)->setText(QStringLiteral("key"));
    QCOMPARE(table2()->rowCount(), 2);
    for (int column = 0; column < table2()->columnCount(); ++column) {
        QVERIFY(table2()->item(1, column));
        QVERIFY(table2()->item(1, column)->text().isEmpty());
    }
    // A replacement typed in a row that is not the last adds nothing.
    table2()->setItem(0, 1, new QTableWidgetItem(QStringLiteral("v")));
    QCOMPARE(table2()->rowCount(), 2);
}

void ListsTest::typingUnderEmptyKeywordIsRefused()
{
    table2()->setRowCount(3);
    QString warning;
    whenModal([&warning](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY(box);
        warning = box->windowTitle() + QLatin1Char('|') + box->text();
        box->accept();
    });
    table2()->setItem(1, 0, new QTableWidgetItem(QStringLiteral("late")));
    QCOMPARE(warning, QStringLiteral("警告|上一条[被替换关键字]为空,请补充!"));
    QVERIFY(table2()->item(1, 0)->text().isEmpty());
    QCOMPARE(table2()->rowCount(), 3);

    // Row 0 has no row above it and is never refused.
    table2()->item(0, 0)->setText(QStringLiteral("first"));
    QCOMPARE(table2()->item(0, 0)->text(), QStringLiteral("first"));
}

void ListsTest::emptyingCellDoesNotGrow()
{
    table2()->item(0, 0)->setText(QStringLiteral("k"));
    QCOMPARE(table2()->rowCount(), 2);
    table2()->item(1, 0)->setText(QString());
    table2()->item(0, 0)->setText(QString());
    QCOMPARE(table2()->rowCount(), 2);
}

void ListsTest::removeRowsKeepsInputRow()
{
    table2()->item(0, 0)->setText(QStringLiteral("a"));
    table2()->item(1, 0)->setText(QStringLiteral("b"));
    QCOMPARE(table2()->rowCount(), 3);
    table2()->selectAll();
    child<QPushButton>("pushButton_list2_RemoveRow")->click();
    QCOMPARE(table2()->rowCount(), 1);
    QCOMPARE(state(), QStringLiteral("文件删除完毕!"));
}

void ListsTest::removeMiddleColumnKeepsOthersCells()
{
    child<QTabWidget>("tabWidget_1")->setCurrentIndex(1);
    const QStringList files = {makeFile(QStringLiteral("a.txt")), makeFile(QStringLiteral("b.txt")),
        makeFile(QStringLiteral("c.txt"))};
    addFiles(QStringLiteral("pushButton_list2_Add"), files);
    table2()->item(0, 0)->setText(QStringLiteral("k"));
    for (int column = 1; column <= 3; ++column)
        table2()->setItem(0, column, new QTableWidgetItem(QStringLiteral("v%1").arg(column)));

    table2()->setCurrentCell(0, 2);
    child<QPushButton>("pushButton_list2_RemoveColumn")->click();
    QCOMPARE(window->list2(), (QStringList {files[0], files[2]}));
    QCOMPARE(table2()->item(0, 1)->text(), QStringLiteral("v1"));
    QCOMPARE(table2()->item(0, 2)->text(), QStringLiteral("v3"));
    QCOMPARE(fileCount(), QStringLiteral(" 文件(2)"));
    checkList2Invariant();
}

void ListsTest::keywordColumnSelectionRemovesNothing()
{
    addFiles(QStringLiteral("pushButton_list2_Add"), {makeFile(QStringLiteral("a.txt"))});
    table2()->setCurrentCell(0, 0);
    child<QPushButton>("pushButton_list2_RemoveColumn")->click();
    QCOMPARE(window->list2().size(), 1);
    QCOMPARE(state(), QStringLiteral("文件删除完毕!"));
    checkList2Invariant();
}

void ListsTest::tooltipByColumn()
{
    const QString a = makeFile(QStringLiteral("d/a.txt"));
    addFiles(QStringLiteral("pushButton_list2_Add"), {a});
    QToolTip::hideText();
    emit table2()->cellEntered(0, 0);
    QVERIFY(QToolTip::text().isEmpty());
    emit table2()->cellEntered(0, 1);
    QTRY_COMPARE(QToolTip::text(), a);
    QToolTip::hideText();
}

void ListsTest::clearResetsTable()
{
    addFiles(QStringLiteral("pushButton_list2_Add"), {makeFile(QStringLiteral("a.txt"))});
    table2()->item(0, 0)->setText(QStringLiteral("k"));
    child<QPushButton>("pushButton_list2_Clear")->click();
    QCOMPARE(table2()->rowCount(), 1);
    QCOMPARE(table2()->columnCount(), 1);
    QCOMPARE(table2()->horizontalHeaderItem(0)->text(), QStringLiteral("关键字"));
    QVERIFY(table2()->item(0, 0)->text().isEmpty());
    QVERIFY(window->list2().isEmpty());
    QCOMPARE(state(), QStringLiteral("列表被清空!"));
}

void ListsTest::clearingRefreshesTheFileCount_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("button");
    QTest::newRow("mode one's clear button") << 0 << "pushButton_list1_Clear";
    QTest::newRow("mode two's clear button") << 1 << "pushButton_list2_Clear";
    QTest::newRow("clear all on tab one") << 0 << "pushButton_ClearAll";
}

void ListsTest::clearingRefreshesTheFileCount()
{
    QFETCH(int, tab);
    QFETCH(QString, button);
    setFiles(tab, {makeFile(QStringLiteral("a.txt")), makeFile(QStringLiteral("b.txt"))});
    QCOMPARE(fileCount(), QStringLiteral(" 文件(2)"));
    window->findChild<QPushButton *>(button)->click();
    QCOMPARE(fileCount(), QStringLiteral(" 文件(0)"));
}

void ListsTest::pasteFillsCellsFromTheCurrentOne_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QVector<QStringList>>("expected");

    QTest::newRow("keywords and replacements from the first cell, rows added")
        << 0 << 0 << "北京\t北京市\t京\n上海\t上海市\t沪\n"
        << QVector<QStringList> {{"北京", "北京市", "京"}, {"上海", "上海市", "沪"}, {"", "", ""}};
    QTest::newRow("columns beyond the files are dropped")
        << 0 << 1 << "1\t2\t3\t4" << QVector<QStringList> {{"", "1", "2"}, {"", "", ""}};
    QTest::newRow("a quoted cell keeps its tab and quotes")
        << 0 << 0 << "\"a\tb\"\t\"say \"\"hi\"\"\"\r\n"
        << QVector<QStringList> {{"a\tb", "say \"hi\"", ""}, {"", "", ""}};
}

void ListsTest::pasteFillsCellsFromTheCurrentOne()
{
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(QString, clipboard);
    QFETCH(QVector<QStringList>, expected);

    setFiles(1, {makeFile(QStringLiteral("a.txt")), makeFile(QStringLiteral("b.txt"))});
    QApplication::clipboard()->setText(clipboard);
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    table2()->setFocus();
    table2()->setCurrentCell(row, column);
    QTest::keyClick(table2(), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(table2()->rowCount(), expected.size());
    for (int r = 0; r < expected.size(); ++r) {
        for (int c = 0; c < table2()->columnCount(); ++c) {
            QVERIFY(table2()->item(r, c));
            QCOMPARE(table2()->item(r, c)->text(), expected.at(r).value(c));
        }
    }
    checkList2Invariant();
}

void ListsTest::startupPathsFillTheFirstList()
{
    const QString file = makeFile(QStringLiteral("open/with.txt"));
    const QString folder = QFileInfo(makeFile(QStringLiteral("open/folder/inner.txt"))).path();
    makeFile(QStringLiteral("open/folder/picture.png"), "\x89PNG\r\n\x1a\n");
    child<QTabWidget>("tabWidget_1")->setCurrentIndex(1);
    window->openPaths({file, folder, dir.filePath(QStringLiteral("nowhere.txt")), file});
    QCOMPARE(child<QTabWidget>("tabWidget_1")->currentIndex(), 0);
    QCOMPARE(window->list1(), (QStringList {file, folder + QStringLiteral("/inner.txt")}));
    QCOMPARE(fileCount(), QStringLiteral(" 文件(2)"));
    checkList1Invariant();
}

// Typed masks apply to a dropped folder, the status line counts what they left out,
// and the next start has them again.
void ListsTest::masksChooseWhatAFolderGives()
{
    const QString srt = makeFile(QStringLiteral("subs/a.srt"));
    makeFile(QStringLiteral("subs/b.txt"));
    makeFile(QStringLiteral("subs/node_modules/c.srt"));
    const QString named = makeFile(QStringLiteral("named.txt"));
    QTest::keyClicks(child<QLineEdit>("lineEdit_include"), QStringLiteral("*.srt;*.ass"));
    QTest::keyClicks(child<QLineEdit>("lineEdit_exclude"), QStringLiteral("node_modules"));
    setFiles(0, {dir.filePath(QStringLiteral("subs")), named});
    QCOMPARE(window->list1(), (QStringList {srt, named}));
    QVERIFY2(state().contains(QStringLiteral("略过了 1 个文件")), qPrintable(state()));

    closeWindow();
    openWindow();
    QCOMPARE(child<QLineEdit>("lineEdit_include")->text(), QStringLiteral("*.srt;*.ass"));
    QCOMPARE(child<QLineEdit>("lineEdit_exclude")->text(), QStringLiteral("node_modules"));
}

QTEST_MAIN(ListsTest)
void ListsTest::aLongFolderFillsTheWholeList_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("button");
    QTest::newRow("mode one") << 0 << "pushButton_list1_Adds";
    QTest::newRow("mode two") << 1 << "pushButton_list2_Adds";
}

// More files than the list fills at once: every one of them shows its file, a column of
// mode two is wide enough for any name, and the bar that moved meanwhile is gone.
void ListsTest::aLongFolderFillsTheWholeList()
{
    QFETCH(int, tab);
    QFETCH(QString, button);
    makeFiles(QStringLiteral("long/f%1.txt"), 5000, "text\n");
    makeFile(QStringLiteral("long/a rather longer name than the others.txt"));
    child<QTabWidget>("tabWidget_1")->setCurrentIndex(tab);
    whenModal([this](QWidget *modal) {
        modal->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))
            ->setText(dir.filePath(QStringLiteral("long")));
        static_cast<QDialog *>(modal)->accept();
    });
    auto *add = child<QPushButton>(button.toLatin1().constData());
    QTest::mouseClick(add, Qt::LeftButton, {}, add->rect().center());
    QCOMPARE((tab == 0 ? window->list1() : window->list2()).size(), 5001);
    if (tab == 0) {
        checkList1Invariant();
        QCOMPARE(table1()->item(5000, 0)->text(), QStringLiteral("f999.txt"));
    } else {
        checkList2Invariant();
        const QFontMetrics metrics(table2()->horizontalHeader()->font());
        const int longest = metrics.horizontalAdvance(table2()->horizontalHeaderItem(1)->text());
        for (const int column : {1, 2, 5001})
            QVERIFY(table2()->columnWidth(column) > longest);
    }
    QCOMPARE(state(), QStringLiteral("添加目录文件完毕!"));
    QCOMPARE(fileCount(), QStringLiteral(" 文件(5001)"));
    QVERIFY(!window->findChild<QProgressBar *>()->isVisible());
    QVERIFY(add->isEnabled());
}

void ListsTest::stopWhileAddingKeepsTheList_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("button");
    QTest::newRow("mode one") << 0 << "pushButton_list1_Adds";
    QTest::newRow("mode two") << 1 << "pushButton_list2_Adds";
}

// The stop button answers while a folder is scanned; the list stays as it was.
void ListsTest::stopWhileAddingKeepsTheList()
{
    QFETCH(int, tab);
    QFETCH(QString, button);
    const QString kept = makeFile(QStringLiteral("kept.txt"));
    setFiles(tab, {kept});
    makeFiles(QStringLiteral("tostop/f%1.txt"), 20, "text\n");

    auto *stop = child<QPushButton>("pushButton_stop");
    ClickWhenEnabled stopper(stop);
    whenModal([this](QWidget *modal) {
        modal->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))
            ->setText(dir.filePath(QStringLiteral("tostop")));
        static_cast<QDialog *>(modal)->accept();
    });
    auto *add = window->findChild<QPushButton *>(button);
    QTest::mouseClick(add, Qt::LeftButton, {}, add->rect().center());

    QCOMPARE(state(), QStringLiteral("添加目录文件被取消!"));
    QCOMPARE(tab == 0 ? window->list1() : window->list2(), QStringList {kept});
    checkList1Invariant();
    checkList2Invariant();
    QVERIFY(!stop->isEnabled());
    QVERIFY(add->isEnabled());
}

#include "tst_lists.moc"

#include "workbook/listworkbook.h"
#include "workbook/workbook.h"

#include "windowfixture.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class WorkbookUiTest : public WindowFixture
{
    Q_OBJECT

private slots:
    void modeOneRoundTrip();
    void modeTwoRoundTrip();
    void menuSaveFollowsTab();
    void cancelledExportTouchesNothing();
    void cancelledImportReports35();
    void badWorkbookLeavesWindowAsItWas_data();
    void badWorkbookLeavesWindowAsItWas();
    void importDoesNotWriteTheWorkbook();
    void importReplacesPreviousInput();
    void failedExportKeepsOldFile();
    void importedListHasOneRowPerPath();
    void emptyFirstReplacementKeepsPairs();

private:
    void addByDrop(const QStringList &paths) { dropPaths(window.get(), paths); }
    void answerFileDialog(const QString &path);
    QTableWidget *table2() const { return child<QTableWidget>("tableWidget_list2"); }
};

void WorkbookUiTest::answerFileDialog(const QString &path)
{
    whenModal([path](QWidget *modal) {
        auto *name = modal->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        name->setText(path);
        static_cast<QDialog *>(modal)->accept();
    });
}

void WorkbookUiTest::modeOneRoundTrip()
{
    const QStringList files
        = {makeFile(QStringLiteral("中文 目录/a b.txt")), makeFile(QStringLiteral("b.txt"))};
    addByDrop(files);
    child<QPlainTextEdit>("plainTextEdit_s1")->setPlainText(QStringLiteral("甲|乙\n x \nlast"));
    child<QPlainTextEdit>("plainTextEdit_s2")->setPlainText(QStringLiteral("丙\n\n_x0041_"));
    // The options go along with the list.
    child<QComboBox>("comboBox_coder")->setCurrentIndex(3);
    child<QCheckBox>("checkBox_keepFormat")->click();
    child<QCheckBox>("checkBox_full")->click();
    child<QLineEdit>("lineEdit_Separator")->setText(QStringLiteral(";"));

    const QString workbook = dir.filePath(QStringLiteral("job.xlsx"));
    answerFileDialog(workbook);
    child<QPushButton>("pushButton_list1_Save")->click();
    QCOMPARE(state(), QStringLiteral("列表导出完毕!"));
    QVERIFY(QFileInfo(workbook).isFile());

    child<QPushButton>("pushButton_ClearAll")->click();
    QVERIFY(window->list1().isEmpty());
    child<QComboBox>("comboBox_coder")->setCurrentIndex(0);
    child<QCheckBox>("checkBox_keepFormat")->click();
    child<QCheckBox>("checkBox_full")->click();
    child<QLineEdit>("lineEdit_Separator")->setText(QStringLiteral("|"));

    answerFileDialog(workbook);
    child<QPushButton>("pushButton_list1_Import")->click();
    QCOMPARE(state(), QStringLiteral("列表导入完毕!"));
    QCOMPARE(window->list1(), files);
    QCOMPARE(child<QTableWidget>("tableWidget_list1")->rowCount(), 2);
    QCOMPARE(child<QPlainTextEdit>("plainTextEdit_s1")->toPlainText(),
        QStringLiteral("甲|乙\n x \nlast"));
    QCOMPARE(
        child<QPlainTextEdit>("plainTextEdit_s2")->toPlainText(), QStringLiteral("丙\n\n_x0041_"));
    QCOMPARE(
        window->statusBar()->findChildren<QLabel *>().first()->text(), QStringLiteral(" 文件(2)"));
    QCOMPARE(child<QComboBox>("comboBox_coder")->currentText(), QStringLiteral("Big5"));
    QCOMPARE(window->fileEncoding().name(), QStringLiteral("Big5"));
    QVERIFY(child<QCheckBox>("checkBox_keepFormat")->isChecked());
    QVERIFY(child<QCheckBox>("checkBox_full")->isChecked());
    QCOMPARE(child<QLineEdit>("lineEdit_Separator")->text(), QStringLiteral(";"));
}

void WorkbookUiTest::modeTwoRoundTrip()
{
    child<QTabWidget>("tabWidget_1")->setCurrentIndex(1);
    QStringList files;
    for (int i = 0; i < 12; ++i)
        files.append(makeFile(QStringLiteral("f%1.txt").arg(i)));
    addByDrop(files);
    table2()->item(0, 0)->setText(QStringLiteral("key|other"));
    for (int c = 1; c <= files.size(); c += 2)
        table2()->setItem(0, c, new QTableWidgetItem(QStringLiteral("值%1").arg(c)));
    table2()->item(1, 0)->setText(QStringLiteral("second"));
    table2()->item(1, 12)->setText(QStringLiteral("last"));

    const QString workbook = dir.filePath(QStringLiteral("易换方式二替换列表.xlsx"));
    answerFileDialog(workbook);
    child<QAction>("action_Save")->trigger();
    QCOMPARE(state(), QStringLiteral("列表导出完毕!"));

    QStringList before;
    for (int r = 0; r < table2()->rowCount() - 1; ++r)
        for (int c = 0; c < table2()->columnCount(); ++c)
            before.append(table2()->item(r, c) ? table2()->item(r, c)->text() : QString());

    child<QPushButton>("pushButton_list2_Clear")->click();
    answerFileDialog(workbook);
    child<QAction>("action_Import")->trigger();
    QCOMPARE(window->list2(), files);
    QCOMPARE(table2()->rowCount(), 3);
    QStringList after;
    for (int r = 0; r < table2()->rowCount() - 1; ++r)
        for (int c = 0; c < table2()->columnCount(); ++c)
            after.append(table2()->item(r, c) ? table2()->item(r, c)->text() : QString());
    QCOMPARE(after, before);
    QCOMPARE(table2()->horizontalHeaderItem(1)->text(), QStringLiteral("f0.txt"));
}

void WorkbookUiTest::menuSaveFollowsTab()
{
    child<QTabWidget>("tabWidget_1")->setCurrentIndex(1);
    QString proposed;
    whenModal([&proposed](QWidget *modal) {
        proposed = modal->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->text();
        static_cast<QDialog *>(modal)->reject();
    });
    child<QAction>("action_Save")->trigger();
    QCOMPARE(proposed, QStringLiteral("易换方式二替换列表.xlsx"));
    QCOMPARE(state(), QStringLiteral("列表导出被取消!"));
}

void WorkbookUiTest::cancelledExportTouchesNothing()
{
    const QString old = makeFile(QStringLiteral("易换方式一文件列表.xlsx"), "old");
    QDir::setCurrent(dir.path());
    whenModal([](QWidget *modal) { static_cast<QDialog *>(modal)->reject(); });
    child<QPushButton>("pushButton_list1_Save")->click();
    QCOMPARE(state(), QStringLiteral("列表导出被取消!"));
    QFile file(old);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("old"));
}

void WorkbookUiTest::cancelledImportReports35()
{
    addByDrop({makeFile(QStringLiteral("a.txt"))});
    whenModal([](QWidget *modal) { static_cast<QDialog *>(modal)->reject(); });
    child<QPushButton>("pushButton_list1_Import")->click();
    QCOMPARE(state(), QStringLiteral("35 咦?这是神马操作?"));
    QCOMPARE(window->list1().size(), 1);
}

void WorkbookUiTest::badWorkbookLeavesWindowAsItWas_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("warning");
    QTest::newRow("not a zip at all") << QByteArray("hello") << 1 << "不是可以读取的 .xlsx 工作簿";
    QTest::newRow("an empty file") << QByteArray() << 2 << "不是可以读取的 .xlsx 工作簿";
    QTest::newRow("a mode-two workbook offered to mode one")
        << QByteArray("mode2") << 1 << "这是方式二的替换列表";
    QTest::newRow("a mode-one workbook offered to mode two")
        << QByteArray("mode1") << 2 << "这是方式一的文件列表";
    QTest::newRow("a workbook of neither mode names the missing sheet")
        << QByteArray("foreign") << 2 << "缺少工作表“易换方式二_替换文件列表”";
    QTest::newRow("a mode-two grid larger than a list may be")
        << QByteArray("widegrid") << 2 << "列表太大";
}

void WorkbookUiTest::badWorkbookLeavesWindowAsItWas()
{
    QFETCH(QByteArray, content);
    QFETCH(int, mode);
    QFETCH(QString, warning);
    const QString path = dir.filePath(QStringLiteral("bad.xlsx"));
    QFile::remove(path);
    if (content == "mode1") {
        QVERIFY(writeModeOneWorkbook(path, ModeOneList {{QStringLiteral("/x")}, {}, {}}));
    } else if (content == "mode2") {
        QVERIFY(writeModeTwoWorkbook(path, ModeTwoList {{QStringLiteral("/x")}, {}}));
    } else if (content == "widegrid") {
        // 1,000 columns by 501 rows, though only the headers are stored.
        Workbook book;
        QVERIFY(book.addSheet(modeTwoSheet));
        for (int column = 1; column <= 1000; ++column)
            QVERIFY(book.setCell(1, column, QStringLiteral("/f%1").arg(column)));
        for (int row = 2; row <= 501; ++row)
            QVERIFY(book.setCell(row, 1, QStringLiteral("k")));
        QVERIFY(book.save(path));
    } else if (content == "foreign") {
        Workbook book;
        QVERIFY(book.addSheet(QStringLiteral("Sheet1")));
        QVERIFY(book.setCell(1, 1, QStringLiteral("x")));
        QVERIFY(book.save(path));
    } else {
        makeFile(QStringLiteral("bad.xlsx"), content);
    }

    child<QTabWidget>("tabWidget_1")->setCurrentIndex(mode - 1);
    const QString a = makeFile(QStringLiteral("a.txt"));
    addByDrop({a});
    child<QPlainTextEdit>("plainTextEdit_s1")->setPlainText(QStringLiteral("keep"));

    QString shown;
    whenModal([path, &shown](QWidget *modal) {
        modal->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
        static_cast<QDialog *>(modal)->accept();
        // Then the box that says what was wrong.
        whenModal([&shown](QWidget *box) {
            shown = qobject_cast<QMessageBox *>(box)->text();
            static_cast<QDialog *>(box)->accept();
        });
    });
    child<QAction>("action_Import")->trigger();
    QCOMPARE(state(), QStringLiteral("36 咦?这是神马操作?"));
    QVERIFY2(shown.contains(warning), qPrintable(shown));
    QCOMPARE(mode == 1 ? window->list1() : window->list2(), QStringList {a});
    QCOMPARE(child<QPlainTextEdit>("plainTextEdit_s1")->toPlainText(), QStringLiteral("keep"));
}

void WorkbookUiTest::importDoesNotWriteTheWorkbook()
{
    const QString workbook = dir.filePath(QStringLiteral("keep.xlsx"));
    QVERIFY(writeModeOneWorkbook(workbook,
        ModeOneList {{QStringLiteral("/a.txt")}, {QStringLiteral("k")}, {QStringLiteral("v")}}));
    QFile file(workbook);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();
    const QDateTime modified = QFileInfo(workbook).lastModified();

    QVERIFY(window->importList1Workbook(workbook));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before);
    QCOMPARE(QFileInfo(workbook).lastModified(), modified);
}

void WorkbookUiTest::importReplacesPreviousInput()
{
    addByDrop({makeFile(QStringLiteral("old1.txt")), makeFile(QStringLiteral("old2.txt"))});
    child<QPlainTextEdit>("plainTextEdit_s1")->setPlainText(QStringLiteral("old"));
    child<QCheckBox>("checkBox_extendedReplace")->setChecked(true);
    const QString workbook = dir.filePath(QStringLiteral("empty.xlsx"));
    QVERIFY(writeModeOneWorkbook(workbook, ModeOneList {}));
    QVERIFY(window->importList1Workbook(workbook));
    // A list that does not say was written when every backslash was literal.
    QVERIFY(!child<QCheckBox>("checkBox_extendedReplace")->isChecked());
    QVERIFY(window->list1().isEmpty());
    QCOMPARE(child<QTableWidget>("tableWidget_list1")->rowCount(), 0);
    QVERIFY(child<QPlainTextEdit>("plainTextEdit_s1")->toPlainText().isEmpty());
}

void WorkbookUiTest::failedExportKeepsOldFile()
{
    const QString target = makeFile(QStringLiteral("failed/out.xlsx"), "previous workbook");
    child<QPlainTextEdit>("plainTextEdit_s1")->setPlainText(QString(40000, QLatin1Char('k')));
    whenModal([target](QWidget *modal) {
        modal->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(target);
        // The dialog asks before replacing an existing file.
        whenModal([](QWidget *confirm) {
            auto *box = qobject_cast<QMessageBox *>(confirm);
            QVERIFY(box);
            box->button(QMessageBox::Yes)->click();
        });
        static_cast<QDialog *>(modal)->accept();
    });
    child<QPushButton>("pushButton_list1_Save")->click();
    QCOMPARE(state(), QStringLiteral("列表导出失败!"));
    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("previous workbook"));
    QCOMPARE(QDir(QFileInfo(target).path())
                 .entryList({QStringLiteral("*.xlsx*")}, QDir::Files | QDir::Hidden),
        QStringList {QStringLiteral("out.xlsx")});
}

void WorkbookUiTest::importedListHasOneRowPerPath()
{
    ModeOneList list;
    list.paths = QStringList {QStringLiteral("C:\\dir\\a.txt"),
        QStringLiteral("C:\\\\dir\\\\b.txt"), QString(), QStringLiteral("/after/gap.txt")};
    const QString workbook = dir.filePath(QStringLiteral("gap.xlsx"));
    QVERIFY(writeModeOneWorkbook(workbook, list));
    QVERIFY(window->importList1Workbook(workbook));
    QCOMPARE(window->list1(),
        (QStringList {QStringLiteral("C:/dir/a.txt"), QStringLiteral("C:/dir/b.txt")}));
    QCOMPARE(child<QTableWidget>("tableWidget_list1")->rowCount(), 2);
}

void WorkbookUiTest::emptyFirstReplacementKeepsPairs()
{
    ModeOneList list;
    list.keywordLines = QStringList {QStringLiteral("delete me"), QStringLiteral("a")};
    list.replacementLines = QStringList {QString(), QStringLiteral("b")};
    const QString workbook = dir.filePath(QStringLiteral("pairs.xlsx"));
    QVERIFY(writeModeOneWorkbook(workbook, list));
    QVERIFY(window->importList1Workbook(workbook));
    QCOMPARE(
        child<QPlainTextEdit>("plainTextEdit_s1")->toPlainText(), QStringLiteral("delete me\na"));
    QCOMPARE(child<QPlainTextEdit>("plainTextEdit_s2")->toPlainText(), QStringLiteral("\nb"));
}

QTEST_MAIN(WorkbookUiTest)
#include "tst_workbookui.moc"

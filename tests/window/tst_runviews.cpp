#include "../engine/safewritetestutil.h"
#include "app/settings.h"
#include "engine/durable/journal.h"
#include "windowfixture.h"

#include <QAbstractButton>
#include <QAction>
#include <QClipboard>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QTextBlock>
#include <QTextCodec>
#include <QTextCursor>
#include <QToolTip>
#include <QTreeWidget>

#include <cmath>

#include <unistd.h>

namespace {

double luminance(const QColor &colour)
{
    const auto channel = [](double c) {
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF())
        + 0.0722 * channel(colour.blueF());
}

double contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QDialog *openDialog(const char *name)
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String(name) && widget->isVisible())
            return qobject_cast<QDialog *>(widget);
    }
    return nullptr;
}

} // namespace

class RunViewsTest : public WindowFixture
{
    Q_OBJECT

private slots:
    void failedRowsTellWhy();
    void nextRunClearsTheMarksOfTheLast();
    void resultsViewListsWhatWasLeftAlone();
    void cleanRunShowsNoResults();
    void previewCountsWhatTheRunDoesAndWritesNothing();
    void previewLineNumbersKeepTheTextAligned();
    void previewRunsOnlyTheCheckedFiles();
    void previewWritesOnlyTheCheckedChanges();
    void stopSkipsTheFilesNotYetWritten();
    void closingDuringARunAsksAndWaitsForTheWrites();
    void closingWhileTheJournalEndsWaitsForIt();
    void undoPutsTheLastRunBack();
    void journalOverTheCapAsksFirst();
    void historyUndoesAnOlderRunByItsButton();
    void killedRunIsOfferedForUndo_data();
    void killedRunIsOfferedForUndo();
    void runWithoutAJournalAsksFirst_data();
    void runWithoutAJournalAsksFirst();

private:
    QStringList makeProblemFiles();
    // Lists the problem files, takes the last away, and runs cat → dog over them.
    QStringList runOverProblemFiles();
    // Answers a question box, then the box that follows it; m_answers gets what both said.
    void answerTwice(QMessageBox::StandardButton first);
    void runToEnd(const QStringList &files, const QString &keys, const QString &replacements);

    std::shared_ptr<QStringList> m_answers;
};

// A good file, then one of each kind a run leaves alone.
QStringList RunViewsTest::makeProblemFiles()
{
    const QString good = makeFile(QStringLiteral("good.txt"), "cat\n");
    const QString readOnly = makeFile(QStringLiteral("readonly.txt"), "cat\n");
    QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ReadGroup);
    const QString binary = makeFile(QStringLiteral("binary.txt"), QByteArray("cat\0\1", 5));
    const QString gbk = makeFile(QStringLiteral("gbk.txt"),
        QTextCodec::codecForName("GBK")->fromUnicode(QStringLiteral("中文 cat")));
    const QString missing = makeFile(QStringLiteral("missing.txt"), "cat\n");
    return {good, readOnly, binary, gbk, missing};
}

void RunViewsTest::runToEnd(
    const QStringList &files, const QString &keys, const QString &replacements)
{
    setFiles(0, files);
    setKeywords(keys, replacements);
    clickReplace();
    waitForRunEnd();
}

QStringList RunViewsTest::runOverProblemFiles()
{
    const QStringList files = makeProblemFiles();
    setFiles(0, files);
    QFile::remove(files.last());
    setKeywords(QStringLiteral("cat"), QStringLiteral("dog"));
    clickReplace();
    waitForRunEnd();
    return files;
}

void RunViewsTest::failedRowsTellWhy()
{
    const QStringList files = runOverProblemFiles();

    const QStringList reasons = {QString(), reasonText(Reason::ReadOnly),
        reasonText(Reason::Binary), reasonText(Reason::InvalidEncoding, QStringLiteral("UTF-8")),
        reasonText(Reason::NotFound)};
    auto *table = child<QTableWidget>("tableWidget_list1");
    for (int row = 0; row < files.size(); ++row) {
        QMetaObject::invokeMethod(
            window.get(), "on_tableWidget_list1_cellEntered", Q_ARG(int, row), Q_ARG(int, 0));
        const QString tip = QToolTip::text();
        QVERIFY2(tip.startsWith(files.at(row)), qPrintable(tip));
        if (reasons.at(row).isEmpty()) {
            QCOMPARE(tip, files.at(row));
            continue;
        }
        QVERIFY2(tip.endsWith(reasons.at(row)), qPrintable(tip));
        // Readable on the colour that marks the row.
        const QTableWidgetItem *item = table->item(row, 0);
        QVERIFY(contrast(item->foreground().color(), item->background().color()) >= 4.5);
    }
    QCOMPARE(contentOf(files.at(1)), QByteArray("cat\n"));
}

// A row marked by a run does not go on telling of a failure the next run did not have.
void RunViewsTest::nextRunClearsTheMarksOfTheLast()
{
    const QString file = makeFile(QStringLiteral("marked.txt"), "cat\n");
    QFile::setPermissions(file, QFile::ReadOwner | QFile::ReadGroup);
    runToEnd({file}, QStringLiteral("cat"), QStringLiteral("dog"));
    auto *table = child<QTableWidget>("tableWidget_list1");
    QCOMPARE(table->item(0, 0)->background().color(), QColor(Qt::red));

    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
    clickReplace();
    waitForRunEnd();
    QVERIFY(contentOf(file).startsWith("dog"));
    QCOMPARE(table->item(0, 0)->background().style(), Qt::NoBrush);
    QMetaObject::invokeMethod(
        window.get(), "on_tableWidget_list1_cellEntered", Q_ARG(int, 0), Q_ARG(int, 0));
    QCOMPARE(QToolTip::text(), file);
}

void RunViewsTest::resultsViewListsWhatWasLeftAlone()
{
    const QStringList files = runOverProblemFiles();

    QDialog *view = openDialog("resultsView");
    QVERIFY(view);
    auto *table = view->findChild<QTableView *>(QStringLiteral("resultsTable"));
    const auto column = [table](int c) {
        QStringList texts;
        for (int row = 0; row < table->model()->rowCount(); ++row)
            texts.append(table->model()->index(row, c).data().toString());
        return texts;
    };
    // Every file, those left alone first, each group by path.
    QCOMPARE(
        column(0), (QStringList {files.at(2), files.at(3), files.at(4), files.at(1), files.at(0)}));
    QCOMPARE(column(1),
        (QStringList {QStringLiteral("失败"), QStringLiteral("失败"), QStringLiteral("丢失"),
            QStringLiteral("失败"), QStringLiteral("成功")}));
    QCOMPARE(column(2).last(), QStringLiteral("1"));
    QCOMPARE(column(3).last(), QStringLiteral("UTF-8"));
    QCOMPARE(column(4).at(3), reasonText(Reason::ReadOnly));

    view->findChild<QAbstractButton *>(QStringLiteral("copyButton"))->click();
    const QStringList lines = QApplication::clipboard()->text().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 5);
    QVERIFY(lines.at(3).startsWith(files.at(1) + QStringLiteral("\t失败\t0\t")));
    QVERIFY(lines.at(3).endsWith(QLatin1Char('\t') + reasonText(Reason::ReadOnly)));

    // A click on a header sorts by that column.
    QHeaderView *header = table->horizontalHeader();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
        QPoint(header->sectionViewportPosition(0) + 5, header->height() / 2));
    QCOMPARE(column(0).first(), files.at(2));
    QCOMPARE(column(0).last(), files.at(1));

    table->setCurrentIndex(table->model()->index(0, 0));
    view->findChild<QAbstractButton *>(QStringLiteral("openFolderButton"))->click();
    QCOMPARE(catcher.urls.size(), 1);
    QCOMPARE(catcher.urls.first(), QUrl::fromLocalFile(dir.path() + QLatin1Char('/')));

    // The menu brings it back after it was closed.
    view->close();
    child<QAction>("action_Results")->trigger();
    QVERIFY(openDialog("resultsView"));
}

void RunViewsTest::cleanRunShowsNoResults()
{
    runToEnd({makeFile(QStringLiteral("clean.txt"), "cat")}, QStringLiteral("cat"),
        QStringLiteral("dog"));
    QVERIFY(!openDialog("resultsView"));
    // Asked for, it lists the run's files all the same, with their counts.
    child<QAction>("action_Results")->trigger();
    QDialog *view = openDialog("resultsView");
    QVERIFY(view);
    auto *table = view->findChild<QTableView *>(QStringLiteral("resultsTable"));
    QCOMPARE(table->model()->rowCount(), 1);
    QCOMPARE(table->model()->index(0, 2).data().toString(), QStringLiteral("1"));
}

void RunViewsTest::previewCountsWhatTheRunDoesAndWritesNothing()
{
    const QString a = makeFile(QStringLiteral("p1.txt"), "北京 北京 上海\n");
    const QString b = makeFile(QStringLiteral("p2.txt"), "no match\n");
    const QString ro = makeFile(QStringLiteral("p3.txt"), "北京\n");
    QFile::setPermissions(ro, QFile::ReadOwner);
    const QDateTime modified = QFileInfo(a).lastModified();
    setFiles(0, {a, b, ro});
    setKeywords(QStringLiteral("北京|上海"), QStringLiteral("广州"));

    QMap<QString, QString> counts;
    QStringList order;
    QStringList encodings;
    QByteArray duringPreview;
    QDateTime modifiedDuringPreview;
    QString beforeText;
    QString afterText;
    bool markedAfter = false;
    bool markedNumber = true;
    whenModal([&](QWidget *modal) {
        QCOMPARE(modal->objectName(), QStringLiteral("previewView"));
        auto *table = modal->findChild<QTableWidget *>(QStringLiteral("previewTable"));
        for (int row = 0; row < table->rowCount(); ++row) {
            order.append(table->item(row, 0)->text());
            counts.insert(table->item(row, 0)->text(),
                table->item(row, 1)->text() + QLatin1Char('|') + table->item(row, 3)->text());
            encodings.append(table->item(row, 2)->text());
        }
        duringPreview = contentOf(a);
        modifiedDuringPreview = QFileInfo(a).lastModified();
        // The chosen file's changed lines, before and after, the replaced spans marked.
        for (int row = 0; row < table->rowCount(); ++row) {
            if (table->item(row, 0)->text() == a)
                table->setCurrentCell(row, 0);
        }
        auto *beforeView = modal->findChild<QPlainTextEdit *>(QStringLiteral("previewBefore"));
        auto *afterView = modal->findChild<QPlainTextEdit *>(QStringLiteral("previewAfter"));
        beforeText = beforeView->toPlainText();
        afterText = afterView->toPlainText();
        QTextCursor cursor(afterView->document());
        cursor.setPosition(afterText.indexOf(QStringLiteral("广州")) + 1);
        markedAfter = cursor.charFormat().background().style() != Qt::NoBrush;
        cursor.setPosition(afterText.indexOf(QStringLiteral("│")));
        markedNumber = cursor.charFormat().background().style() != Qt::NoBrush;
        modal->findChild<QAbstractButton *>(QStringLiteral("startButton"))->click();
    });
    child<QPushButton>("pushButton_preview")->click();
    QTRY_COMPARE(counts.size(), 3);
    QCOMPARE(order, (QStringList {a, b, ro}));
    QCOMPARE(encodings.first(), QStringLiteral("UTF-8"));
    QCOMPARE(counts.value(a), QStringLiteral("3|成功"));
    QCOMPARE(counts.value(b), QStringLiteral("0|成功"));
    QCOMPARE(counts.value(ro), QStringLiteral("0|失败：") + reasonText(Reason::ReadOnly));
    QCOMPARE(duringPreview, QByteArray("北京 北京 上海\n"));
    QCOMPARE(beforeText, QStringLiteral("     1\u2502 北京 北京 上海"));
    QCOMPARE(afterText, QStringLiteral("     1\u2502 广州 广州 广州"));
    QVERIFY(markedAfter);
    QVERIFY(!markedNumber);
    QCOMPARE(modifiedDuringPreview, modified);

    // Its start button runs the same input for real.
    QTRY_VERIFY(window->lastRun());
    waitForRunEnd();
    QCOMPARE(window->lastRun()->outcome(0).counts, (QVector<int> {2, 1}));
    QCOMPARE(contentOf(a), QByteArray("广州 广州 广州\r\n"));
}

void RunViewsTest::previewLineNumbersKeepTheTextAligned()
{
    QByteArray lines;
    for (int i = 1; i <= 120; ++i)
        lines += "cat " + QByteArray::number(i) + '\n';
    setFiles(0, {makeFile(QStringLiteral("numbered.txt"), lines)});
    setKeywords(QStringLiteral("cat"), QStringLiteral("dog"));

    QMap<int, int> textStart;
    whenModal([&](QWidget *modal) {
        auto *after = modal->findChild<QPlainTextEdit *>(QStringLiteral("previewAfter"));
        for (const int line : {9, 10, 99, 100}) {
            const QTextBlock block = after->document()->findBlockByNumber(line - 1);
            QTextCursor cursor(block);
            cursor.setPosition(block.position() + block.text().indexOf(QStringLiteral("dog")));
            textStart.insert(line, after->cursorRect(cursor).left());
        }
        qobject_cast<QDialog *>(modal)->reject();
    });
    child<QPushButton>("pushButton_preview")->click();
    QTRY_COMPARE(textStart.size(), 4);
    QCOMPARE(textStart.value(10), textStart.value(9));
    QCOMPARE(textStart.value(100), textStart.value(99));
}

void RunViewsTest::previewRunsOnlyTheCheckedFiles()
{
    const QString a = makeFile(QStringLiteral("c1.txt"), "cat\n");
    const QString b = makeFile(QStringLiteral("c2.txt"), "cat\n");
    const QString locked = makeFile(QStringLiteral("c3.txt"), "cat\n");
    QFile::setPermissions(locked, QFile::ReadOwner);
    setFiles(0, {a, b, locked});
    setKeywords(QStringLiteral("cat"), QStringLiteral("dog"));

    // A person clears the second file's box with the space bar, then starts.
    bool started = false;
    whenModal([&started](QWidget *modal) {
        auto *table = modal->findChild<QTableWidget *>(QStringLiteral("previewTable"));
        table->setFocus();
        table->setCurrentCell(1, 0);
        QTest::keyClick(table, Qt::Key_Space);
        modal->findChild<QAbstractButton *>(QStringLiteral("startButton"))->click();
        started = true;
    });
    child<QPushButton>("pushButton_preview")->click();
    QTRY_VERIFY(started);
    QTRY_VERIFY(state().startsWith(QStringLiteral("文件替换处理全部完成!")));
    QCOMPARE(contentOf(a), QByteArray("dog\r\n"));
    QCOMPARE(contentOf(b), QByteArray("cat\n"));
    // The rows still match their files: the locked one is the one marked.
    auto *list = child<QTableWidget>("tableWidget_list1");
    QCOMPARE(list->item(2, 0)->background().color(), QColor(Qt::red));
    QCOMPARE(list->item(1, 0)->background().style(), Qt::NoBrush);
}

void RunViewsTest::previewWritesOnlyTheCheckedChanges()
{
    const QString a = makeFile(QStringLiteral("k1.txt"), "cat\ncat cat\n");
    const QString edited = makeFile(QStringLiteral("k2.txt"), "cat\n");
    setFiles(0, {a, edited});
    setKeywords(QStringLiteral("cat"), QStringLiteral("dog"));

    // A person clicks the second change's box; meanwhile another program edits a file.
    QString afterShown;
    QStringList changes;
    whenModal([&](QWidget *modal) {
        auto *list = modal->findChild<QTreeWidget *>(QStringLiteral("previewChanges"));
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            changes.append(list->topLevelItem(i)->text(0) + QLatin1Char(' ')
                + list->topLevelItem(i)->text(1) + QStringLiteral("→")
                + list->topLevelItem(i)->text(2));
        clickCheckBox(list, list->model()->index(1, 0));
        afterShown
            = modal->findChild<QPlainTextEdit *>(QStringLiteral("previewAfter"))->toPlainText();
        QFile file(edited);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("cow\n");
        file.close();
        modal->findChild<QAbstractButton *>(QStringLiteral("startButton"))->click();
    });
    child<QPushButton>("pushButton_preview")->click();
    QTRY_VERIFY(!changes.isEmpty());
    QCOMPARE(changes,
        (QStringList {QStringLiteral("第 1 行 cat→dog"), QStringLiteral("第 2 行 cat→dog"),
            QStringLiteral("第 2 行 cat→dog")}));
    QCOMPARE(afterShown, QStringLiteral("     1\u2502 dog\n     2\u2502 cat dog"));
    QTRY_VERIFY(state().startsWith(QStringLiteral("文件替换处理全部完成!")));
    QCOMPARE(contentOf(a), QByteArray("dog\r\ncat dog\r\n"));
    QCOMPARE(contentOf(edited), QByteArray("cow\n"));
    const FileOutcome &refused = window->lastRun()->outcome(1);
    QCOMPARE(refused.reason, Reason::ChangedSincePreview);
    auto *list = child<QTableWidget>("tableWidget_list1");
    QCOMPARE(
        list->item(1, 0)->data(Qt::UserRole).toString(), reasonText(Reason::ChangedSincePreview));
}

void RunViewsTest::stopSkipsTheFilesNotYetWritten()
{
    const QByteArray before = QByteArray("cat ").repeated(16000);
    const QStringList files = makeFiles(QStringLiteral("stop%1.txt"), 400, before);
    setFiles(0, files);
    setKeywords(QStringLiteral("cat"), QStringLiteral("dog"));
    auto *stop = child<QPushButton>("pushButton_stop");
    QVERIFY(!stop->isEnabled());
    clickReplace();
    QVERIFY(stop->isEnabled());
    auto *progress = window->findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QVERIFY(!progress->isHidden());
    QCOMPARE(progress->maximum(), files.size());
    stop->click();
    QTRY_VERIFY(!window->isRunning());
    QVERIFY(!stop->isEnabled());
    QVERIFY(progress->isHidden());
    QCOMPARE(state(), QStringLiteral("文件替换处理已停止!"));

    const RunTally &tally = window->lastRun()->tally();
    QVERIFY(tally.skipped > 0);
    QCOMPARE(tally.success + tally.skipped, files.size());
    QCOMPARE(statusLabel(4)->text(), QStringLiteral(" 跳过(%1)").arg(tally.skipped));
    int untouched = 0;
    for (const QString &path : qAsConst(files)) {
        const QByteArray now = contentOf(path);
        QVERIFY(now == before || now == QByteArray("dog ").repeated(16000));
        untouched += now == before;
    }
    QCOMPARE(untouched, tally.skipped);
    QVERIFY(openDialog("resultsView"));
}

void RunViewsTest::closingDuringARunAsksAndWaitsForTheWrites()
{
    const QByteArray before = QByteArray("cat ").repeated(16000);
    const QStringList files = makeFiles(QStringLiteral("close%1.txt"), 400, before);
    setFiles(0, files);
    setKeywords(QStringLiteral("cat"), QStringLiteral("dog"));
    window->show();
    clickReplace();

    // No: the run goes on.
    whenModal([](QWidget *modal) {
        qobject_cast<QMessageBox *>(modal)->button(QMessageBox::No)->click();
    });
    QVERIFY(!window->close());
    QVERIFY(window->isVisible());

    QString question;
    whenModal([&question](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        question = box->text();
        box->button(QMessageBox::Yes)->click();
    });
    window->close();
    QTRY_VERIFY(!window->isVisible());
    QVERIFY(question.contains(QStringLiteral("停止")));
    QVERIFY(!window->isRunning());
    for (const QString &path : qAsConst(files)) {
        const QByteArray now = contentOf(path);
        QVERIFY(now == before || now == QByteArray("dog ").repeated(16000));
    }
}

// A long list's journal ends on a worker once every file is written: closing the window
// then has nothing to ask, and waits for it, so that the run can still be undone.
void RunViewsTest::closingWhileTheJournalEndsWaitsForIt()
{
    const QStringList files = makeFiles(QStringLiteral("end%1.txt"), 4096, "cat\n");
    setFiles(0, files);
    setKeywords(QStringLiteral("cat"), QStringLiteral("dog"));
    testutil::PausePoint pause("journal-end");
    QVERIFY(pause.isValid());
    // Never left waiting: the run would wait for it as it goes.
    const auto released = qScopeGuard([&pause] { pause.release(); });
    pause.setInThisProcess(true);
    window->show();
    clickReplace();
    bool reached = false;
    QTRY_VERIFY_WITH_TIMEOUT(reached = reached || pause.reached(0), 60000);
    pause.setInThisProcess(false);

    // A question would open before close() returns.
    bool asked = false;
    QTimer::singleShot(0, window.get(), [&asked] {
        if (auto *question = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
            asked = true;
            question->reject();
        }
    });
    QVERIFY(!window->close());
    QVERIFY(window->isVisible());
    QVERIFY(window->isRunning());
    pause.release();
    QTRY_VERIFY(!window->isVisible());
    QVERIFY(!asked);
    QVERIFY(!Journal::lastRunInterrupted());
    JournalRun last;
    QVERIFY(Journal::lastRun(&last));
    QVERIFY(contentOf(files.last()).startsWith("dog"));
}

void RunViewsTest::answerTwice(QMessageBox::StandardButton first)
{
    auto texts = std::make_shared<QStringList>();
    whenModal([texts, first](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        texts->append(box->text());
        box->button(first)->click();
        whenModal([texts](QWidget *next) {
            auto *box = qobject_cast<QMessageBox *>(next);
            texts->append(box->text());
            box->button(QMessageBox::Ok)->click();
        });
    });
    m_answers = texts;
}

void RunViewsTest::undoPutsTheLastRunBack()
{
    const QString a = makeFile(QStringLiteral("u1.txt"), "cat\n");
    const QString b = makeFile(QStringLiteral("u2.txt"), "cat cat\n");
    runToEnd({a, b}, QStringLiteral("cat"), QStringLiteral("dog"));
    QVERIFY(child<QAction>("action_Undo")->isEnabled());
    makeFile(QStringLiteral("u2.txt"), "changed by hand\n");

    answerTwice(QMessageBox::Yes);
    child<QAction>("action_Undo")->trigger();
    QTRY_COMPARE(m_answers->size(), 2);
    QCOMPARE(contentOf(a), QByteArray("cat\n"));
    QCOMPARE(contentOf(b), QByteArray("changed by hand\n"));
    QVERIFY(m_answers->at(1).contains(QStringLiteral("已恢复 1 个文件")));
    QVERIFY(m_answers->at(1).contains(b));
    QCOMPARE(state(), QStringLiteral("撤销上次替换完毕!"));
    QVERIFY(!child<QAction>("action_Undo")->isEnabled());
}

// A file with a second hard link is copied into the journal, not linked: past the cap the
// user decides before anything is written.
void RunViewsTest::journalOverTheCapAsksFirst()
{
    const QString path
        = makeFile(QStringLiteral("linked.txt"), QByteArray("cat ").repeated(300000));
    const QString twin = dir.filePath(QStringLiteral("twin.txt"));
    QFile::remove(twin);
    QCOMPARE(::link(QFile::encodeName(path).constData(), QFile::encodeName(twin).constData()), 0);
    closeWindow();
    writeSetting(testSettingsPath(), QStringLiteral("set"), QStringLiteral("journalCap"),
        QStringLiteral("0"));
    openWindow();
    setFiles(0, {path});
    setKeywords(QStringLiteral("cat"), QStringLiteral("dog"));

    QString question;
    whenModal([&question](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        question = box->text();
        box->button(QMessageBox::No)->click();
    });
    clickReplace();
    QVERIFY(question.contains(QStringLiteral("无法撤销")));
    QCOMPARE(state(), QStringLiteral("文件替换处理被取消!"));
    QCOMPARE(contentOf(path), QByteArray("cat ").repeated(300000));

    whenModal([](QWidget *modal) {
        qobject_cast<QMessageBox *>(modal)->button(QMessageBox::Yes)->click();
    });
    clickReplace();
    waitForRunEnd();
    QCOMPARE(contentOf(path), QByteArray("dog ").repeated(300000));
    QVERIFY(!child<QAction>("action_Undo")->isEnabled());
}

// The number of runs kept, set from the menu, reaches the journal; an older run's own
// button undoes it, and leaves the file a later run rewrote alone.
void RunViewsTest::historyUndoesAnOlderRunByItsButton()
{
    QDir(Journal::location()).removeRecursively();
    whenModal([](QWidget *modal) {
        auto *spin = modal->findChild<QSpinBox *>();
        spin->selectAll();
        QTest::keyClicks(spin, QStringLiteral("2"));
        modal->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
    });
    child<QAction>("action_RunsKept")->trigger();

    const QString dropped = makeFile(QStringLiteral("h0.txt"), "cat\n");
    const QString a = makeFile(QStringLiteral("h1.txt"), "cat\n");
    const QString b = makeFile(QStringLiteral("h2.txt"), "cat\n");
    auto *clear = child<QPushButton>("pushButton_list1_Clear");
    runToEnd({dropped}, QStringLiteral("cat"), QStringLiteral("dog"));
    clear->click();
    runToEnd({a, b}, QStringLiteral("cat"), QStringLiteral("dog"));
    clear->click();
    runToEnd({b}, QStringLiteral("dog"), QStringLiteral("cow"));

    int rows = -1;
    QString summary;
    bool undoneButtonOff = false;
    whenModal([&](QWidget *modal) {
        auto *table = modal->findChild<QTableWidget *>(QStringLiteral("tableWidget_history"));
        rows = table->rowCount();
        whenModal(
            [&summary](QWidget *box) {
                summary = qobject_cast<QMessageBox *>(box)->text();
                qobject_cast<QMessageBox *>(box)->button(QMessageBox::Ok)->click();
            },
            "QMessageBox");
        auto *older = modal->findChild<QPushButton *>(QStringLiteral("pushButton_undoRun2"));
        QTest::mouseClick(older, Qt::LeftButton);
        auto *refreshed
            = qobject_cast<QPushButton *>(table->cellWidget(1, table->columnCount() - 1));
        undoneButtonOff = refreshed && refreshed != older && !refreshed->isEnabled();
        modal->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Close)->click();
    });
    child<QAction>("action_History")->trigger();

    QCOMPARE(rows, 2);
    QCOMPARE(contentOf(a), QByteArray("cat\n"));
    QCOMPARE(contentOf(b), QByteArray("cow\r\n"));
    QCOMPARE(contentOf(dropped), QByteArray("dog\r\n"));
    QVERIFY2(summary.contains(b), qPrintable(summary));
    QVERIFY(undoneButtonOff);
}

// A run killed mid-way (here the command line's, sharing the window's journal) is offered
// for undo when the window next starts.
void RunViewsTest::killedRunIsOfferedForUndo_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("undo puts every file back") << int(QMessageBox::Yes);
    QTest::newRow("discard lets the run go") << int(QMessageBox::Discard);
    QTest::newRow("later keeps it, and the next run says so") << int(QMessageBox::No);
}

void RunViewsTest::killedRunIsOfferedForUndo()
{
    QFETCH(int, answer);
    const QString folder = QFileInfo(makeFile(QStringLiteral("killed/k.txt"), "cat\n")).path();
    QFile::remove(folder + QStringLiteral("/k.txt"));
    const QString keys = makeFile(QStringLiteral("keys.txt"), "cat\n");
    const QByteArray before = QByteArray("cat ").repeated(16000);
    makeFiles(QStringLiteral("killed/f%1.txt"), 600, before);

    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The window's journal while its tests keep their data apart.
    env.insert(
        QStringLiteral("XDG_DATA_HOME"), QDir::homePath() + QStringLiteral("/.qttest/share"));
    cli.setProcessEnvironment(env);
    cli.start(QStringLiteral(YIHUAN_CLI_PATH), {"--keywords", keys, folder});
    QVERIFY(cli.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(contentOf(folder + QStringLiteral("/f0.txt")) != before
            || contentOf(folder + QStringLiteral("/f1.txt")) != before,
        20000);
    cli.kill();
    QVERIFY(cli.waitForFinished());

    if (answer == QMessageBox::Yes) {
        answerTwice(QMessageBox::Yes);
    } else {
        m_answers = std::make_shared<QStringList>();
        whenModal([this, answer](QWidget *modal) {
            auto *box = qobject_cast<QMessageBox *>(modal);
            m_answers->append(box->text());
            box->button(QMessageBox::StandardButton(answer))->click();
        });
    }
    window->offerUndoOfInterruptedRun();
    QTRY_COMPARE(m_answers->size(), answer == QMessageBox::Yes ? 2 : 1);
    QVERIFY(m_answers->at(0).contains(QStringLiteral("没有正常结束")));
    if (answer == QMessageBox::Yes) {
        for (int i = 0; i < 600; ++i)
            QCOMPARE(contentOf(folder + QStringLiteral("/f%1.txt").arg(i)), before);
    }
    QCOMPARE(Journal::interruptedRuns().isEmpty(), answer != QMessageBox::No);
    if (answer != QMessageBox::No)
        return;
    runToEnd({makeFile(QStringLiteral("next.txt"), "cat")}, QStringLiteral("cat"),
        QStringLiteral("dog"));
    QVERIFY2(state().contains(QStringLiteral("被中断的替换")), qPrintable(state()));
}

// Without a journal the run could not be undone: the user is asked before anything is
// written, and may go on without undo.
void RunViewsTest::runWithoutAJournalAsksFirst_data()
{
    QTest::addColumn<bool>("goOn");
    QTest::newRow("no: nothing is written") << false;
    QTest::newRow("yes: the run goes on, without undo") << true;
}

void RunViewsTest::runWithoutAJournalAsksFirst()
{
    QFETCH(bool, goOn);
    const QString file = makeFile(QStringLiteral("nojournal.txt"), "cat\n");
    QVERIFY(QDir().mkpath(QFileInfo(Journal::location()).path()));
    QDir(Journal::location()).removeRecursively();
    QFile blocker(Journal::location());
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    QString question;
    whenModal([&question, goOn](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        question = box->text();
        box->button(goOn ? QMessageBox::Yes : QMessageBox::No)->click();
    });
    setFiles(0, {file});
    setKeywords(QStringLiteral("cat"), QStringLiteral("dog"));
    clickReplace();
    QTRY_VERIFY(!question.isEmpty());
    QTRY_VERIFY(!window->isRunning());
    QFile::remove(Journal::location());
    QVERIFY2(question.contains(Journal::location()), qPrintable(question));
    QCOMPARE(contentOf(file), goOn ? QByteArray("dog\r\n") : QByteArray("cat\n"));
    QVERIFY(!child<QAction>("action_Undo")->isEnabled());
}

QTEST_MAIN(RunViewsTest)
#include "tst_runviews.moc"

#include "widgets/codeeditor.h"
#include "widgets/qtablewidgetex.h"

#include <QSignalSpy>
#include <QTest>

class WidgetsTest : public QObject
{
    Q_OBJECT

private slots:
    void gutterWidthFollowsDigits_data();
    void gutterWidthFollowsDigits();
    void gutterReservesItsWidth();
    void editorLinesAreBlocks_data();
    void editorLinesAreBlocks();
    void currentLineBandOnlyWhenEditable();
    void tableSignalsByButton_data();
    void tableSignalsByButton();
    void doubleClickSignalSeesPressedCell();
};

void WidgetsTest::gutterWidthFollowsDigits_data()
{
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("digits");
    QTest::newRow("an empty editor has one line") << 1 << 1;
    QTest::newRow("nine lines still need one digit") << 9 << 1;
    QTest::newRow("ten lines need two") << 10 << 2;
    QTest::newRow("ninety-nine lines need two") << 99 << 2;
    QTest::newRow("a hundred lines need three") << 100 << 3;
    QTest::newRow("a thousand lines need four") << 1000 << 4;
}

void WidgetsTest::gutterWidthFollowsDigits()
{
    QFETCH(int, lines);
    QFETCH(int, digits);
    CodeEditor editor;
    QStringList text;
    for (int i = 0; i < lines; ++i)
        text.append(QString::number(i));
    editor.setPlainText(lines == 1 ? QString() : text.join(QLatin1Char('\n')));
    QCOMPARE(editor.blockCount(), lines);
    const int advance = QFontMetrics(editor.font()).horizontalAdvance(QChar('9'));
    QCOMPARE(editor.numberAreaWidth(), 3 + digits * advance);
}

void WidgetsTest::gutterReservesItsWidth()
{
    CodeEditor editor;
    editor.resize(300, 200);
    editor.show();
    QVERIFY(QTest::qWaitForWindowExposed(&editor));
    editor.setPlainText(QString(QLatin1Char('\n')).repeated(120));
    QCOMPARE(editor.viewport()->geometry().left() - editor.contentsRect().left(),
        editor.numberAreaWidth());
    LineNumberArea *gutter = nullptr;
    for (QObject *child : editor.children()) {
        if (auto *area = dynamic_cast<LineNumberArea *>(child))
            gutter = area;
    }
    QVERIFY(gutter);
    QCOMPARE(gutter->width(), editor.numberAreaWidth());
    QCOMPARE(gutter->sizeHint().width(), editor.numberAreaWidth());
}

void WidgetsTest::editorLinesAreBlocks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("an empty editor holds one empty line") << QString() << QStringList {QString()};
    QTest::newRow("a trailing line break makes an empty last line")
        << QStringLiteral("a\n") << QStringList {QStringLiteral("a"), QString()};
    QTest::newRow("lines keep their spaces") << QStringLiteral(
        " a |b\n中文") << QStringList {QStringLiteral(" a |b"), QStringLiteral("中文")};
}

void WidgetsTest::editorLinesAreBlocks()
{
    QFETCH(QString, text);
    QFETCH(QStringList, lines);
    CodeEditor editor;
    editor.setPlainText(text);
    QCOMPARE(editorLines(&editor), lines);
}

void WidgetsTest::currentLineBandOnlyWhenEditable()
{
    CodeEditor editor;
    editor.setPlainText(QStringLiteral("a\n\nb"));
    QCOMPARE(editor.extraSelections().size(), 1);
    const QTextEdit::ExtraSelection band = editor.extraSelections().first();
    QVERIFY(band.format.property(QTextFormat::FullWidthSelection).toBool());
    QCOMPARE(band.format.background().color(), QColor(Qt::gray));

    editor.setReadOnly(true);
    editor.moveCursor(QTextCursor::End);
    QVERIFY(editor.extraSelections().isEmpty());
}

void WidgetsTest::tableSignalsByButton_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<QStringList>("fired");
    QTest::newRow("left button") << int(
        Qt::LeftButton) << QStringList {"mouseLeftPressd", "mouseLeftReleased", "mouseLeftDoubled"};
    QTest::newRow("right button") << int(Qt::RightButton)
                                  << QStringList {"mouseRightPressd", "mouseRightReleased",
                                         "mouseRightDoubled"};
    QTest::newRow("middle button emits nothing") << int(Qt::MiddleButton) << QStringList {};
}

void WidgetsTest::tableSignalsByButton()
{
    QFETCH(int, button);
    QFETCH(QStringList, fired);

    QTableWidgetEx table;
    table.setRowCount(2);
    table.setColumnCount(2);
    table.show();
    QVERIFY(QTest::qWaitForWindowExposed(&table));

    QStringList received;
    const QList<QPair<QString, void (QTableWidgetEx::*)()>> signalList = {
        {"mouseLeftPressd", &QTableWidgetEx::mouseLeftPressd},
        {"mouseLeftReleased", &QTableWidgetEx::mouseLeftReleased},
        {"mouseLeftDoubled", &QTableWidgetEx::mouseLeftDoubled},
        {"mouseRightPressd", &QTableWidgetEx::mouseRightPressd},
        {"mouseRightReleased", &QTableWidgetEx::mouseRightReleased},
        {"mouseRightDoubled", &QTableWidgetEx::mouseRightDoubled},
    };
    for (const auto &entry : signalList) {
        const QString name = entry.first;
        connect(&table, entry.second, &table, [&received, name] { received.append(name); });
    }

    QWidget *viewport = table.viewport();
    const QPoint pos = table.visualRect(table.model()->index(0, 0)).center();
    const auto mouseButton = Qt::MouseButton(button);
    QTest::mousePress(viewport, mouseButton, {}, pos);
    QTest::mouseRelease(viewport, mouseButton, {}, pos);
    QTest::mouseDClick(viewport, mouseButton, {}, pos);

    QStringList expected;
    if (!fired.isEmpty())
        expected = QStringList {fired.at(0), fired.at(1), fired.at(2)};
    received.removeDuplicates();
    QCOMPARE(received, expected);
}

void WidgetsTest::doubleClickSignalSeesPressedCell()
{
    QTableWidgetEx table;
    table.setRowCount(3);
    table.setColumnCount(3);
    table.show();
    QVERIFY(QTest::qWaitForWindowExposed(&table));
    int rowSeen = -1;
    connect(
        &table, &QTableWidgetEx::mouseLeftDoubled, &table, [&] { rowSeen = table.currentRow(); });
    const QPoint pos = table.visualRect(table.model()->index(2, 1)).center();
    // A real double click starts with a press and release of its own.
    QTest::mouseClick(table.viewport(), Qt::LeftButton, {}, pos);
    QTest::mouseDClick(table.viewport(), Qt::LeftButton, {}, pos);
    QCOMPARE(rowSeen, 2);
}

QTEST_MAIN(WidgetsTest)
#include "tst_widgets.moc"

// The window under a real X server and window manager, driven by the real pointer and
// keyboard (xdotool): what the offscreen tests cannot see, such as tooltips on hover and
// a close asked for from the title bar.
#include "windowfixture.h"

#include <QAbstractButton>
#include <QHeaderView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTimer>
#include <QToolTip>

namespace {

// Runs xdotool with the arguments and waits for it; the X server has the input once
// it returns.
bool xdotool(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

bool movePointerTo(const QPoint &global)
{
    // Two moves: the first enters the widget, the second is a motion inside it.
    return xdotool({QStringLiteral("mousemove"), QString::number(global.x() - 2),
               QString::number(global.y() - 2)})
        && xdotool({QStringLiteral("mousemove"), QString::number(global.x()),
            QString::number(global.y())});
}

bool clickAt(const QPoint &global)
{
    return movePointerTo(global) && xdotool({QStringLiteral("click"), QStringLiteral("1")});
}

// Counts the tooltip requests a widget receives: one arrives once the pointer has
// rested on it.
class ToolTipRequests : public QObject
{
public:
    explicit ToolTipRequests(QWidget *watched)
        : m_watched(watched)
    {
        qApp->installEventFilter(this);
    }
    int count = 0;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (object == m_watched && event->type() == QEvent::ToolTip)
            ++count;
        return false;
    }

private:
    QWidget *m_watched;
};

} // namespace

class RealInputTest : public WindowFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void restingOnAMarkedFileTellsWhy_data();
    void restingOnAMarkedFileTellsWhy();
    void closeAnsweredAfterTheRunEndedCloses();

private:
    void showActive();

    QProcess m_windowManager;
};

void RealInputTest::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs an X server (run under xvfb-run with QT_QPA_PLATFORM=xcb)");
    const bool ci = qEnvironmentVariableIsSet("CI");
    for (const char *tool : {"xdotool", "openbox"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
            if (ci)
                QFAIL(qPrintable(QStringLiteral("%1 is missing: scripts/install-deps installs it")
                                     .arg(QString::fromLatin1(tool))));
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QString::fromLatin1(tool))));
        }
    }
    // Focus, activation and tooltips behave as on a desktop only under a window manager.
    m_windowManager.start(QStringLiteral("openbox"), QStringList());
    QVERIFY(m_windowManager.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(
        QProcess::execute(QStringLiteral("sh"),
            {QStringLiteral("-c"),
                QStringLiteral("xprop -root _NET_SUPPORTING_WM_CHECK | grep -q window")})
            == 0,
        10000);
}

void RealInputTest::cleanupTestCase()
{
    m_windowManager.terminate();
    m_windowManager.waitForFinished();
}

void RealInputTest::showActive()
{
    window->showNormal();
    window->resize(1000, 700);
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
}

void RealInputTest::restingOnAMarkedFileTellsWhy_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("mode one, the file's row") << 0;
    QTest::newRow("mode two, a cell of the file's column") << 1;
}

// After a run with a failed file, the pointer resting on that file's row (or column)
// shows its path with the reason, and it stays up after the view's own tooltip request.
void RealInputTest::restingOnAMarkedFileTellsWhy()
{
    QFETCH(int, mode);
    const QString good = makeFile(QStringLiteral("good.txt"), "cat\n");
    const QString locked = makeFile(QStringLiteral("locked.txt"), "cat\n");
    QFile::setPermissions(locked, QFile::ReadOwner | QFile::ReadGroup);
    setFiles(mode, {good, locked});
    auto *table = child<QTableWidget>(mode == 0 ? "tableWidget_list1" : "tableWidget_list2");
    if (mode == 0) {
        setKeywords(QStringLiteral("cat"), QStringLiteral("dog"));
    } else {
        table->item(0, 0)->setText(QStringLiteral("cat"));
        table->setItem(0, 1, new QTableWidgetItem(QStringLiteral("dog")));
        table->setItem(0, 2, new QTableWidgetItem(QStringLiteral("dog")));
    }
    showActive();
    QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("ctrl+shift+h")}));
    QTRY_VERIFY(window->lastRun() && !window->isRunning());

    // The results view comes up for the failed file; a person closes it with Escape.
    QTRY_VERIFY(QApplication::activeWindow() && QApplication::activeWindow() != window.get());
    QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("Escape")}));
    QVERIFY(QTest::qWaitForWindowActive(window.get()));

    const QRect cell = mode == 0 ? table->visualItemRect(table->item(1, 0))
                                 : table->visualRect(table->model()->index(0, 2));
    // A window manager may activate the window again after the view has gone, which
    // cancels a rest begun before: the pointer moves again until a rest counts.
    ToolTipRequests requests(table->viewport());
    const QPoint target = table->viewport()->mapToGlobal(cell.center());
    for (int attempt = 0; attempt < 5; ++attempt) {
        QVERIFY(movePointerTo(target + QPoint(attempt % 2, 0)));
        if (QTest::qWaitFor([&requests] { return requests.count > 0; }, 2000))
            break;
    }
    QVERIFY(requests.count > 0);
    QCoreApplication::processEvents();
    QVERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), locked + QLatin1Char('\n') + reasonText(Reason::ReadOnly));
}

// The run may end while the "stop and close?" question is open; the answer yes still
// closes the window.
void RealInputTest::closeAnsweredAfterTheRunEndedCloses()
{
    const QByteArray content = QByteArray("cat ").repeated(8000);
    const QStringList files = makeFiles(QStringLiteral("close%1.txt"), 1500, content);
    setFiles(0, files);
    setKeywords(QStringLiteral("cat"), QStringLiteral("dog"));
    showActive();
    clickReplace();
    QVERIFY(window->isRunning());

    // The question runs its own event loop inside the close: it is answered from a timer.
    bool asked = false;
    bool endedUnderTheQuestion = false;
    auto *poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [&] {
        auto *question = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!question)
            return;
        asked = true;
        if (window->isRunning())
            return;
        poll->stop();
        endedUnderTheQuestion = true;
        QAbstractButton *yes = question->button(QMessageBox::Yes);
        clickAt(yes->mapToGlobal(yes->rect().center()));
    });
    poll->start(50);
    // Alt+F4 asks the window manager to close the window.
    QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("alt+F4")}));
    QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible() || !poll->isActive(), 120000);
    QTRY_VERIFY(!window->isVisible());
    QVERIFY2(asked, "the run ended before the question came up: give it more files");
    QVERIFY(endedUnderTheQuestion);
    delete poll;
}

QTEST_MAIN(RealInputTest)
#include "tst_realinput.moc"

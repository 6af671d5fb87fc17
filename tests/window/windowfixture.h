#pragma once

#include "app/mainwindow.h"
#include "droppaths.h"
#include "engine/appinfo.h"
#include "engine/durable/journal.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusBar>
#include <QString>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <utility>

// Where the window keeps its settings while QStandardPaths is in test mode.
inline QString testSettingsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/qhyPz_") + QCoreApplication::applicationVersion()
        + QStringLiteral("/qhyPz");
}

// Writes a file below dir, making its folders; returns its path.
inline QString writeTestFile(
    const QTemporaryDir &dir, const QString &relative, const QByteArray &content = "text\n")
{
    const QString path = dir.filePath(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    // A test before may have left it read-only.
    if (file.exists())
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
    return path;
}

// Clicks the check box of an item view's cell with the mouse, where the style draws it.
inline void clickCheckBox(QAbstractItemView *view, const QModelIndex &index)
{
    QStyleOptionViewItem option;
    option.initFrom(view->viewport());
    option.rect = view->visualRect(index);
    option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
    option.text = index.data().toString();
    option.checkState = Qt::CheckState(index.data(Qt::CheckStateRole).toInt());
    const QRect box
        = view->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, view);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, box.center());
}

// Answers the next modal dialog from the event loop. A watchdog rejects any
// dialog still open afterwards so that a failing test cannot hang.
// className: waits for a dialog of that class, over one already open.
inline void whenModal(const std::function<void(QWidget *)> &answer, const char *className = nullptr)
{
    auto attempt = std::make_shared<std::function<void(int)>>();
    *attempt = [answer, attempt, className](int triesLeft) {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || (className && !modal->inherits(className))) {
            if (triesLeft > 0)
                QTimer::singleShot(10, qApp, [attempt, triesLeft] { (*attempt)(triesLeft - 1); });
            return;
        }
        answer(modal);
        QTimer::singleShot(10000, qApp, [modal = QPointer<QWidget>(modal)] {
            if (modal && modal->isVisible())
                if (auto *dialog = qobject_cast<QDialog *>(modal.data()))
                    dialog->reject();
        });
    };
    QTimer::singleShot(0, qApp, [attempt] { (*attempt)(3000); });
}

// A slot bound by name stops binding, with only a warning, when its object is renamed or
// its signal goes away (Qt 6 has no QComboBox::currentIndexChanged(QString)). The fixture
// records such warnings, passes every message on, and fails the test that raised one.
inline QStringList &slotBindingWarnings()
{
    static QStringList warnings;
    return warnings;
}

inline QtMessageHandler &forwardedMessageHandler()
{
    static QtMessageHandler handler = nullptr;
    return handler;
}

inline void recordSlotBindingWarnings(
    QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("connectSlotsByName"))
        || message.contains(QLatin1String("No matching signal")))
        slotBindingWarnings().append(message);
    if (QtMessageHandler forward = forwardedMessageHandler())
        forward(type, context, message);
}

// Receives the URLs the window asks the desktop to open (registered as the handler
// of file URLs), so that no program is launched.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls.append(url); }
};

// What every window test shares: isolated settings, a fresh window per test function,
// files in a temporary folder, and the ways a user reaches the window.
class WindowFixture : public QObject
{
    Q_OBJECT

protected:
    // A test class that starts its windows itself (to prepare settings first) says so.
    explicit WindowFixture(bool openAtInit = true)
        : openAtInit(openAtInit)
    {
    }

    MainWindow *openWindow()
    {
        window = std::make_unique<MainWindow>();
        return window.get();
    }
    // Destroying the window saves its options, as closing it does.
    void closeWindow() { window.reset(); }

    template<typename T>
    T *child(const char *name) const
    {
        return window->findChild<T *>(QString::fromLatin1(name));
    }
    QLabel *statusLabel(int i) const { return window->statusBar()->findChildren<QLabel *>().at(i); }
    QString fileCount() const { return statusLabel(0)->text(); }
    QString state() const { return window->statusBar()->findChildren<QLabel *>().last()->text(); }

    QString makeFile(const QString &relative, const QByteArray &content = "text\n")
    {
        return writeTestFile(dir, relative, content);
    }
    // count files named after pattern ("stop%1.txt"), each holding content.
    QStringList makeFiles(const QString &pattern, int count, const QByteArray &content)
    {
        QStringList paths;
        for (int i = 0; i < count; ++i)
            paths.append(makeFile(pattern.arg(i), content));
        return paths;
    }
    static QByteArray contentOf(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    // Drops are the quickest way in: no dialog to drive.
    void setFiles(int tab, const QStringList &paths)
    {
        child<QTabWidget>("tabWidget_1")->setCurrentIndex(tab);
        QVERIFY(dropPaths(window.get(), paths));
    }
    void setKeywords(const QString &keys, const QString &replacements)
    {
        child<QPlainTextEdit>("plainTextEdit_s1")->setPlainText(keys);
        child<QPlainTextEdit>("plainTextEdit_s2")->setPlainText(replacements);
    }
    void clickReplace() { child<QPushButton>("pushButton_replace")->click(); }
    void waitForRunEnd()
    {
        QTRY_VERIFY(!window->isRunning());
        QVERIFY2(state().startsWith(QStringLiteral("文件替换处理全部完成!")), qPrintable(state()));
    }

    std::unique_ptr<MainWindow> window;
    QTemporaryDir dir;
    UrlCatcher catcher;

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        forwardedMessageHandler() = qInstallMessageHandler(recordSlotBindingWarnings);
        initApplicationInfo(*QCoreApplication::instance());
        // Interrupted runs are kept until undone: none may come from an earlier test run.
        QDir(Journal::location()).removeRecursively();
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    }

    void init()
    {
        QFile::remove(testSettingsPath());
        catcher.urls.clear();
        if (openAtInit)
            openWindow();
    }

    void cleanup()
    {
        if (window && window->isRunning())
            QTRY_VERIFY(!window->isRunning());
        closeWindow();
        QFile::remove(testSettingsPath());
        const QStringList warnings = std::exchange(slotBindingWarnings(), {});
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    }

private:
    const bool openAtInit;
};

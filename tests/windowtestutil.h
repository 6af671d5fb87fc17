#pragma once

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <QPointer>

#include <functional>
#include <memory>

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
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
    return path;
}

// Drags the paths onto the window and drops them there, as a file manager would.
// The drop only reaches the window after an accepted drag enter; returns whether it was.
inline bool dropPaths(QWidget *window, const QStringList &paths)
{
    QMimeData data;
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls.append(QUrl::fromLocalFile(path));
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window, &enter);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window, &drop);
    return enter.isAccepted();
}

// Answers the next modal dialog from the event loop. A watchdog rejects any
// dialog still open afterwards so that a failing test cannot hang.
inline void whenModal(const std::function<void(QWidget *)> &answer)
{
    auto attempt = std::make_shared<std::function<void(int)>>();
    *attempt = [answer, attempt](int triesLeft) {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal) {
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

// Receives the URLs the window asks the desktop to open (register it with
// QDesktopServices::setUrlHandler), so that no program is launched.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls.append(url); }
};

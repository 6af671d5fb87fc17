#pragma once

#include <QApplication>
#include <QDialog>
#include <QStandardPaths>
#include <QString>
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
        QTimer::singleShot(2000, qApp, [modal = QPointer<QWidget>(modal)] {
            if (modal && modal->isVisible())
                if (auto *dialog = qobject_cast<QDialog *>(modal.data()))
                    dialog->reject();
        });
    };
    QTimer::singleShot(0, qApp, [attempt] { (*attempt)(500); });
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

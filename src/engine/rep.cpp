#include "engine/rep.h"

#include "engine/textfile.h"
#include "engine/transform.h"

#include <QFileInfo>
#include <QMutex>
#include <QSet>
#include <QThreadPool>
#include <QWaitCondition>
#include <QtConcurrent>

#include <new>

namespace {

// A list may name one file twice (two spellings, a link, a workbook listing it twice).
// Two workers rewriting it at once would each start from the old text and the later
// write would silently drop the earlier one's work, so they take turns instead.
class FileTurn
{
public:
    explicit FileTurn(const QString &path)
        : key(QFileInfo(path).canonicalFilePath())
    {
        if (key.isEmpty())
            return;
        QMutexLocker locker(&mutex);
        while (busy.contains(key))
            released.wait(&mutex);
        busy.insert(key);
    }

    ~FileTurn()
    {
        if (key.isEmpty())
            return;
        QMutexLocker locker(&mutex);
        busy.remove(key);
        released.wakeAll();
    }

    FileTurn(const FileTurn &) = delete;
    FileTurn &operator=(const FileTurn &) = delete;

private:
    static QMutex mutex;
    static QWaitCondition released;
    static QSet<QString> busy;
    const QString key;
};

QMutex FileTurn::mutex;
QWaitCondition FileTurn::released;
QSet<QString> FileTurn::busy;

} // namespace

Rep::Rep(const QString &filePath, const RepOptions &options, int index, QObject *parent)
    : QObject(parent)
    , filePath(filePath)
    , ordinary(options.ordinary)
    , full(options.full)
    , pairs(options.pairs)
    , index(index)
{
}

void Rep::replaceFile()
{
    STATE state = FAIL;
    try {
        const FileTurn turn(filePath);
        QString text;
        if (readTextFile(filePath, &text)) {
            RepOptions options;
            options.ordinary = ordinary;
            options.full = full;
            options.pairs = pairs;
            if (writeTextFile(filePath, applyPairs(std::move(text), options)))
                state = SUCCESS;
        }
    } catch (const std::bad_alloc &) {
        // A file too large to hold in memory is left as it was.
        state = FAIL;
    }
    // The receiver may delete this object as soon as it hears of it.
    emit done(this, state, index);
}

void registerRepMetaTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<STATE>("STATE");
        qRegisterMetaType<STATE>("STATE&");
        qRegisterMetaType<Rep *>("Rep*");
        return true;
    }();
    Q_UNUSED(registered)
}

void startRep(Rep *rep)
{
    QtConcurrent::run(QThreadPool::globalInstance(), [rep] {
        rep->replaceFile();
        rep->deleteLater();
    });
}

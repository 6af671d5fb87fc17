#include "engine/rep.h"

#include "engine/textfile.h"
#include "engine/transform.h"

#include <new>

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

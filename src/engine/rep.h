#pragma once

#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QString>
#include <QVector>

// Result of one file of a run.
enum STATE { SUCCESS = 0, FAIL = 1, LOST = 2 };
Q_DECLARE_METATYPE(STATE)

using ReplacePair = QPair<QString, QString>;
using ReplacePairs = QVector<ReplacePair>;

struct RepOptions
{
    bool ordinary = true;
    bool full = false; // whole word; only read when ordinary is true
    ReplacePairs pairs;
};

// Rewrites one file with an ordered pair list; runs once on a pool thread.
class Rep : public QObject
{
    Q_OBJECT

public:
    Rep(const QString &filePath, const RepOptions &options, int index, QObject *parent = nullptr);

    void replaceFile();

signals:
    void done(Rep *rep, STATE state, int index);

private:
    QString filePath;
    bool ordinary;
    bool full;
    ReplacePairs pairs;
    int index;
};

Q_DECLARE_METATYPE(Rep *)

// Lets done() cross threads: registers STATE (also as "STATE&") and Rep*. Safe to call repeatedly.
void registerRepMetaTypes();

// Runs rep on the global thread pool and disposes of it once its done signal has been
// emitted. Receivers must not delete it: a pool thread may still be inside the emission
// when a queued handler runs.
void startRep(Rep *rep);

#pragma once

#include "engine/base/reason.h"
#include "engine/durable/contenthash.h"
#include "engine/durable/uniquefd.h"

#include <QByteArray>
#include <QHashFunctions>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>
#include <optional>

#include <sys/stat.h>

class Journal;

// Which file a name refers to: the same identity under two names is one file.
struct FileIdentity
{
    quint64 device = 0;
    quint64 inode = 0;

    bool operator==(const FileIdentity &other) const
    {
        return device == other.device && inode == other.inode;
    }
    bool operator!=(const FileIdentity &other) const { return !(*this == other); }
};

inline uint qHash(const FileIdentity &identity, uint seed = 0)
{
    return qHash(qMakePair(identity.device, identity.inode), seed);
}

// Rewrites one file so that nothing of it is ever lost: the file written is the file
// that was read, the new content reaches the disk before it replaces the old, and the
// old one goes to the run's journal first.
//
// Per file, on any thread: open() → readAll() → write() the new bytes in pieces →
// stage() → commit(). A run that batches its syncs stages a batch of files, calls
// syncStaged() once, then commits each with Sync::AlreadyDone. Any failure leaves the
// file as it was and removes what was made for it; so does destroying a SafeFile that
// was not committed.
//
// The new file normally takes the old one's place by rename, with the old one's
// mode, owner and group (where allowed), ACL and extended attributes. Where the folder
// takes no new file, or the new file could not be given the old one's owner, the file
// is overwritten where it stands instead, from a journal copy that restores it on
// failure.
class SafeFile
{
public:
    enum class Sync {
        Here, // commit() syncs the new content itself
        AlreadyDone, // syncStaged() did, for the whole batch
    };

    SafeFile();
    ~SafeFile();
    SafeFile(const SafeFile &) = delete;
    SafeFile &operator=(const SafeFile &) = delete;

    // Opens path for reading without blocking (a FIFO or a device cannot stall it). A
    // symbolic link is followed here, once: its target is the file from then on. Only
    // a link of this user's, root's or the target owner's is followed: UntrustedLink.
    // NotFound, NotRegular, ReadOnly (no write permission bit: root too) or Unreadable.
    Reason open(const QString &path);
    // The whole content, into bytes (its capacity is reused). TooLarge, Unreadable, or
    // ChangedDuringRun when the file shrank or grew while being read.
    Reason readAll(QByteArray *bytes);
    // The same into the memory buffer(size) hands out for the file's size.
    Reason readAll(const std::function<char *(qint64 size)> &buffer);

    // Instead of readAll(), for a file too large to hold whole: the next piece of the
    // content, at most most bytes, into into; fewer only at the end, 0 once it is all read,
    // -1 when it cannot be read. write() may come between pieces; finishRead() after them.
    qint64 readPiece(char *into, qint64 most);
    // What readAll() would have said, once readPiece() has given 0: TooLarge, Unreadable
    // or ChangedDuringRun.
    Reason finishRead();
    // The first bytes of the file, up to most, without reading it; -1 when it cannot.
    qint64 peek(char *into, qint64 most) const;
    // Forgets the pieces read and the new content written so far, for a caller that finds
    // part way that the file must be taken another way: nothing of it stays on disk, and
    // reading starts again at the beginning. False when it cannot.
    bool startOver();

    // For a caller that has read the whole file and will not read it again: the system
    // may drop the old content's cached pages once the new content starts, unless journal
    // (nullptr: none) is to copy the old content. Call after open().
    void releaseCacheOnWrite(const Journal *journal);
    // The next piece of the new content. FolderNotWritable when the folder takes no new
    // file and the file cannot be written in place; ReadOnly when this user may not write
    // the file (another's, where a new file could not be given back to its owner);
    // WriteFailed (a full disk) otherwise.
    Reason write(const char *data, qint64 size);
    // Gives the new file the old one's metadata and keeps the old one in journal
    // (nullptr: a run without undo). For a file written in place, the journal's copy
    // is on disk when this returns.
    Reason stage(Journal *journal);
    // Checks that the file is still the one that was read, unchanged, and puts the new
    // content in its place. ChangedDuringRun leaves the file to whoever changed it.
    Reason commit(Sync sync = Sync::Here);
    // Abandons the rewrite; the file stays as it was.
    void discard();

    // What undo puts back: a run's kept original, open as fd, with the mode, owner and group
    // the file had. inPlace: the run wrote the file where it stands, and so does undo, so
    // that the file keeps the inode its journal names.
    struct Original
    {
        int fd = -1;
        qint64 size = 0;
        quint32 mode = 0;
        quint32 uid = 0;
        quint32 gid = 0;
        bool inPlace = false;
    };
    // Undo's rewrite, by the same steps as any other: file, open in folder under name and
    // found by the caller as the run left it (now), takes back original's content, mode,
    // owner, ACL and attributes. Before a file is overwritten where it stands,
    // beforeInPlace() makes durable that it is, so that a write cut short is finished from
    // original by the next undo. ChangedDuringRun leaves the file to whoever changed it.
    Reason restore(UniqueFd folder, const QByteArray &name, UniqueFd file, const struct stat &now,
        const Original &original, const std::function<bool()> &beforeInPlace);

    // Makes the new content of every staged file, and the journal's records of them, reach
    // the disk: one syncfs per file system. On WriteFailed, commit each with Sync::Here,
    // which finds out which file it was.
    static Reason syncStaged(const QVector<SafeFile *> &files, Journal *journal);

    // Valid after open().
    FileIdentity identity() const;
    qint64 size() const { return m_original.st_size; }
    // The file's own path: a listed link's target.
    QByteArray nativePath() const;
    // Known after the first write() (or stage()).
    bool writesInPlace() const { return m_inPlace; }
    // Of the bytes readAll() read; none before it read them all.
    std::optional<Digest> readDigest() const
    {
        return m_read ? std::optional<Digest>(m_before) : std::nullopt;
    }

private:
    enum class Step { Closed, Opened, Writing, Staged, Done, Failed };

    Reason openAt(const QByteArray &folder, const QByteArray &name, bool followLink);
    Reason beginWrite();
    // refused: the reason when the file cannot be opened for writing either.
    Reason beginInPlace(Reason refused);
    void releaseOldCache();
    // Deletes the new content's temp file, if there is one.
    void removeTemp();
    Reason commitInPlace();
    bool writeInPlace(qint64 offset, qint64 end);
    bool restoreInPlace();
    Reason fail(Reason reason);

    Step m_step = Step::Closed;
    UniqueFd m_folder;
    UniqueFd m_file;
    UniqueFd m_temp;
    UniqueFd m_writable; // the file itself, opened for writing in place
    QByteArray m_folderPath;
    QByteArray m_name;
    QByteArray m_tempName;
    struct stat m_original = {};
    Digest m_before;
    bool m_read = false;
    // Reading in pieces: the digest so far, how much was read, and whether a read failed.
    std::unique_ptr<ContentHash> m_reading;
    qint64 m_readSoFar = 0;
    bool m_readFailed = false;
    // Of the new content: how much was written, and up to where it was sent to the disk.
    qint64 m_written = 0;
    qint64 m_startedOut = 0;
    bool m_releaseCache = false;
    std::unique_ptr<ContentHash> m_after;
    Digest m_afterDigest;
    bool m_inPlace = false;
    QByteArray m_pending; // the new content, when written in place
    QByteArray m_backup; // the old content, when written in place without a journal
    Journal *m_journal = nullptr;
    // Undo's: the content and metadata come from a kept original.
    bool m_restoring = false;
    Original m_restore;
    std::function<bool()> m_beforeInPlace;
    qint64 m_entry = -1;
    quint64 m_recordSequence = 0;
};

#pragma once

#include "operations/BackupRecord.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUuid>

#include <array>
#include <functional>
#include <memory>
#include <optional>

namespace vellmir {

// What a listing needs of every record of the history folder, kept in one file beside it
// ("<folder>.index"), so that finding a destination's newest records costs a few small reads of
// that file instead of reading and decoding every record. A change adds an entry at the end of
// the file, and now and then the whole is written again in its compact form. A process keeps the
// file open and holds only its header, tables and the entries added since in memory; the others
// are read when asked for. The record files stay the truth:
// - the index names the folder's stamp it describes, and is trusted only while the folder's stamp
//   is unchanged and the index was either built from a folder that had settled before it was read
//   (a change within the same clock tick could otherwise go unseen) or brought up to date by one
//   of our writers from an index trusted just before its write (or, within one Call, read during
//   it); otherwise the files that are new or whose stamp changed are read and merged into it;
// - an index that is missing, cut short, fails a checksum or was written by another version is
//   rebuilt from the files; every entry read later is checked against the very write whose header
//   was read, so whatever another program does to the open file shows as damage, never as an
//   answer;
// - a record handed out in full is read from its own file and must agree with its index entry.
class HistoryIndex {
public:
    // A record as the index knows it: id, destinationID, startedAt, finishedAt, outcome, scope and
    // prunedAt; the rest left empty. `name` is its file's name in the folder, a plain name.
    struct Entry {
        QByteArray name;
        BackupRecord outline;
    };
    using Clock = std::function<Date()>;

    // The index of the folder, from this process's copy or the file when that can be trusted,
    // otherwise rebuilt from the record files (and written back when possible). `rebuild` forces
    // the latter. `now` judges whether the folder has settled. Empty when the folder does not
    // exist; throws Error when it cannot be listed.
    static std::shared_ptr<const HistoryIndex> current(
        const QString &directory, const Clock &now, bool rebuild = false);

    // One answer's reading of the history, while it lives on this thread: a folder's index is read
    // (or rebuilt, while the folder settles) once, however many questions the answer asks of it,
    // unless the folder's stamp moves or one of our writers changes it meanwhile.
    class Call {
    public:
        Call();
        ~Call();
        Call(const Call &) = delete;
        Call &operator=(const Call &) = delete;
    };

    // Runs `write`, which puts the record's file `name` in place, under the index's lock, then
    // gives the index that file's entry in place of the one it had (added at the end of the file),
    // if the index was trusted just before; otherwise the next listing rebuilds it. Throws what `write` throws; the
    // index is a cache, so failing to update it is no failure.
    static void update(const QString &directory, const QByteArray &name, const BackupRecord &record,
        const std::function<void()> &write);

    // The entries of the destination, newest first (equal start times in folder order), at most
    // `limit` of them; nullopt when one of them is damaged (the index must then be rebuilt).
    std::optional<QList<Entry>> entries(const QUuid &destinationID, qsizetype limit = -1) const;
    // The outlines of the destination's records newest first, down to the newest complete one made
    // with `scope` that says when it finished, not dated after `now` (all of them when there is
    // none), then every older one still "running"; nullopt as for entries().
    std::optional<QList<BackupRecord>> outlines(const QUuid &destinationID, const QString &scope, Date now) const;
    // How many of the destination's newest entries reach down to its oldest one still "running"
    // (0 when none is); nullopt as for entries().
    std::optional<qsizetype> runningDepth(const QUuid &destinationID) const;
    // Hands the destination's outlines to `each`, newest first, until it returns false, holding a
    // few entries at a time; false when an entry is not whole (the index must then be rebuilt).
    bool eachOutline(const QUuid &destinationID, const std::function<bool(const BackupRecord &)> &each) const;
    // How many records the destination has, without reading its entries.
    qsizetype count(const QUuid &destinationID) const;
    // Whether a record of the destination says "running", without reading its entries.
    bool anyRunning(const QUuid &destinationID) const;
    // The latest prunedAt among the destination's records, without reading its entries.
    std::optional<Date> latestPrune(const QUuid &destinationID) const;

    // Whether the record decoded from an entry's file is the one the entry describes.
    static bool agrees(const BackupRecord &record, const BackupRecord &outline);
    // Whether a name read from the index may name a file of the folder: one plain name.
    static bool plainName(const QByteArray &name);

    // Forgets the indexes this process has read, so the next listing reads the file again.
    static void clearCache();

    // The path of the index that belongs to `directory`.
    static QString pathFor(const QString &directory);

    HistoryIndex() = default;
    ~HistoryIndex();
    HistoryIndex(const HistoryIndex &) = delete;
    HistoryIndex &operator=(const HistoryIndex &) = delete;

private:
    friend struct HistoryIndexAccess;
    // `size` bytes at `offset`, from the open file or, for an index no file holds, from memory;
    // nullopt when they are not all there.
    std::optional<QByteArray> bytesAt(quint64 offset, quint64 size) const;
    // The same into `to`; false when they are not all there.
    bool readInto(char *to, quint64 offset, quint64 size) const;

    struct Tail;

    int m_file = -1;
    QByteArray m_bytes; // the whole index, when no file of it could be kept open
    QByteArray m_header; // the header and tables, as checked when attached
public:
    static constexpr size_t headerSize = 112;

private:
    std::array<char, headerSize> m_head {}; // the header alone, as checked when attached
    QList<QByteArray> m_scopes; // the scope table's, then those only the appended entries name
    std::unique_ptr<const Tail> m_tail; // what was appended after the compact index, as checked when attached
    quint64 m_end = 0; // where the index ended when attached
    bool m_attached = false;
};

} // namespace vellmir

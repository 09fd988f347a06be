#pragma once

#include "operations/BackupRecord.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QUuid>

#include <memory>
#include <optional>

namespace vellmir {

// What a listing needs of every record of the history folder, kept in one file beside it
// ("<folder>.index"), so that finding a destination's newest records costs one read of that file
// instead of reading and decoding every record. The record files stay the truth:
// - the index names the folder's identity and times it was built from, and is trusted only while
//   they are unchanged and the folder had settled before it was built (a change within the same
//   clock tick could otherwise go unseen); otherwise it is rebuilt, decoding only the files whose
//   identity, size or times changed;
// - an index that is missing, truncated, fails its checksum or was written by another version is
//   rebuilt from the files;
// - a record handed out in full is read from its own file and must agree with its index entry.
class HistoryIndex {
public:
    // A record as the index knows it: id, destinationID, startedAt, finishedAt, outcome, scope and
    // prunedAt; the rest left empty. `name` is its file's name in the folder.
    struct Entry {
        QByteArray name;
        BackupRecord outline;
    };

    // The index of the folder, from its file when that can be trusted, otherwise rebuilt from the
    // record files (and written back when possible). `rebuild` forces the latter, decoding every
    // file. Empty when the folder does not exist; throws Error when it cannot be listed.
    static std::shared_ptr<const HistoryIndex> current(const QString &directory, bool rebuild = false);

    // The entries of the destination, newest first (equal start times in folder order), at most
    // `limit` of them; nullopt when one of them is damaged (the index must then be rebuilt).
    std::optional<QList<Entry>> entries(const QUuid &destinationID, qsizetype limit = -1) const;

    // Whether a record of the destination says "running", without reading its entries.
    bool anyRunning(const QUuid &destinationID) const;

    // Whether the record decoded from an entry's file is the one the entry describes.
    static bool agrees(const BackupRecord &record, const BackupRecord &outline);

    // Forgets the indexes this process has loaded, so the next listing reads the file again.
    static void clearCache();

    // The path of the index that belongs to `directory`.
    static QString pathFor(const QString &directory);

    // The suffix a record that does not decode is renamed with, so that it is left out and kept.
    static QString setAsideSuffix();

    HistoryIndex() = default;

private:
    friend struct HistoryIndexAccess;
    // The whole index: built here, or mapped from its file so a listing touches only the pages of
    // the destinations it asks about.
    QByteArray m_bytes;
    std::shared_ptr<QFile> m_file;
    const char *m_data = nullptr;
    qsizetype m_size = 0;
    qsizetype m_destinations = 0;
    qsizetype m_count = 0;
};

} // namespace vellmir

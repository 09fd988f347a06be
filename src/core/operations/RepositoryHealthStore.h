#pragma once

#include "config/CredentialsStore.h"
#include "config/Destination.h"
#include "operations/RepositoryHealth.h"

#include <QString>
#include <QStringList>
#include <QUuid>
#include <functional>
#include <optional>
#include <stop_token>

namespace vellmir {

class ResticEngine;

// Keeps one health record per destination ("<ID>.json" in a folder every process of the
// application shares) and runs the restic operations that fill it: an integrity check, a
// storage measurement and a test restore. Holds no mutable state; every write is a locked
// read-modify-write under the record's sibling "<ID>.lock", and every write replaces the
// file atomically so that load() needs no lock.
//
// The restic operations block until restic is done and may run on any thread; a stop
// request cancels the restic run (CancellationError) and records nothing.
class RepositoryHealthStore {
public:
    using Mutation = std::function<void(RepositoryHealth &)>;

    // The sentence a successful check records.
    static QString checkSucceededMessage();
    // restoredSelection of a restore without a path.
    static QString wholeSnapshotSelection();
    // Entries of at most this size (and at least one byte) qualify as the test-restore sample.
    static constexpr qint64 maximumSampleSize = 1048576;
    // The test-restore sample folder's name begins with this.
    static QString sampleFolderPrefix();

    // `directory` defaults to the application's "health" folder.
    explicit RepositoryHealthStore(CredentialsStore credentials);
    RepositoryHealthStore(QString directory, CredentialsStore credentials);

    const QString &directory() const { return m_directory; }
    const CredentialsStore &credentials() const { return m_credentials; }

    QString recordPath(const QUuid &destinationID) const;
    QString lockPath(const QUuid &destinationID) const;

    // The destination's record; the empty record when there is none or when it was written
    // for another repository string. Takes no lock, writes nothing; a file that cannot be
    // read throws. One that does not decode is set aside (renamed with setAsideSuffix(),
    // logged) and reads as the empty record.
    RepositoryHealth load(const Destination &destination) const;

    // Locked read-modify-write of the record named by the id (the lock is waited for). A
    // missing file, or one set aside as load() does, starts from the empty record; an
    // unreadable one throws and stays as it is.
    void update(const QUuid &destinationID, const Mutation &mutation) const;

    // What a damaged record's file name gets appended: "<UUID>.json.damaged".
    static QString setAsideSuffix();
    // The names of the destination's record files set aside, sorted; empty when none.
    QStringList setAsideRecords(const QUuid &destinationID) const;

    // Records a restore that restic verified; no path means the whole snapshot.
    void recordRestore(
        const Destination &destination, const QString &snapshot, const std::optional<QString> &path) const;

    // "check --read-data-subset 5%", recorded whether it passed or failed. A run that never
    // started (busy repository, no restic, failed launch) throws its reason and records
    // nothing; a failed check throws after it was recorded.
    void check(const Destination &destination, const ResticEngine &engine, std::stop_token stop = {}) const;
    // "stats --mode raw-data --json"; appends the repository's size to the usage series.
    void measure(const Destination &destination, const ResticEngine &engine, std::stop_token stop = {}) const;
    // Restores one small file of the newest snapshot of this computer into a private
    // temporary folder, lets restic verify it, confirms it on disk, removes the folder and
    // records the verified restore. The folder never outlives the call unless it could not
    // be removed, and then the error names it.
    void testRecovery(const Destination &destination, const ResticEngine &engine, std::stop_token stop = {}) const;

private:
    // update() tied to the destination's repository: a record of another repository string
    // starts afresh.
    void update(const Destination &destination, const Mutation &mutation) const;

    QString m_directory;
    CredentialsStore m_credentials;
};

} // namespace vellmir

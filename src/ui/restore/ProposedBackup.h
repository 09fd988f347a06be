#pragma once

#include "restore/BackupEntry.h"

#include <QList>
#include <QStringList>

namespace vellmir {

// What the next backup would take from one local folder, child by child, measured on the local
// disk with the destination's own exclude patterns (no restic run).
namespace ProposedBackup {

// The direct children of `directory`, hidden ones included, each marked excluded or sized
// (folders through the local estimate, so what the patterns drop beneath them is left out), in
// entry order. `excludes` are the patterns as stored, "~" forms included. A folder the patterns
// exclude holds nothing the backup takes, so all its children are excluded. Names are matched
// and measured as the bytes on disk; `directory` and the entries' paths are LocalPath strings.
// A folder that cannot be listed gives an empty list. `sources` are the destination's folders:
// one inside `directory` is walked as restic walks it (see Estimator::backupRoots). Blocks until
// every child folder is measured and cannot be cancelled: run it off the GUI thread.
QList<BackupEntry> children(const QString &directory, const QStringList &excludes, const QStringList &sources = {});

// Entry order: what will be backed up before what will not, then larger before smaller. No
// other key, so entries equal in both keep their relative order.
bool precedes(const BackupEntry &a, const BackupEntry &b);
// A stable sort by entry order, for lists changed after a listing.
void sortByEntryOrder(QList<BackupEntry> &entries);

} // namespace ProposedBackup

} // namespace vellmir

#pragma once

#include "engine/Snapshot.h"

#include <QByteArray>
#include <QStringList>

#include <string>
#include <vector>

namespace vellmir {

// What a backup of some folders would hold after the exclude patterns, measured on the local
// disk: no repository and no restic run.
namespace Estimator {

// One folder (or file) a backup of some sources walks, as restic arranges what it is handed:
// each source resolved and given once (a link and its target are one path), and a source inside
// another one walked as part of it. restic then tests neither the outer source nor the folders
// on the way down to the inner one against the patterns, only every item beside that way.
struct BackupRoot {
    QString source; // as stored: the first source that resolves to `path`
    QByteArray path; // the resolved path, as bytes
    std::vector<std::string> passed; // the folders restic does not test; empty without inner sources
};
std::vector<BackupRoot> backupRoots(const QStringList &sources);

// Counts the regular files a backup of `sources` would hold (see backupRoots) that no pattern
// excludes, with their allocated size (file size where that is missing). A source that is
// excluded, missing, unreadable or not a folder adds nothing; unreadable items are left out.
// Never fails; any thread.
BackupEstimate localEstimate(const QStringList &sources, const QStringList &excludes);

// The sources (as given) of which a backup with `excludes` holds nothing: the path restic is
// handed for one (the folder a link leads to) is excluded, or it holds files and every one of
// them is, as restic would walk it. Each walk ends at the first file kept. Any thread.
QStringList leftOutWhole(const QStringList &sources, const QStringList &excludes);
// leftOutWhole() for each of several exclude lists, in one walk per source that ends once every
// list has kept a file.
QList<QStringList> leftOutWhole(const QStringList &sources, const QList<QStringList> &lists);

} // namespace Estimator

} // namespace vellmir

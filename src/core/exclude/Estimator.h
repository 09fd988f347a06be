#pragma once

#include "engine/Snapshot.h"

#include <QStringList>

namespace vellmir {

// What a backup of some folders would hold after the exclude patterns, measured on the local
// disk: no repository and no restic run.
namespace Estimator {

// Counts the regular files below each source that no pattern excludes, with their allocated
// size (file size where that is missing). A source that is excluded, missing, unreadable or not
// a folder adds nothing; unreadable items are left out. Sources are not compared: a file under
// two of them counts twice. Never fails; any thread.
BackupEstimate localEstimate(const QStringList &sources, const QStringList &excludes);

} // namespace Estimator

} // namespace vellmir

#pragma once

#include "exclude/ExcludeCandidate.h"
#include "exclude/ExcludeDetectorProbes.h"

#include <QList>
#include <QStringList>

namespace vellmir {

// Folders that a cloud service keeps in sync. Syncing is not a backup, so they are offered for
// review only, never preselected.
class CloudSync {
public:
    explicit CloudSync(ExcludeDetectorProbes probes = ExcludeDetectorProbes::local());

    QList<ExcludeCandidate> detect(const QStringList &sources) const;

    // "GoogleDrive-Work" -> "Google Drive", "OneDrive-Personal" -> "OneDrive".
    static QString providerName(const QString &folderName);

private:
    ExcludeDetectorProbes m_probes;
};

} // namespace vellmir

#pragma once

#include <QHash>
#include <QString>

namespace vellmir {

// One node of a snapshot listing.
struct SnapshotEntry {
    QString path; // absolute path inside the snapshot, as restic prints it
    QString type; // restic's node type: "dir", "file", "symlink", ...
    qint64 size = 0; // bytes; 0 when restic gives none (folders)

    bool isDirectory() const { return type == QLatin1String("dir"); }

    friend bool operator==(const SnapshotEntry &, const SnapshotEntry &) = default;
};

inline size_t qHash(const SnapshotEntry &entry, size_t seed = 0) noexcept
{
    return qHashMulti(seed, entry.path, entry.type, entry.size);
}

} // namespace vellmir

#pragma once

#include <QHashFunctions>
#include <QString>
#include <QtGlobal>

namespace vellmir {

// One direct child of a local folder as the next backup would see it. `id` is the path, so
// lists can key rows by it.
struct BackupEntry {
    QString id;
    QString name; // last path component
    QString path; // the folder's path, "/", the name
    qint64 size = 0; // bytes the next backup would read; 0 when excluded
    bool isDirectory = false; // the item itself, links not resolved
    bool isExcluded = false;

    friend bool operator==(const BackupEntry &, const BackupEntry &) = default;
};

inline size_t qHash(const BackupEntry &entry, size_t seed = 0)
{
    return qHashMulti(seed, entry.id, entry.name, entry.path, entry.size, entry.isDirectory, entry.isExcluded);
}

} // namespace vellmir

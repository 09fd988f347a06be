#pragma once

#include <QList>
#include <QString>
#include <QStringList>

struct stat;

namespace vellmir {

// What stat says about a file or folder at one moment: enough to tell that something wrote,
// replaced, created or deleted it since, without reading it. A write in place moves the times
// and often the size, a rename over it brings another inode, and a folder's times move with
// every entry created, renamed or removed in it.
struct FileStamp {
    bool exists = false;
    qint64 size = 0;
    qint64 modified = 0; // nanoseconds
    qint64 changed = 0; // status change, nanoseconds
    quint64 inode = 0;
    quint64 device = 0;

    // The stamp of `path` now; a missing or unreadable one gives the stamp of nothing.
    static FileStamp of(const QString &path);
    // The stamp of what `status` describes.
    static FileStamp of(const struct stat &status);
    // Those of every path, in order.
    static QList<FileStamp> of(const QStringList &paths);

    friend bool operator==(const FileStamp &, const FileStamp &) = default;
};

} // namespace vellmir

#pragma once

#include "util/AtomicFile.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

namespace vellmir {

// Reads a folder of small JSON files through one open directory descriptor, so a listing
// costs one directory read plus one open per file. Names are the raw file-system bytes, in
// the order the file system returns them.
class FolderReader {
public:
    // Whether the reader lists the folder's names, or only opens it to read files it names.
    enum class Listing { names, none };

    // Opens and lists the folder. A path where nothing exists gives a reader with exists()
    // false and no names; any other failure throws Error naming `what` and the path.
    FolderReader(const QString &path, const QString &what, Listing listing = Listing::names);
    ~FolderReader();
    FolderReader(const FolderReader &) = delete;
    FolderReader &operator=(const FolderReader &) = delete;

    bool exists() const { return m_descriptor >= 0; }
    // The folder's own status, taken before its entries were read.
    const struct stat &folderStatus() const { return m_status; }
    const QList<QByteArray> &names() const { return m_names; }
    // The inode number of each name, as the listing gave it, in the same order.
    const QList<quint64> &inodes() const { return m_inodes; }

    // The entry's own status (a link's, not its target's); false when it cannot be read.
    bool status(const QByteArray &name, struct stat &info) const;
    // The whole file, and the status of the very file that was read (of a link: the link's),
    // read as readRegularFile() does: never through a link, never waiting, at most `bound`
    // bytes. Throws UnfitFileError for what is no regular file within the bound, which
    // callers set aside or skip, and Error naming the file for any other failure.
    QByteArray read(const QByteArray &name, struct stat &info, qsizetype bound = FileBound::record) const;
    // Deletes the entry; false when that failed.
    bool remove(const QByteArray &name) const;
    // Renames the entry to `name` + `suffix`, or + `suffix` + "-2", "-3", ... when that exists,
    // provided it is still the very file `read` described (another writer may have replaced it
    // since). The new name, or an empty array when nothing was renamed.
    QByteArray setAside(const QByteArray &name, const struct stat &read, const QByteArray &suffix) const;
    // What every store of ours appends to the name of a file that does not decode, so that it
    // is left out and kept: "<name>.json.damaged".
    static QString damagedSuffix() { return QStringLiteral(".damaged"); }
    // setAside for a file that does not decode, logged under `component`: `problem` and where the
    // file went, or, when it could not be moved, `problem` and `stays` once per process.
    void setAsideLogged(const QByteArray &name, const struct stat &read, const QByteArray &suffix,
        const QString &component, const QString &problem, const QString &stays) const;
    // The names in the folder at `path` that contain `marker`, sorted; none when it cannot be
    // listed (whoever reads the folder itself reports that).
    static QStringList namesContaining(const QString &path, const QString &what, const QByteArray &marker);
    // Logs a problem with the entry `name` once per process, since folders are listed every few
    // seconds.
    void logOnce(const QByteArray &name, const QString &component, const QString &message) const;

    // Whether the name has the extension "json" exactly (a name that only begins with a dot
    // has no extension).
    static bool hasJsonExtension(const QByteArray &name);

private:
    QString m_path;
    int m_descriptor = -1;
    struct stat m_status { };
    QList<QByteArray> m_names;
    QList<quint64> m_inodes;
};

} // namespace vellmir

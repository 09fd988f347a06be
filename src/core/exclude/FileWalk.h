#pragma once

#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vellmir {

// What a walk read about one item. Values that could not be read stay absent, and an item
// whose values could not be read at all has `readable` false.
struct FileValues {
    bool readable = false;
    bool isDirectory = false;
    bool isRegularFile = false;
    std::optional<qint64> allocatedSize; // bytes on disk
    std::optional<qint64> fileSize; // logical length
};

// The size an item adds to a folder's or a backup's total: its allocated size, else its file
// size, else nothing. Only regular files count.
inline qint64 countedSize(const FileValues &values)
{
    if (!values.readable || !values.isRegularFile)
        return 0;
    if (values.allocatedSize)
        return *values.allocatedSize;
    return values.fileSize.value_or(0);
}

// A depth-first walk below one folder that visits hidden items, never follows symbolic links
// below the root and goes on past every error. Paths are handed out as NUL-terminated bytes
// from one reused buffer, so a walk over a large tree does no allocation per item. Only the
// values asked for are read: a walk that needs types alone does no stat of directories or of
// items whose type the directory listing already gives.
class FileWalk {
public:
    enum class Values {
        type, // isDirectory and isRegularFile
        sizes, // type plus allocatedSize and fileSize of regular files
    };
    enum class Step {
        descend, // go into the item when it is a directory
        skipDescendants,
    };

    struct Item {
        const char *path; // root as given (trailing "/" removed) + "/" + relative path
        std::size_t pathLength;
        const char *name; // last path component, inside path
        FileValues values;
        // The item relative to an open folder, for *at() calls that spare the kernel a walk of
        // the whole path: atPath is the name under atFd, or the whole path with AT_FDCWD.
        int atFd;
        const char *atPath;
        // The errno when the item's values could not be read (values.readable false), else 0. A
        // path longer than the system allows (ENAMETOOLONG) is not read at all.
        int error = 0;
    };

    class Visitor {
    public:
        virtual ~Visitor() = default;
        virtual Step visit(const Item &item) = 0;
        // A folder the visitor descended into could not be opened or listed; `error` is errno.
        // The walk goes on with the folder's siblings.
        virtual void failed(const Item &item, int error)
        {
            Q_UNUSED(item)
            Q_UNUSED(error)
        }
    };

    // Visits every item below `root` (not the root itself). A root that is a symbolic link to a
    // folder is followed, since the caller named it, and so is each link below it whose path is
    // one of `through` (restic lists a link on the way down to a source inside another source as
    // the folder it leads to). Returns false when the root cannot be listed, in which case
    // nothing was visited. Run by a Workers job, the walk goes into no further folder once the
    // job is asked to stop.
    static bool walk(const QString &root, Values values, Visitor &visitor);
    static bool walk(const char *root, Values values, Visitor &visitor, const std::vector<std::string> &through = {});

    // Reads the values of one item at `path` without following a final symbolic link.
    static FileValues valuesAt(const char *path);
};

} // namespace vellmir

#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <vector>

#include <dirent.h>

namespace vellmir {

// A pre-order walk below one folder that never follows symbolic links and includes hidden
// items. After an item is yielded the caller may prune it; otherwise a real directory is
// entered before its siblings come. Folders that cannot be opened go to the error handler
// and the walk goes on.
class DirectoryWalker {
public:
    struct Item {
        QString path;
        int level = 0; // a direct child of the root is level 1
        bool isDirectory = false; // a real directory, not a link to one
    };

    using ErrorHandler = std::function<void(const QString &path)>;

    explicit DirectoryWalker(const QString &root, ErrorHandler onError = {});
    ~DirectoryWalker();
    DirectoryWalker(const DirectoryWalker &) = delete;
    DirectoryWalker &operator=(const DirectoryWalker &) = delete;

    // False when the root itself could not be opened.
    bool isOpen() const { return !m_frames.empty(); }

    // The next item, or false when the walk is over.
    bool next(Item &item);
    // Do not enter the item last yielded.
    void skipDescendants() { m_enterPending = false; }

private:
    struct Frame {
        DIR *dir;
        QByteArray path; // encoded, without a trailing slash except for "/"
        int level;
    };
    void push(const QByteArray &path, int level, bool reportFailure);

    std::vector<Frame> m_frames;
    ErrorHandler m_onError;
    QByteArray m_pendingPath;
    int m_pendingLevel = 0;
    bool m_enterPending = false;
};

} // namespace vellmir

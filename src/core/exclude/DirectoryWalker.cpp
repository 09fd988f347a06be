#include "exclude/DirectoryWalker.h"

#include "util/LocalPath.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace vellmir {

DirectoryWalker::DirectoryWalker(const QString &root, ErrorHandler onError)
    : m_onError(std::move(onError))
{
    push(LocalPath::encode(root), 0, false);
}

DirectoryWalker::~DirectoryWalker()
{
    for (Frame &frame : m_frames)
        ::closedir(frame.dir);
}

void DirectoryWalker::push(const QByteArray &path, int level, bool reportFailure)
{
    DIR *dir = ::opendir(path.constData());
    if (!dir) {
        if (reportFailure && m_onError)
            m_onError(LocalPath::decode(path));
        return;
    }
    QByteArray trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith('/'))
        trimmed.chop(1);
    m_frames.push_back(Frame { dir, trimmed, level });
}

bool DirectoryWalker::next(Item &item)
{
    if (m_enterPending) {
        m_enterPending = false;
        push(m_pendingPath, m_pendingLevel, true);
    }
    while (!m_frames.empty()) {
        Frame &frame = m_frames.back();
        errno = 0;
        const dirent *entry = ::readdir(frame.dir);
        if (!entry) {
            if (errno != 0 && m_onError)
                m_onError(LocalPath::decode(frame.path));
            ::closedir(frame.dir);
            m_frames.pop_back();
            continue;
        }
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        QByteArray path = frame.path;
        if (!path.endsWith('/'))
            path.append('/');
        path.append(name);

        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info;
            isDirectory = ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode);
        }
        item.path = LocalPath::decode(path);
        item.level = frame.level + 1;
        item.isDirectory = isDirectory;
        m_enterPending = isDirectory;
        m_pendingPath = path;
        m_pendingLevel = item.level;
        return true;
    }
    return false;
}

} // namespace vellmir

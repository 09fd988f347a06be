#include "exclude/FileWalk.h"

#include "util/LocalPath.h"
#include "util/Workers.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>

#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vellmir {

namespace {

// Directories deeper than this are read completely and closed before their children are
// visited, so a pathologically deep tree cannot run the process out of descriptors.
constexpr std::size_t kMaxOpenDepth = 96;

FileValues valuesFromStatx(const struct statx &st, FileWalk::Values wanted)
{
    FileValues values;
    values.readable = true;
    const mode_t mode = st.stx_mode;
    values.isDirectory = S_ISDIR(mode);
    values.isRegularFile = S_ISREG(mode);
    if (wanted == FileWalk::Values::sizes && values.isRegularFile) {
        // A file system that cannot report allocated blocks leaves the field out of the mask;
        // the file size stands in then.
        if (st.stx_mask & STATX_BLOCKS)
            values.allocatedSize = qint64(st.stx_blocks) * 512;
        if (st.stx_mask & STATX_SIZE)
            values.fileSize = qint64(st.stx_size);
    }
    return values;
}

FileValues readValues(int dirFd, const char *name, FileWalk::Values wanted, int &error)
{
    struct statx st;
    unsigned mask = STATX_TYPE;
    if (wanted == FileWalk::Values::sizes)
        mask |= STATX_SIZE | STATX_BLOCKS;
    if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, mask, &st) != 0) {
        error = errno;
        return {};
    }
    if (!(st.stx_mask & STATX_TYPE)) {
        error = EIO;
        return {};
    }
    return valuesFromStatx(st, wanted);
}

struct Level {
    std::string names; // entries, each followed by NUL
    std::vector<std::pair<std::size_t, unsigned char>> entries; // offset into names, d_type
};

class Walker {
public:
    Walker(FileWalk::Values values, FileWalk::Visitor &visitor, const std::vector<std::string> &through)
        : m_values(values)
        , m_visitor(visitor)
        , m_through(through)
    {
    }

    void run(const char *root, int fd)
    {
        m_path.reserve(4096);
        m_path.assign(root);
        // "/x/" and "/x" give the same child paths, and "/" gives "/a" rather than "//a".
        while (!m_path.empty() && m_path.back() == '/')
            m_path.pop_back();
        // The caller of walk() learns only whether the root opened; the rest is the visitor's.
        (void)walkDirectory(fd, 0);
    }

private:
    // Returns 0, or the errno of a folder that could not be listed.
    int walkDirectory(int fd, std::size_t depth)
    {
        DIR *dir = fdopendir(fd);
        if (!dir) {
            const int error = errno;
            close(fd);
            return error;
        }
        if (m_levels.size() <= depth)
            m_levels.push_back(std::make_unique<Level>());
        Level &level = *m_levels[depth];
        level.names.clear();
        level.entries.clear();
        for (;;) {
            errno = 0;
            const dirent *entry = readdir(dir);
            if (!entry)
                break;
            const char *n = entry->d_name;
            if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))
                continue;
            level.entries.emplace_back(level.names.size(), entry->d_type);
            level.names.append(n);
            level.names.push_back('\0');
        }
        // What was listed before a read error is still visited.
        const int listError = errno;

        const bool keepOpen = depth < kMaxOpenDepth;
        int dirFd = keepOpen ? dirfd(dir) : AT_FDCWD;
        if (!keepOpen) {
            closedir(dir);
            dir = nullptr;
        }

        const std::size_t baseLength = m_path.size();
        for (const auto &[offset, type] : level.entries) {
            const char *name = level.names.data() + offset;
            m_path.push_back('/');
            m_path.append(name);
            const char *relative = keepOpen ? name : m_path.c_str();

            // restic reaches every item by its whole path, so one longer than the system allows
            // is an error to it however this walk could reach it.
            int valuesError = m_path.size() >= PATH_MAX ? ENAMETOOLONG : 0;
            const FileValues values = valuesError ? FileValues() : valuesFor(dirFd, relative, type, valuesError);
            FileWalk::Item item { m_path.c_str(), m_path.size(), m_path.c_str() + baseLength + 1, values, dirFd,
                relative, valuesError };
            const FileWalk::Step step = m_visitor.visit(item);
            // Only a link can be a folder on the way that the listing does not call one; files,
            // the bulk of a walk, are never looked up.
            const bool through = step == FileWalk::Step::descend && !values.isDirectory && !values.isRegularFile
                && !m_through.empty() && std::find(m_through.cbegin(), m_through.cend(), m_path) != m_through.cend();
            if (step == FileWalk::Step::descend && (values.isDirectory || through) && !m_stop.stop_requested()) {
                const int child
                    = openat(dirFd, relative, O_RDONLY | O_DIRECTORY | (through ? 0 : O_NOFOLLOW) | O_CLOEXEC);
                const int error = child >= 0 ? walkDirectory(child, depth + 1) : errno;
                // A folder replaced by a link between listing and opening is not an error.
                if (error != 0 && error != ELOOP && error != ENOTDIR) {
                    // The walk below may have moved the path buffer.
                    item.path = m_path.c_str();
                    item.name = m_path.c_str() + baseLength + 1;
                    item.atPath = keepOpen ? item.name : m_path.c_str();
                    m_visitor.failed(item, error);
                }
            }
            m_path.resize(baseLength);
        }
        if (dir)
            closedir(dir);
        return listError;
    }

    FileValues valuesFor(int dirFd, const char *relative, unsigned char type, int &error)
    {
        // The listing's type saves a stat wherever the walk needs nothing more.
        switch (type) {
        case DT_DIR: {
            FileValues values;
            values.readable = true;
            values.isDirectory = true;
            return values;
        }
        case DT_REG:
            if (m_values == FileWalk::Values::type) {
                FileValues values;
                values.readable = true;
                values.isRegularFile = true;
                return values;
            }
            return readValues(dirFd, relative, m_values, error);
        case DT_UNKNOWN:
            return readValues(dirFd, relative, m_values, error);
        default: {
            // Links, sockets, devices and pipes: neither directories nor regular files.
            FileValues values;
            values.readable = true;
            return values;
        }
        }
    }

    FileWalk::Values m_values;
    FileWalk::Visitor &m_visitor;
    const std::vector<std::string> &m_through;
    // A job whose owner is closing goes no deeper.
    const std::stop_token m_stop = jobStop();
    std::string m_path;
    std::vector<std::unique_ptr<Level>> m_levels;
};

} // namespace

bool FileWalk::walk(const QString &root, Values values, Visitor &visitor)
{
    if (root.isEmpty())
        return false;
    const QByteArray encoded = LocalPath::encode(root);
    return walk(encoded.constData(), values, visitor);
}

bool FileWalk::walk(const char *root, Values values, Visitor &visitor, const std::vector<std::string> &through)
{
    if (!root || !*root)
        return false;
    const int fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    Walker walker(values, visitor, through);
    walker.run(root, fd);
    return true;
}

FileValues FileWalk::valuesAt(const char *path)
{
    int error = 0;
    return readValues(AT_FDCWD, path, Values::sizes, error);
}

} // namespace vellmir

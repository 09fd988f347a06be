#pragma once

#include "TestSupport.h"

#include <QByteArrayList>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vellmir::test {

// Builds small trees for the walks and says what they should count: allocated sizes are read
// with lstat here, independently of the code under test.
inline qint64 allocated(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return qint64(st.st_blocks) * 512;
}

inline qint64 allocatedSum(const QString &root, const QStringList &relativePaths)
{
    qint64 total = 0;
    for (const QString &relative : relativePaths)
        total += allocated(root + u'/' + relative);
    return total;
}

inline void makeFile(const QString &root, const QString &relative, int size)
{
    writeFile(root + u'/' + relative, QByteArray(size, 'x'));
}

// A file reached folder by folder with *at() calls, so that names need not be UTF-8 and the
// whole path may be longer than the system allows.
inline void makeFileAt(const QByteArray &root, const QByteArrayList &folders, const QByteArray &name, int size)
{
    int fd = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const QByteArray &folder : folders) {
        ::mkdirat(fd, folder.constData(), 0755);
        const int next = ::openat(fd, folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    const int file = ::openat(fd, name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const QByteArray content(size, 'x');
    if (::write(file, content.constData(), std::size_t(size)) != size)
        qWarning("could not write %s", name.constData());
    ::close(file);
    ::close(fd);
}

inline void makeFolder(const QString &root, const QString &relative)
{
    QDir().mkpath(root + u'/' + relative);
}

inline void makeLink(const QString &root, const QString &relative, const QString &target)
{
    QFile::link(target, root + u'/' + relative);
}

// While alive, the calling thread cannot read past file permissions even as root (capabilities
// are per thread on Linux), so a folder of mode 000 is really unreadable to the walk.
class WithoutReadOverride {
public:
    WithoutReadOverride()
    {
        if (syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = { m_saved[0], m_saved[1] };
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_changed = syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~WithoutReadOverride()
    {
        if (m_changed)
            syscall(SYS_capset, &m_header, m_saved);
    }
    // Whether a folder can still be listed, which would make the test meaningless.
    static bool canList(const QByteArray &path)
    {
        const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY);
        if (fd >= 0)
            ::close(fd);
        return fd >= 0;
    }
    WithoutReadOverride(const WithoutReadOverride &) = delete;
    WithoutReadOverride &operator=(const WithoutReadOverride &) = delete;

private:
    __user_cap_header_struct m_header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct m_saved[2] {};
    bool m_changed = false;
};

} // namespace vellmir::test

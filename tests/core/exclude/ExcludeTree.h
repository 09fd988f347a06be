#pragma once

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <sys/stat.h>

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

inline void makeFolder(const QString &root, const QString &relative)
{
    QDir().mkpath(root + u'/' + relative);
}

inline void makeLink(const QString &root, const QString &relative, const QString &target)
{
    QFile::link(target, root + u'/' + relative);
}

} // namespace vellmir::test

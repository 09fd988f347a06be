#include "restore/ProposedBackup.h"

#include "config/Destination.h"
#include "exclude/Estimator.h"
#include "exclude/ExcludeMatcher.h"
#include "util/LocalPath.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace vellmir::ProposedBackup {

namespace {

struct Child {
    QByteArray name;
    bool isDirectory = false;
    qint64 size = 0;
};

// The item itself, links not followed. Sizes of anything that is not a folder: allocated
// size, else logical size, else 0. An item that cannot be read is a sizeless non-folder.
Child describe(int dirFd, const char *name)
{
    Child child;
    child.name = name;
    struct statx st;
    if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_SIZE | STATX_BLOCKS, &st) != 0)
        return child;
    child.isDirectory = (st.stx_mask & STATX_TYPE) && S_ISDIR(st.stx_mode);
    if (st.stx_mask & STATX_BLOCKS)
        child.size = qint64(st.stx_blocks) * 512;
    else if (st.stx_mask & STATX_SIZE)
        child.size = qint64(st.stx_size);
    return child;
}

// A shallow listing in the order the file system returns it; nullopt when it cannot be listed.
std::optional<QList<Child>> list(const QByteArray &directory)
{
    DIR *dir = opendir(directory.constData());
    if (!dir)
        return std::nullopt;
    QList<Child> children;
    const int fd = dirfd(dir);
    while (const dirent *entry = readdir(dir)) {
        const char *n = entry->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))
            continue;
        children.append(describe(fd, n));
    }
    closedir(dir);
    return children;
}

} // namespace

QList<BackupEntry> children(const QString &directory, const QStringList &excludes, const QStringList &sources)
{
    if (directory.isEmpty())
        return {};
    const QStringList patterns = Destination::resticExcludes(excludes, sources);
    const ExcludeMatcher matcher(patterns);
    // A linked folder is listed where it leads, as restic is given it, so that the patterns
    // made and matched here are the ones restic applies.
    QString base = Destination::resolvedSource(
        QDir::isAbsolutePath(directory) ? directory : QDir::currentPath() + u'/' + directory);
    while (base.size() > 1 && base.endsWith(u'/'))
        base.chop(1);
    const QString prefix = base == QLatin1String("/") ? base : base + u'/';
    // Names are matched as the bytes on disk: one that is not UTF-8 must stay that name.
    const QByteArray prefixBytes = LocalPath::encode(prefix);

    const QByteArray baseBytes = LocalPath::encode(base);
    const std::optional<QList<Child>> listed = list(baseBytes);
    if (!listed)
        return {};
    // The sources inside a folder: restic walks them as part of it, testing neither the folder
    // nor any folder on the way down to them.
    QStringList resolved;
    for (const QString &source : sources)
        resolved.append(Destination::resolvedSource(source));
    const auto withInner = [&resolved](const QString &folder) {
        QStringList walked { folder };
        for (const QString &source : std::as_const(resolved))
            if (source.startsWith(folder == QLatin1String("/") ? folder : folder + u'/') && source != folder)
                walked.append(source);
        return walked;
    };
    const std::vector<Estimator::BackupRoot> roots = Estimator::backupRoots(withInner(base));
    // restic does not go into an excluded folder, whatever a re-include says of its contents;
    // the sheet only opens included folders below the source, so the folder itself decides.
    ExcludeMatcher::Walk walk(
        matcher, baseBytes.constData(), roots.empty() ? std::vector<std::string>() : roots.front().passed);
    const bool all = walk.rootExcluded();

    QList<BackupEntry> entries;
    entries.reserve(listed->size());
    for (const Child &child : *listed) {
        const QByteArray pathBytes = prefixBytes + child.name;
        BackupEntry entry;
        entry.name = LocalPath::decode(child.name);
        entry.path = prefix + entry.name;
        entry.id = entry.path;
        // A path longer than the system allows is one restic cannot read: it is left out.
        const bool tooLong = pathBytes.size() >= PATH_MAX;
        entry.isDirectory = child.isDirectory && !tooLong;
        entry.isExcluded = all || tooLong
            || walk.matches(
                pathBytes.constData(), std::size_t(pathBytes.size()), pathBytes.constData() + prefixBytes.size());
        if (entry.isExcluded)
            entry.size = 0;
        else if (entry.isDirectory)
            entry.size = Estimator::localEstimate(withInner(entry.path), patterns).bytes;
        else
            entry.size = child.size;
        entries.append(std::move(entry));
    }
    sortByEntryOrder(entries);
    return entries;
}

bool precedes(const BackupEntry &a, const BackupEntry &b)
{
    if (a.isExcluded != b.isExcluded)
        return !a.isExcluded;
    return a.size > b.size;
}

void sortByEntryOrder(QList<BackupEntry> &entries)
{
    std::stable_sort(entries.begin(), entries.end(), precedes);
}

} // namespace vellmir::ProposedBackup

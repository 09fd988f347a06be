#include "protection/CoverageAudit.h"

#include "config/Destination.h"
#include "exclude/Estimator.h"
#include "exclude/ExcludeMatcher.h"
#include "exclude/FileWalk.h"
#include "util/LocalPath.h"
#include "util/SystemError.h"

#include <QFile>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vellmir {

namespace {

// Only problems met inside a walk are capped, so a folder of thousands of unreadable files
// cannot build a huge list; the per-source problems are always reported.
constexpr qsizetype kWalkIssueLimit = 100;

const CoverageAudit::FileChecks &standardChecks()
{
    static const CoverageAudit::FileChecks checks;
    return checks;
}

class AuditWalk : public FileWalk::Visitor {
public:
    AuditWalk(CoverageAudit &audit, ExcludeMatcher::Walk &excludes, const CoverageAudit::FileChecks &checks)
        : m_audit(audit)
        , m_excludes(excludes)
        , m_checks(checks)
    {
    }

    FileWalk::Step visit(const FileWalk::Item &item) override
    {
        if (m_excludes.matches(item.path, item.pathLength, item.name)) {
            m_audit.excludedEntries += 1;
            // An excluded folder costs one entry, not its contents.
            return FileWalk::Step::skipDescendants;
        }
        if (!item.values.readable) {
            // restic reports what it cannot read, a path too long to reach included.
            addIssue(decoded(item) + QStringLiteral(": ") + systemErrorText(item.error));
            return FileWalk::Step::skipDescendants;
        }
        if (m_checks.isCloudOnly(item.atFd, item.atPath)) {
            // Never opened for a read test, since that could start a download; a cloud-only
            // folder is still walked.
            m_audit.cloudOnlyFiles += 1;
            return FileWalk::Step::descend;
        }
        if (!item.values.readable || !item.values.isRegularFile)
            return FileWalk::Step::descend;
        if (m_checks.isReadable(item.atFd, item.atPath))
            m_audit.readableFiles += 1;
        else
            addIssue(QStringLiteral("Unreadable: ") + decoded(item));
        return FileWalk::Step::descend;
    }

    void failed(const FileWalk::Item &item, int error) override
    {
        addIssue(decoded(item) + QStringLiteral(": ") + systemErrorText(error));
    }

private:
    void addIssue(const QString &issue)
    {
        if (m_audit.issues.size() < kWalkIssueLimit)
            m_audit.issues.append(issue);
    }

    static QString decoded(const FileWalk::Item &item)
    {
        return LocalPath::decode(QByteArray::fromRawData(item.path, qsizetype(item.pathLength)));
    }

    CoverageAudit &m_audit;
    ExcludeMatcher::Walk &m_excludes;
    const CoverageAudit::FileChecks &m_checks;
};

} // namespace

bool CoverageAudit::FileChecks::isReadable(int atFd, const char *atPath) const
{
    // The effective identity is the one restic runs with; a missing item is not readable.
    return faccessat(atFd, atPath, R_OK, AT_EACCESS) == 0;
}

bool CoverageAudit::FileChecks::isCloudOnly(int atFd, const char *atPath) const
{
    // Linux file systems have no dataless flag: nothing local is a cloud placeholder.
    Q_UNUSED(atFd)
    Q_UNUSED(atPath)
    return false;
}

CoverageAudit CoverageAudit::scan(const Destination &destination)
{
    return scan(destination, standardChecks());
}

CoverageAudit CoverageAudit::scan(const Destination &destination, const FileChecks &checks)
{
    CoverageAudit audit;
    const ExcludeMatcher matcher(Destination::resticExcludes(destination.excludes, destination.sources));
    for (const Estimator::BackupRoot &root : Estimator::backupRoots(destination.sources)) {
        const QString &source = root.source;
        const QByteArray &path = root.path;
        ExcludeMatcher::Walk excludes(matcher, path.constData(), root.passed);
        if (excludes.rootExcluded()) {
            audit.issues.append(QStringLiteral("Entire source excluded: ") + source);
            continue;
        }
        if (path.isEmpty() || !checks.isReadable(AT_FDCWD, path.constData())) {
            audit.issues.append(QStringLiteral("Source unavailable or unreadable: ") + source);
            continue;
        }
        AuditWalk walk(audit, excludes, checks);
        if (FileWalk::walk(path.constData(), FileWalk::Values::type, walk, root.passed))
            continue;
        // A file given as a source is backed up like one found in a folder; it was found readable.
        if (FileWalk::valuesAt(path.constData()).isRegularFile)
            (checks.isCloudOnly(AT_FDCWD, path.constData()) ? audit.cloudOnlyFiles : audit.readableFiles) += 1;
        else
            audit.issues.append(QStringLiteral("Could not inspect ") + source);
    }
    return audit;
}

} // namespace vellmir

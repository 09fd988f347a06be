#include "exclude/Estimator.h"

#include "config/Destination.h"
#include "exclude/ExcludeMatcher.h"
#include "exclude/FileWalk.h"
#include "util/LocalPath.h"

#include <QFile>

#include <algorithm>

namespace vellmir::Estimator {

namespace {

class Counter : public FileWalk::Visitor {
public:
    explicit Counter(ExcludeMatcher::Walk &excludes)
        : m_excludes(excludes)
    {
    }

    FileWalk::Step visit(const FileWalk::Item &item) override
    {
        if (m_excludes.matches(item.path, item.pathLength, item.name))
            return FileWalk::Step::skipDescendants;
        count(item.values);
        return FileWalk::Step::descend;
    }

    void count(const FileValues &values)
    {
        if (values.readable && values.isRegularFile) {
            m_estimate.files += 1;
            m_estimate.bytes += countedSize(values);
        }
    }

    BackupEstimate m_estimate;

private:
    ExcludeMatcher::Walk &m_excludes;
};

} // namespace

std::vector<BackupRoot> backupRoots(const QStringList &sources)
{
    std::vector<BackupRoot> resolved;
    for (const QString &source : sources) {
        QByteArray path = LocalPath::encode(Destination::resolvedSource(source));
        if (std::none_of(resolved.cbegin(), resolved.cend(), [&](const BackupRoot &root) { return root.path == path; }))
            resolved.push_back({ source, std::move(path), {} });
    }
    const auto inside = [](const QByteArray &inner, const QByteArray &outer) {
        return !outer.isEmpty() && inner.size() > outer.size() && inner.startsWith(outer)
            && (outer.endsWith('/') || inner.at(outer.size()) == '/');
    };
    std::vector<BackupRoot> roots;
    for (const BackupRoot &root : resolved) {
        if (std::any_of(resolved.cbegin(), resolved.cend(),
                [&](const BackupRoot &other) { return inside(root.path, other.path); }))
            continue;
        BackupRoot outer = root;
        // The outer source and each folder below it on the way to an inner one.
        const qsizetype rootEnd = root.path.endsWith('/') ? root.path.size() - 1 : root.path.size();
        for (const BackupRoot &inner : resolved) {
            if (!inside(inner.path, root.path))
                continue;
            if (outer.passed.empty())
                outer.passed.push_back(root.path.toStdString());
            for (qsizetype slash = inner.path.lastIndexOf('/'); slash > rootEnd;
                 slash = inner.path.lastIndexOf('/', slash - 1)) {
                std::string folder = inner.path.left(slash).toStdString();
                if (std::find(outer.passed.cbegin(), outer.passed.cend(), folder) == outer.passed.cend())
                    outer.passed.push_back(std::move(folder));
            }
        }
        roots.push_back(std::move(outer));
    }
    return roots;
}

BackupEstimate localEstimate(const QStringList &sources, const QStringList &excludes)
{
    const ExcludeMatcher matcher(Destination::resticExcludes(excludes, sources));
    BackupEstimate estimate;
    for (const BackupRoot &root : backupRoots(sources)) {
        const QByteArray &path = root.path;
        ExcludeMatcher::Walk walk(matcher, path.constData(), root.passed);
        if (walk.rootExcluded())
            continue;
        Counter counter(walk);
        // A file given as a source is backed up like one found in a folder.
        if (!FileWalk::walk(path.constData(), FileWalk::Values::sizes, counter, root.passed))
            counter.count(FileWalk::valuesAt(path.constData()));
        estimate.files += counter.m_estimate.files;
        estimate.bytes += counter.m_estimate.bytes;
    }
    return estimate;
}

} // namespace vellmir::Estimator

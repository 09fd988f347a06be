#include "exclude/Estimator.h"

#include "config/Destination.h"
#include "exclude/ExcludeMatcher.h"
#include "exclude/FileWalk.h"
#include "util/LocalPath.h"

#include <QFile>

#include <algorithm>
#include <memory>

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

// Finds one regular file, then looks no further.
class FileFinder : public FileWalk::Visitor {
public:
    FileWalk::Step visit(const FileWalk::Item &item) override
    {
        found = found || (item.values.readable && item.values.isRegularFile);
        return found ? FileWalk::Step::skipDescendants : FileWalk::Step::descend;
    }

    bool found = false;
};

// Walks one folder for several exclude lists at once, each through its own Walk: a list is done
// once it keeps a regular file, and the walk goes below no item that every open list excludes,
// nor anywhere once every list is done.
class KeptFinder : public FileWalk::Visitor {
public:
    explicit KeptFinder(std::vector<ExcludeMatcher::Walk *> lists)
        : open(std::move(lists))
    {
    }

    FileWalk::Step visit(const FileWalk::Item &item) override
    {
        const bool file = item.values.readable && item.values.isRegularFile;
        held = held || file;
        bool excludedByAll = true;
        for (auto walk = open.begin(); walk != open.end();) {
            if ((*walk)->matches(item.path, item.pathLength, item.name)) {
                ++walk;
                continue;
            }
            excludedByAll = false;
            walk = file ? open.erase(walk) : walk + 1;
        }
        return excludedByAll || open.empty() ? FileWalk::Step::skipDescendants : FileWalk::Step::descend;
    }

    std::vector<ExcludeMatcher::Walk *> open; // the lists that have kept no file yet
    bool held = false; // a regular file was seen, kept or not
};

bool inside(const QByteArray &inner, const QByteArray &outer)
{
    return !outer.isEmpty() && inner.size() > outer.size() && inner.startsWith(outer)
        && (outer.endsWith('/') || inner.at(outer.size()) == '/');
}

} // namespace

std::vector<BackupRoot> backupRoots(const QStringList &sources)
{
    std::vector<BackupRoot> resolved;
    for (const QString &source : sources) {
        QByteArray path = LocalPath::encode(Destination::resolvedSource(source));
        if (std::none_of(resolved.cbegin(), resolved.cend(), [&](const BackupRoot &root) { return root.path == path; }))
            resolved.push_back({ source, std::move(path), {} });
    }
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

QList<QStringList> leftOutWhole(const QStringList &sources, const QList<QStringList> &lists)
{
    std::vector<ExcludeMatcher> matchers;
    matchers.reserve(std::size_t(lists.size()));
    for (const QStringList &excludes : lists)
        matchers.emplace_back(Destination::resticExcludes(excludes, sources));
    const std::vector<BackupRoot> roots = backupRoots(sources);
    QList<QStringList> whole(lists.size());
    for (const QString &source : sources) {
        const QByteArray path = LocalPath::encode(Destination::resolvedSource(source));
        // A source inside another is walked as part of it, past the folders restic does not test.
        std::vector<std::string> passed;
        for (const BackupRoot &root : roots)
            if (root.path == path || inside(path, root.path))
                passed = root.passed;
        std::vector<std::unique_ptr<ExcludeMatcher::Walk>> walks;
        std::vector<ExcludeMatcher::Walk *> open;
        for (std::size_t i = 0; i < matchers.size(); ++i) {
            walks.push_back(std::make_unique<ExcludeMatcher::Walk>(matchers[i], path.constData(), passed));
            if (walks.back()->rootExcluded())
                whole[qsizetype(i)].append(source);
            else
                open.push_back(walks.back().get());
        }
        if (open.empty())
            continue;
        KeptFinder kept(std::move(open));
        // A file given as a source, kept, or nothing there to read.
        if (!FileWalk::walk(path.constData(), FileWalk::Values::type, kept, passed) || kept.open.empty())
            continue;
        if (!kept.held) {
            FileFinder held;
            FileWalk::walk(path.constData(), FileWalk::Values::type, held, passed);
            if (!held.found)
                continue; // nothing in it to leave out
        }
        for (std::size_t i = 0; i < walks.size(); ++i)
            if (std::find(kept.open.cbegin(), kept.open.cend(), walks[i].get()) != kept.open.cend())
                whole[qsizetype(i)].append(source);
    }
    return whole;
}

QStringList leftOutWhole(const QStringList &sources, const QStringList &excludes)
{
    return leftOutWhole(sources, QList<QStringList> { excludes }).first();
}

} // namespace vellmir::Estimator

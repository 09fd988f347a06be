#include "exclude/Estimator.h"

#include "config/Destination.h"
#include "exclude/ExcludeMatcher.h"
#include "exclude/FileWalk.h"
#include "util/LocalPath.h"

#include <QFile>

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

BackupEstimate localEstimate(const QStringList &sources, const QStringList &excludes)
{
    const ExcludeMatcher matcher(excludes);
    BackupEstimate estimate;
    for (const QString &source : sources) {
        if (source.isEmpty())
            continue;
        const QByteArray path = LocalPath::encode(Destination::resolvedSource(source));
        ExcludeMatcher::Walk walk(matcher, path.constData());
        if (walk.rootExcluded())
            continue;
        Counter counter(walk);
        // A file given as a source is backed up like one found in a folder.
        if (!FileWalk::walk(path.constData(), FileWalk::Values::sizes, counter))
            counter.count(FileWalk::valuesAt(path.constData()));
        estimate.files += counter.m_estimate.files;
        estimate.bytes += counter.m_estimate.bytes;
    }
    return estimate;
}

} // namespace vellmir::Estimator

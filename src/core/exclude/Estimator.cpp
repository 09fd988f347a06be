#include "exclude/Estimator.h"

#include "exclude/ExcludeMatcher.h"
#include "exclude/FileWalk.h"

#include <QFile>

#include <cstring>

namespace vellmir::Estimator {

namespace {

class Counter : public FileWalk::Visitor {
public:
    explicit Counter(const ExcludeMatcher &matcher)
        : m_matcher(matcher)
    {
    }

    FileWalk::Step visit(const FileWalk::Item &item) override
    {
        if (m_matcher.matches(item.path, item.pathLength, item.name))
            return FileWalk::Step::skipDescendants;
        if (item.values.readable && item.values.isRegularFile) {
            m_estimate.files += 1;
            m_estimate.bytes += countedSize(item.values);
        }
        return FileWalk::Step::descend;
    }

    BackupEstimate m_estimate;

private:
    const ExcludeMatcher &m_matcher;
};

} // namespace

BackupEstimate localEstimate(const QStringList &sources, const QStringList &excludes)
{
    const ExcludeMatcher matcher(excludes);
    Counter counter(matcher);
    for (const QString &source : sources) {
        if (source.isEmpty())
            continue;
        const QByteArray path = QFile::encodeName(source);
        // The last path component of "/a/b/" is "b", and that of "/" is "/".
        QByteArray trimmed = path;
        while (trimmed.size() > 1 && trimmed.endsWith('/'))
            trimmed.chop(1);
        const char *slash = std::strrchr(trimmed.constData(), '/');
        const char *name = slash && trimmed.size() > 1 ? slash + 1 : trimmed.constData();
        if (matcher.matches(path.constData(), std::size_t(path.size()), name))
            continue;
        FileWalk::walk(path.constData(), FileWalk::Values::sizes, counter);
    }
    return counter.m_estimate;
}

} // namespace vellmir::Estimator

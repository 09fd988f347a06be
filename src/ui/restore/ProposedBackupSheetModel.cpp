#include "restore/ProposedBackupSheetModel.h"

namespace vellmir {

ProposedBackupSheetModel::ProposedBackupSheetModel(QStringList sources, QStringList excludes, QObject *parent)
    : QObject(parent)
    , m_sources(std::move(sources))
    , m_excludes(std::move(excludes))
{
}

void ProposedBackupSheetModel::setExcludes(const QStringList &excludes)
{
    if (std::exchange(m_excludes, excludes) != excludes)
        Q_EMIT excludesChanged();
}

void ProposedBackupSheetModel::open(const QString &directory)
{
    m_path.append(directory);
    Q_EMIT pathChanged();
}

void ProposedBackupSheetModel::goBack()
{
    if (m_path.isEmpty())
        return;
    m_path.removeLast();
    Q_EMIT pathChanged();
}

QString ProposedBackupSheetModel::title(const QString &directory)
{
    QString trimmed = directory;
    while (trimmed.size() > 1 && trimmed.endsWith(u'/'))
        trimmed.chop(1);
    const QString last = trimmed.mid(trimmed.lastIndexOf(u'/') + 1);
    return last.isEmpty() ? trimmed : last;
}

} // namespace vellmir

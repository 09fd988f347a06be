#include "restore/RestoreSheetModel.h"

#include "kit/Format.h"

namespace vellmir {

using Phase = RestoreRunner::Phase;

RestoreSheetModel::RestoreSheetModel(Snapshot snapshot, Destination destination, std::optional<QString> include,
    const RestoreServices &services, QObject *parent)
    : QObject(parent)
    , m_snapshot(std::move(snapshot))
    , m_destination(std::move(destination))
    , m_include(std::move(include))
    , m_runner(services.makeRunner(this))
{
}

QString RestoreSheetModel::whenText() const
{
    return Format::abbreviatedDateTime(m_snapshot.time);
}

QString RestoreSheetModel::contentsText() const
{
    return m_include.value_or(QStringLiteral("Whole snapshot"));
}

bool RestoreSheetModel::canRestore() const
{
    return !isRunning() && !m_targetPath.isEmpty();
}

QString RestoreSheetModel::closeButtonTitle() const
{
    return m_runner->phase() == Phase::finished ? QStringLiteral("Done") : QStringLiteral("Close");
}

QString RestoreSheetModel::progressFilesText() const
{
    return QStringLiteral("%1 / %2 files").arg(m_runner->filesRestored()).arg(m_runner->totalFiles());
}

QString RestoreSheetModel::progressBytesText() const
{
    return Format::bytes(m_runner->bytesRestored()) + QStringLiteral(" / ") + Format::bytes(m_runner->totalBytes());
}

QString RestoreSheetModel::summaryText() const
{
    const auto &summary = m_runner->summary();
    if (!summary)
        return {};
    return QStringLiteral("Restored %1 file(s), %2.")
        .arg(summary->filesRestored)
        .arg(Format::bytes(summary->bytesRestored));
}

void RestoreSheetModel::chooseFolder()
{
    if (!m_chooser)
        return;
    if (const std::optional<QString> chosen = m_chooser())
        setTargetPath(*chosen);
}

void RestoreSheetModel::setTargetPath(const QString &path)
{
    if (path == m_targetPath)
        return;
    m_targetPath = path;
    Q_EMIT targetPathChanged();
}

void RestoreSheetModel::restore()
{
    if (!canRestore())
        return;
    m_runner->run(m_snapshot, m_destination, m_targetPath, m_include);
}

void RestoreSheetModel::cancel()
{
    if (isRunning())
        m_runner->cancel();
}

void RestoreSheetModel::showRestoredFiles()
{
    if (m_opener && m_runner->restoredPath())
        m_opener(*m_runner->restoredPath());
}

} // namespace vellmir

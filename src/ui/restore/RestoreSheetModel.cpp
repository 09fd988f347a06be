#include "restore/RestoreSheetModel.h"

#include "kit/Format.h"
#include "restore/RestoreTexts.h"
#include "util/TextRules.h"

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
    return Format::dateTime(m_snapshot.time);
}

QString RestoreSheetModel::contentsText() const
{
    // A path in a snapshot may hold anything a file name can: it is written out.
    const QString contents = m_include ? TextRules::visible(*m_include) : QStringLiteral("Whole snapshot");
    return m_incomplete ? contents + QStringLiteral(" (of an incomplete backup: some items are not in it)") : contents;
}

bool RestoreSheetModel::canRestore() const
{
    return !isRunning() && !m_targetPath.isEmpty();
}

QString RestoreSheetModel::closeButtonTitle() const
{
    return RestoreTexts::closeButtonTitle(*m_runner);
}

QString RestoreSheetModel::progressFilesText() const
{
    return RestoreTexts::progressFiles(*m_runner);
}

QString RestoreSheetModel::progressBytesText() const
{
    return RestoreTexts::progressBytes(*m_runner);
}

QString RestoreSheetModel::summaryText() const
{
    return RestoreTexts::summary(*m_runner);
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
    if (std::exchange(m_targetPath, path) != path)
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

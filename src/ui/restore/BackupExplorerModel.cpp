#include "restore/BackupExplorerModel.h"

#include "config/Destination.h"
#include "exclude/ExcludeMatcher.h"
#include "kit/Format.h"
#include "restore/ProposedBackup.h"
#include "restore/ProposedBackupSheetModel.h"
#include "util/LocalPath.h"
#include "util/Log.h"
#include "util/TextRules.h"

#include <QMetaObject>
#include <QRunnable>
#include <exception>

namespace vellmir {

namespace {

// The pattern that leaves out this one entry: its tilde form with restic's wildcard characters
// escaped, so that "photo[1].jpg" does not stand for "photo1.jpg".
QString exclusionPattern(const BackupEntry &entry)
{
    return Destination::literalPattern(Destination::tildeForm(entry.path));
}

} // namespace

BackupExplorerModel::BackupExplorerModel(QString directory, ProposedBackupSheetModel *sheet, QObject *parent)
    : QObject(parent)
    , m_directory(std::move(directory))
    , m_title(ProposedBackupSheetModel::title(m_directory))
    , m_sheet(sheet)
    , m_lister([sources = sheet ? sheet->sources() : QStringList()](const QString &folder,
                   const QStringList &excludes) { return ProposedBackup::children(folder, excludes, sources); })
    , m_receiver(Receiver<BackupExplorerModel>::make(this))
{
}

BackupExplorerModel::~BackupExplorerModel()
{
    m_receiver->close();
}

QStringList BackupExplorerModel::currentExcludes() const
{
    return m_sheet ? m_sheet->excludes() : QStringList();
}

void BackupExplorerModel::appear()
{
    setLoading(true);
    refresh();
}

void BackupExplorerModel::refresh()
{
    const quint64 generation = ++m_generation;
    const QStringList excludes = currentExcludes();
    m_workers.start(
        [receiver = m_receiver, lister = m_lister, directory = m_directory, excludes, generation](std::stop_token) {
            QList<BackupEntry> entries;
            try {
                entries = lister(directory, excludes);
            } catch (const std::exception &error) {
                // The listing never fails by design; should it throw, the folder shows as empty.
                logLine(QStringLiteral("ProposedBackup"), QString::fromUtf8(error.what()));
            } catch (...) {
                logLine(QStringLiteral("ProposedBackup"), QStringLiteral("listing failed"));
            }
            receiver->post([generation, excludes, entries](
                               BackupExplorerModel *model) { model->land(generation, excludes, entries); });
        });
}

void BackupExplorerModel::land(quint64 generation, const QStringList &excludes, const QList<BackupEntry> &entries)
{
    // A newer listing is under way: it will fill the rows.
    if (generation != m_generation)
        return;
    // The user excluded something while this one ran; its rows would show it included again.
    if (excludes != currentExcludes()) {
        refresh();
        return;
    }
    setEntries(entries);
    setLoading(false);
}

void BackupExplorerModel::setEntries(const QList<BackupEntry> &entries)
{
    if (std::exchange(m_entries, entries) != entries)
        Q_EMIT entriesChanged();
}

void BackupExplorerModel::setLoading(bool loading)
{
    if (std::exchange(m_loading, loading) != loading)
        Q_EMIT loadingChanged();
}

void BackupExplorerModel::setHoveredID(const std::optional<QString> &id)
{
    if (std::exchange(m_hoveredID, id) != id)
        Q_EMIT hoveredIDChanged();
}

void BackupExplorerModel::open(const BackupEntry &entry)
{
    if (canOpen(entry) && m_sheet)
        m_sheet->open(entry.path);
}

bool BackupExplorerModel::isToggleable(const BackupEntry &entry) const
{
    // Patterns are text: no pattern names a path that is not valid UTF-8.
    if (!LocalPath::isText(entry.path))
        return false;
    return !entry.isExcluded || currentExcludes().contains(exclusionPattern(entry));
}

void BackupExplorerModel::toggleExclusion(const BackupEntry &entry)
{
    if (!m_sheet)
        return;
    const QString pattern = exclusionPattern(entry);
    QStringList excludes = m_sheet->excludes();
    if (entry.isExcluded) {
        excludes.removeAll(pattern);
        m_sheet->setExcludes(excludes);
        refresh();
        return;
    }
    if (!excludes.contains(pattern)) {
        excludes.append(pattern);
        m_sheet->setExcludes(excludes);
    }
    QList<BackupEntry> entries = m_entries;
    for (BackupEntry &candidate : entries) {
        if (candidate.id == entry.id) {
            candidate.size = 0;
            candidate.isExcluded = true;
            // Stable: it lands at the head of the excluded group, ahead of those excluded before.
            ProposedBackup::sortByEntryOrder(entries);
            setEntries(entries);
            return;
        }
    }
}

QString BackupExplorerModel::sizeText(const BackupEntry &entry)
{
    return entry.isExcluded ? QStringLiteral("\u2014") : Format::bytes(entry.size);
}

QString BackupExplorerModel::toggleSymbol(const BackupEntry &entry)
{
    return entry.isExcluded ? QStringLiteral("plus.circle.fill") : QStringLiteral("minus.circle.fill");
}

QString BackupExplorerModel::toggleHelp(const BackupEntry &entry) const
{
    if (!LocalPath::isText(entry.path))
        return QStringLiteral("Its path is not valid UTF-8, so no exclude pattern can name it. Rename it to "
                              "exclude it.");
    if (!isToggleable(entry))
        return QStringLiteral("Excluded by another rule. Edit Exclude Rules to change it.");
    return entry.isExcluded ? QStringLiteral("Re-include in backup") : QStringLiteral("Exclude from backup");
}

QString BackupExplorerModel::toggleAccessibleName(const BackupEntry &entry)
{
    const QString name = TextRules::visible(entry.name);
    return entry.isExcluded ? QStringLiteral("Include ") + name + QStringLiteral(" in backup")
                            : QStringLiteral("Exclude ") + name + QStringLiteral(" from backup");
}

double BackupExplorerModel::toggleOpacity(const BackupEntry &entry) const
{
    if (m_hoveredID == entry.id || entry.isExcluded)
        return 1.0;
    return 0.35;
}

} // namespace vellmir

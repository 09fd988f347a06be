#include "protection/ConfigReview.h"

#include "config/DestinationStore.h"
#include "config/FileLock.h"
#include "util/Error.h"

namespace vellmir {

ConfigReview::ConfigReview(DestinationStore &store, QObject *parent)
    : QObject(parent)
    , m_store(store)
{
    connect(&m_store, &DestinationStore::fromAnotherComputerChanged, this, &ConfigReview::fromAnotherComputerChanged);
}

bool ConfigReview::fromAnotherComputer() const
{
    return m_store.fromAnotherComputer();
}

bool ConfigReview::nothingTrusted() const
{
    return m_store.nothingTrusted();
}

QString ConfigReview::compareFailedLine()
{
    return QStringLiteral("Vellmir could not compare its settings with the files on disk.");
}

QString ConfigReview::removedSentence(const QStringList &names)
{
    // One sentence for every name; "its" stays singular.
    return QStringLiteral("Removed ") + names.join(QStringLiteral(", "))
        + QStringLiteral(" because its stored password or keys were replaced. Its backups are untouched; add it again "
                         "with vellmir add-destination and its kind and repository, without initialize.");
}

QString ConfigReview::changedAgainMessage()
{
    return QStringLiteral(
        "The settings changed again while this review was open. Check the new list before keeping them.");
}

void ConfigReview::load()
{
    try {
        // Under the lock: reading the seal may settle a pending one, and the lines and the
        // digest keep() compares against must come from one settled state.
        FileLock lock(m_store.lockPath(), true);
        const ConfigSeal::Review review = m_store.seal().review();
        m_changes = review.changes;
        m_digest = review.digest;
    } catch (const std::exception &) {
        m_changes = QStringList { compareFailedLine() };
        m_digest.reset();
    }
    Q_EMIT changesChanged();
}

void ConfigReview::requestKeep()
{
    setConfirmingKeep(true);
}

void ConfigReview::cancelKeep()
{
    setConfirmingKeep(false);
}

void ConfigReview::keep()
{
    setConfirmingKeep(false);
    std::optional<ConfigSeal::Review> changedAgain;
    try {
        {
            FileLock lock(m_store.lockPath(), true);
            // Keeping trusts what the user read, and nothing written since: the very files and
            // secrets the sheet was built from, compared under the lock so that no other
            // process can slip a change in between this comparison and the seal.
            if (m_digest) {
                if (!m_store.seal().sealIfUnchanged(*m_digest))
                    changedAgain = m_store.seal().review();
            } else {
                // A sheet that could not list the differences still lets the user keep them,
                // as long as they still cannot be listed.
                try {
                    changedAgain = m_store.seal().review();
                } catch (const std::exception &) {
                    m_store.seal().seal();
                }
            }
        }
        if (changedAgain) {
            m_changes = changedAgain->changes;
            m_digest = changedAgain->digest;
            Q_EMIT changesChanged();
            setErrorMessage(changedAgainMessage());
            return;
        }
        // Released first: the reload takes the same lock.
        m_store.reload();
    } catch (const std::exception &error) {
        setErrorMessage(errorDescription(error));
        return;
    }
    Q_EMIT dismissRequested();
}

void ConfigReview::undo()
{
    QStringList removed;
    try {
        {
            FileLock lock(m_store.lockPath(), true);
            removed = m_store.seal().undo();
        }
        m_store.reload();
    } catch (const std::exception &error) {
        setErrorMessage(errorDescription(error));
        // A failed reload comes after the undo took effect: the user still learns which
        // destinations it removed.
        if (!removed.isEmpty())
            setResult(removedSentence(removed));
        return;
    }
    if (removed.isEmpty()) {
        Q_EMIT dismissRequested();
        return;
    }
    setResult(removedSentence(removed));
}

void ConfigReview::setConfirmingKeep(bool on)
{
    if (m_confirmingKeep == on)
        return;
    m_confirmingKeep = on;
    Q_EMIT confirmingKeepChanged();
}

void ConfigReview::setResult(const QString &result)
{
    m_result = result;
    Q_EMIT resultChanged();
}

void ConfigReview::setErrorMessage(const QString &message)
{
    m_errorMessage = message;
    Q_EMIT errorMessageChanged();
}

} // namespace vellmir

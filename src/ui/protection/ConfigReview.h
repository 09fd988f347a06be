#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>

namespace vellmir {

class DestinationStore;

// The review of settings changed outside the application, or brought from another computer:
// what differs from the last sealed configuration, and the two ways to settle it. Keeping the
// current settings reseals them; undoing goes back to the sealed ones.
//
// Both actions take the destinations lock around the seal operation, because the seal itself
// takes none, and release it before reloading the store, which takes the same lock. Waiting for
// the lock blocks the caller for as long as another process holds it; those holders keep it only
// for one read-check-write of the settings files.
class ConfigReview : public QObject {
    Q_OBJECT

public:
    explicit ConfigReview(DestinationStore &store, QObject *parent = nullptr);

    // The differences shown; computed by load() under the destinations lock and not refreshed
    // by undo. keep() refreshes them only when the settings changed again since they were shown.
    const QStringList &changes() const { return m_changes; }
    // Which variant to show: follows the store as it publishes the flag.
    bool fromAnotherComputer() const;
    // None of the settings on file are trusted, so no backup runs until this review settles it.
    bool nothingTrusted() const;
    // Whether the confirmation of keeping outside changes is shown.
    bool confirmingKeep() const { return m_confirmingKeep; }
    // The outcome of an undo that removed destinations.
    const std::optional<QString> &result() const { return m_result; }
    // The last failure. Neither action clears an earlier message or result.
    const std::optional<QString> &errorMessage() const { return m_errorMessage; }

    // Computes the differences when the review is shown.
    void load();
    // "Keep These Changes…": asks first; only keep() seals.
    void requestKeep();
    void cancelKeep();
    // Seals the configuration as it now stands, then reloads the store, provided the files and
    // secrets are still the ones the shown differences were computed from. Asks to be dismissed on success; on failure
    // sets errorMessage and stays. When the differences changed meanwhile nothing is sealed: the new list is shown,
    // with changedAgainMessage() as the error.
    void keep();
    // Goes back to the sealed configuration, then reloads the store. Asks to be dismissed when
    // nothing was removed; otherwise names the removed destinations in result.
    void undo();

    static QString compareFailedLine();
    static QString removedSentence(const QStringList &names);
    static QString changedAgainMessage();

Q_SIGNALS:
    void changesChanged();
    void confirmingKeepChanged();
    void resultChanged();
    void errorMessageChanged();
    void fromAnotherComputerChanged();
    void dismissRequested();

private:
    void setConfirmingKeep(bool on);
    void setResult(const QString &result);
    void setErrorMessage(const QString &message);

    DestinationStore &m_store;
    QStringList m_changes;
    bool m_confirmingKeep = false;
    std::optional<QString> m_result;
    std::optional<QString> m_errorMessage;
    // What the shown changes were computed from; nullopt when they could not be computed.
    std::optional<QByteArray> m_digest;
};

} // namespace vellmir

#pragma once

#include "config/AgentPolicy.h"
#include "config/ConfigIntegrity.h"
#include "config/ConfigSeal.h"
#include "config/CredentialRole.h"
#include "config/CredentialsStore.h"
#include "config/Destination.h"
#include "platform/SealKeyStore.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QUuid>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace vellmir {

// The destinations file ("destinations.json") and the list read from it. The only writer of
// the file. Every process makes its own store over the same file; every operation reads the
// file afresh under the destinations lock, after checking the seal, and reseals each change
// before the lock is released. While the seal reports an outside change the store lists only
// the last sealed destinations and refuses to write.
//
// Operations block while another process holds the lock; there is no time-out. Errors are
// vellmir::Error subclasses whose message is shown to the user unchanged.
class DestinationStore : public QObject {
    Q_OBJECT

public:
    // What a removal took away, so that restore() can bring it back.
    struct Removed {
        Destination destination;
        // Every secret that existed for the destination's credentialID, by role.
        QMap<CredentialRole, QString> secrets;
        // Set when the destination left the file but some of its secrets could not be deleted
        // from the keyring; the removal itself stands and can still be undone.
        std::optional<QString> warning;
        // Where it stood in the list, so that it goes back there.
        qsizetype position = -1;
    };

    // The store over the application's own destinations file, with the real seal key store.
    explicit DestinationStore(CredentialsStore credentials, QObject *parent = nullptr);
    // The store over `filePath`. `keys` defaults to the keyring's seal key store;
    // `userDefaultsPath` names the user-defaults file the seal's first check migrates from
    // (empty: the user's own).
    DestinationStore(QString filePath, CredentialsStore credentials, std::shared_ptr<SealKeyStore> keys = nullptr,
        QString userDefaultsPath = {}, QObject *parent = nullptr);
    // The same stores without reading anything yet: the list stays empty and every field at its
    // starting value until the first reload() or apply(). For callers that read at once anyway
    // (an agent command, a scheduled pass) or off the thread that shows the store (the window),
    // so that nothing reads the settings and the keyring twice.
    struct Unread { };
    DestinationStore(Unread, CredentialsStore credentials, QObject *parent = nullptr);
    DestinationStore(Unread, QString filePath, CredentialsStore credentials,
        std::shared_ptr<SealKeyStore> keys = nullptr, QString userDefaultsPath = {}, QObject *parent = nullptr);
    ~DestinationStore() override;

    const QList<Destination> &destinations() const { return m_destinations; }
    // While the seal reports a change: the destinations in the file that are not trusted, in
    // file order, which backups leave alone until the change is reviewed. Empty otherwise.
    // Published with destinationsChanged.
    const QList<Destination> &awaitingReview() const { return m_awaitingReview; }
    // Settings on file of which none are trusted: no backup runs until they are reviewed.
    bool nothingTrusted() const { return m_destinations.isEmpty() && !m_awaitingReview.isEmpty(); }
    // The last load failure; nullopt when the last operation succeeded.
    const std::optional<QString> &errorMessage() const { return m_errorMessage; }
    const ConfigIntegrity &integrity() const { return m_integrity; }
    const AgentPolicy::Settings &policy() const { return m_policy; }
    bool fromAnotherComputer() const { return m_fromAnotherComputer; }
    const QString &filePath() const { return m_filePath; }
    const ConfigSeal &seal() const { return m_seal; }

    // The lock beside the destinations file that orders every check-and-write of the
    // configuration. The review of outside changes takes it too, around seal() and undo().
    static QString lockPath(const QString &filePath);
    QString lockPath() const { return lockPath(m_filePath); }

    // Reads the file (or, after an outside change, the trusted sealed copy) and publishes it.
    // Sets errorMessage to "Could not read destinations: ..." and throws on failure.
    void reload();
    // reload() in two halves, so the reading can leave the thread that shows the store: load()
    // reads under the lock through a copy of the seal and touches no store, so any thread may
    // run it; apply() publishes what it read on the store's thread (throwing its failure as
    // reload() does).
    struct Loaded;
    static Loaded load(const ConfigSeal &seal);
    void apply(const Loaded &loaded);
    // The first listed destination with that id; no file access.
    std::optional<Destination> destination(const QUuid &id) const;
    // A caller's own condition on the stored list, checked under the lock before a write; it
    // refuses by throwing.
    using Check = std::function<void(const QList<Destination> &stored)>;
    // Replaces the first destination with the same id in place, or inserts it at `position`
    // (at most the end; the end when negative). With `expected`, refuses unless the stored entry
    // still equals it; with `check`, unless it passes.
    void upsert(const Destination &destination, const std::optional<Destination> &expected = std::nullopt,
        const Check &check = {}, qsizetype position = -1);
    // Removes every entry with the destination's id and deletes its secrets. Once the file is
    // written the removal stands: a failure to delete secrets comes back as Removed::warning.
    Removed remove(const Destination &destination, const CredentialsStore &credentials);
    // Undoes remove(): writes the secrets back, then upserts the destination where it stood,
    // refusing, under the lock, when another destination has taken its name meanwhile.
    void restore(const Removed &removed, const CredentialsStore &credentials);
    // The name of the first destination in `stored`, other than `self`, named `name` in any
    // letter case or Unicode compatibility form, or with letters that pass for its own (the same
    // confusable skeleton, TextRules::skeleton): names resolve without regard to case, so a
    // second such name would let a command act on the wrong destination, and one that only
    // looks the same would let a question pass one destination off as the other.
    static std::optional<QString> takenName(const QList<Destination> &stored, const QString &name, const QUuid &self);
    // Switches agent changes without approval, sealed at once.
    void setChangesWithoutApproval(bool on);

    static QString outsideChangeMessage();
    static QString conflictMessage();

Q_SIGNALS:
    void destinationsChanged();
    void errorMessageChanged();
    void integrityChanged();
    void policyChanged();
    void fromAnotherComputerChanged();

private:
    // State gathered under the lock and published once, after the lock is released.
    struct Pending {
        std::optional<QList<Destination>> destinations;
        std::optional<QList<Destination>> awaitingReview;
        std::optional<std::optional<QString>> errorMessage;
        std::optional<ConfigIntegrity> integrity;
        std::optional<AgentPolicy::Settings> policy;
        std::optional<bool> fromAnotherComputer;
    };

    void publish(const Pending &pending);
    // Takes the destinations lock, runs `body`, releases the lock, then publishes what `body`
    // gathered, whether it finished or threw. Publishing only after the release means a slot
    // that starts another locked operation never waits for a lock this process still holds.
    void locked(const std::function<void(Pending &)> &body);
    // Sets the verdict and throws unless it is valid.
    void refuseOutsideChange(Pending &pending) const;
    static QList<Destination> readFile(const QString &filePath);
    QList<Destination> readFile() const { return readFile(m_filePath); }
    // Writes the list and seals it in one crash-safe step.
    void writeFile(const QList<Destination> &list) const;

    QList<Destination> m_destinations;
    QList<Destination> m_awaitingReview;
    std::optional<QString> m_errorMessage;
    ConfigIntegrity m_integrity = ConfigIntegrity::valid();
    AgentPolicy::Settings m_policy;
    bool m_fromAnotherComputer = false;
    QString m_filePath;
    ConfigSeal m_seal;
};

struct DestinationStore::Loaded {
    Pending pending;
    std::exception_ptr failure;
};

} // namespace vellmir

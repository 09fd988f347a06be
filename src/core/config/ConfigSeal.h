#pragma once

#include "config/AgentPolicy.h"
#include "config/ConfigIntegrity.h"
#include "config/CredentialsStore.h"
#include "config/Destination.h"
#include "config/SealedConfig.h"
#include "platform/SealKeyStore.h"

#include <QList>
#include <QMap>
#include <QStringList>
#include <memory>
#include <optional>

namespace vellmir {

// The seal over the configuration: "config.seal" beside the destinations file holds a copy of
// the destinations file's bytes, the agent policy ("agent-policy.json") and fingerprints of the
// destinations' secrets, signed with a key that never leaves this computer. It lets the
// application notice changes it did not make itself, and settings brought from another machine.
//
// Holds no lock and caches nothing: every call reads the files and the keyring afresh (the
// secrets once per call, all at once). Callers run every check-and-write sequence under the
// destinations lock.
//
// A change is written so that a crash at any moment leaves a configuration that verifies: a
// seal for the new content goes to "config.seal.pending" first, then the changed file, and the
// pending seal then replaces "config.seal". Every read of the seal (verify(), and sealed() with
// what uses it) first settles a pending seal left by a crash: one that this computer's key signs
// and that matches the files as they are replaces "config.seal", any other is deleted. These
// reads therefore write too, and run under the destinations lock like every write. The very
// first key is stored only after a seal made with it is on disk as the pending seal, so a crash
// during the first start leaves either no key and no seal, or a pending seal to promote.
class ConfigSeal {
public:
    // The last sealed configuration that may still be used while a change awaits review.
    struct Trusted {
        QList<Destination> destinations;
        AgentPolicy::Settings policy;
    };

    // `destinationsPath` is the destinations file's path; the seal's files lie in its folder.
    // `userDefaultsPath` names the user-defaults file that may still hold the old agent policy;
    // empty means the user's own.
    ConfigSeal(QString destinationsPath, std::shared_ptr<SealKeyStore> keys, CredentialsStore credentials,
        QString userDefaultsPath = {});

    const QString &destinationsPath() const { return m_destinationsPath; }
    QString sealPath() const; // "config.seal" beside the destinations file
    QString policyPath() const; // "agent-policy.json" beside the destinations file
    QString pendingSealPath() const; // "config.seal.pending" beside the destinations file
    const std::shared_ptr<SealKeyStore> &keys() const { return m_keys; }
    const CredentialsStore &credentials() const { return m_credentials; }

    // The configuration as it is on disk and in the keyring now. Throws the first file read,
    // JSON decoding (JsonError) or keyring error.
    SealedConfig current() const;
    // The agent policy as "agent-policy.json" holds it now; off when there is none. Throws the
    // file read or decoding error.
    AgentPolicy::Settings currentPolicy() const;
    // The sealed content when "config.seal" is present and authentic under this computer's key,
    // else nullopt, after settling a pending seal. Throws the key store's errors, and the file
    // and keyring errors of settling a pending seal.
    std::optional<SealedConfig> sealed() const;
    // Seals the current configuration, creating the key first if this computer has none.
    void seal() const;
    // Writes "agent-policy.json". Does not reseal: call seal() afterwards.
    void writePolicy(const AgentPolicy::Settings &settings) const;
    // Writes a change and seals it, crash-safely (see above). `destinations` replaces the
    // destinations file's bytes (empty bytes delete the file), `policy` the agent policy;
    // nullopt leaves that file as it is. The secrets the new destinations name must already be
    // in the keyring. Creates the key first if this computer has none. Throws on any failure.
    void commit(
        const std::optional<QByteArray> &destinations, const std::optional<AgentPolicy::Settings> &policy) const;

    // Is the configuration the one last sealed? Never throws. On the very first check (no key,
    // no seal) it moves the old user-defaults policy into "agent-policy.json", creates the key
    // and seals.
    ConfigIntegrity verify() const;
    // The seal exists but this computer has no key for it (or the key store cannot be read).
    bool isFromAnotherComputer() const;
    // The sealed destinations whose secrets still match their sealed fingerprints, and the
    // sealed policy; nothing and policy off without an authentic seal. Throws key-store errors
    // and a decoding error of the sealed destinations.
    Trusted trusted() const;
    // The review lines that describe what changed since the last seal.
    QStringList differences() const;
    // The review lines, and a digest of everything they were computed from: the exact bytes of
    // the destinations file, the policy file and the seal, and the fingerprints of the secrets.
    struct Review {
        QStringList changes;
        QByteArray digest; // empty when the files kept changing while they were read
    };
    Review review() const;
    // Seals the configuration as it stands, provided its digest is still `digest`; otherwise
    // writes nothing and returns false. Keeping a review trusts what the user read and nothing
    // written since. Throws read, decoding, keyring and write errors.
    bool sealIfUnchanged(const QByteArray &digest) const;
    // Goes back to the last sealed configuration, dropping destinations whose secrets were
    // replaced (and deleting their keyring items). Returns the names of the dropped
    // destinations, in sealed order. A keyring read failure aborts before anything is written.
    QStringList undo() const;

    static QString sealFileName() { return QStringLiteral("config.seal"); }
    static QString policyFileName() { return QStringLiteral("agent-policy.json"); }
    static QString pendingSealFileName() { return QStringLiteral("config.seal.pending"); }

private:
    class Secrets; // every credential secret, read on first use, once per call
    // The three files as read at one moment; nullopt where a file does not exist.
    struct ConfigFiles {
        std::optional<QByteArray> destinations;
        std::optional<QByteArray> policy;
        std::optional<QByteArray> seal;
    };
    ConfigFiles readFiles() const;
    QByteArray digest(const ConfigFiles &files, Secrets &secrets) const;
    QStringList differences(Secrets &secrets) const;

    // This computer's key, created first if it has none.
    SymmetricKey keyOrNew() const;
    // Creates this computer's key and seals the current configuration with it (see above).
    SymmetricKey createKey() const;
    // Renames the pending seal over "config.seal".
    void promotePending() const;
    // Promotes the pending seal when it vouches for `now` (nullopt: files that do not decode),
    // else deletes it. Throws when neither can be done.
    void settlePending(const SymmetricKey &key, const std::optional<SealedConfig> &now) const;
    // As above, reading the configuration only when a pending seal exists.
    void settlePending(const SymmetricKey &key, Secrets &secrets) const;
    void seal(const SymmetricKey &key) const;
    // `tolerateUnreadableDestinations`: a destinations file that does not decode contributes no
    // fingerprints instead of failing, for the review lines that report such a file.
    SealedConfig current(bool tolerateUnreadableDestinations, Secrets &secrets) const;
    QString folder() const;
    static QMap<QString, QString> currentFingerprints(const Destination &destination, Secrets &secrets);
    // Those of every destination in the list, together.
    static QMap<QString, QString> currentFingerprints(const QList<Destination> &destinations, Secrets &secrets);
    static QMap<QString, QString> fingerprints(const Destination &destination, const SealedConfig &sealed);
    // `strict`: a keyring read failure is thrown instead of leaving every destination out.
    QList<Destination> trustedDestinations(const SealedConfig &sealed, bool strict, Secrets &secrets) const;
    // With nothing sealed to compare against, what keeping would trust: every destination on
    // file with its repository and folders, and the policy when agents may change without asking.
    QStringList everythingOnFile() const;

    QString m_destinationsPath;
    std::shared_ptr<SealKeyStore> m_keys;
    CredentialsStore m_credentials;
    QString m_userDefaultsPath;
};

// The outcome of probing the seal key store, for the executable's "--check-seal-access" mode:
// `output` goes to standard output as is, and the process exits with `exitStatus`.
struct SealAccessCheck {
    QString output; // "Seal keyring: reachable\n", or the error's sentence and a newline
    int exitStatus = 0; // 0 when the store answered (key or no key), 1 when it failed
};
SealAccessCheck checkSealAccess(const SealKeyStore &keys);

} // namespace vellmir

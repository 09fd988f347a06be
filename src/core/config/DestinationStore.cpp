#include "config/DestinationStore.h"

#include "config/ConfigError.h"
#include "config/FileLock.h"
#include "platform/DataProtectionSealKeyStore.h"
#include "platform/KeyringSession.h"
#include "util/AppPaths.h"
#include "util/AtomicFile.h"
#include "util/Log.h"
#include "util/TextRules.h"
#include "util/Uuid.h"

#include <algorithm>

namespace vellmir {

namespace {

// The destinations of the file that are not among the trusted ones; none when the file does
// not decode.
QList<Destination> untrusted(const QString &filePath, const QList<Destination> &trusted)
{
    QList<Destination> list;
    try {
        list = Destination::decodeFile(readFileIfExists(filePath).value_or(QByteArray()));
    } catch (const Error &) {
        return {};
    }
    list.removeIf([&](const Destination &destination) {
        return std::any_of(
            trusted.cbegin(), trusted.cend(), [&](const Destination &other) { return other.id == destination.id; });
    });
    return list;
}

std::shared_ptr<SealKeyStore> orDefaultKeys(std::shared_ptr<SealKeyStore> keys)
{
    if (keys)
        return keys;
    return std::make_shared<DataProtectionSealKeyStore>();
}

} // namespace

DestinationStore::DestinationStore(CredentialsStore credentials, QObject *parent)
    : DestinationStore(AppPaths::destinationsFile(), std::move(credentials), nullptr, {}, parent)
{
}

DestinationStore::DestinationStore(QString filePath, CredentialsStore credentials, std::shared_ptr<SealKeyStore> keys,
    QString userDefaultsPath, QObject *parent)
    : DestinationStore(
        Unread {}, std::move(filePath), std::move(credentials), std::move(keys), std::move(userDefaultsPath), parent)
{
    try {
        reload();
    } catch (const std::exception &error) {
        // The store stays usable; the window shows why the list is empty or stale.
        m_errorMessage = errorDescription(error);
    }
}

DestinationStore::DestinationStore(Unread, CredentialsStore credentials, QObject *parent)
    : DestinationStore(Unread {}, AppPaths::destinationsFile(), std::move(credentials), nullptr, {}, parent)
{
}

DestinationStore::DestinationStore(Unread, QString filePath, CredentialsStore credentials,
    std::shared_ptr<SealKeyStore> keys, QString userDefaultsPath, QObject *parent)
    : QObject(parent)
    , m_filePath(std::move(filePath))
    , m_seal(m_filePath, orDefaultKeys(std::move(keys)), std::move(credentials), std::move(userDefaultsPath))
{
}

DestinationStore::~DestinationStore() = default;

QString DestinationStore::lockPath(const QString &filePath)
{
    return filePath + QStringLiteral(".lock");
}

QString DestinationStore::outsideChangeMessage()
{
    return QStringLiteral(
        "Vellmir's settings were changed outside the app. Review the change in Vellmir before making others.");
}

QString DestinationStore::conflictMessage()
{
    return QStringLiteral("These settings changed in another window. Close the editor and reopen it before saving.");
}

void DestinationStore::publish(const Pending &pending)
{
    const bool destinationsDiffer = (pending.destinations && *pending.destinations != m_destinations)
        || (pending.awaitingReview && *pending.awaitingReview != m_awaitingReview);
    const bool errorDiffers = pending.errorMessage && *pending.errorMessage != m_errorMessage;
    const bool integrityDiffers = pending.integrity && *pending.integrity != m_integrity;
    const bool policyDiffers = pending.policy && *pending.policy != m_policy;
    const bool fromAnotherComputerDiffers
        = pending.fromAnotherComputer && *pending.fromAnotherComputer != m_fromAnotherComputer;

    // Every field first, then the signals, so that no observer sees half an update.
    if (pending.destinations)
        m_destinations = *pending.destinations;
    if (pending.awaitingReview)
        m_awaitingReview = *pending.awaitingReview;
    if (errorDiffers)
        m_errorMessage = *pending.errorMessage;
    if (integrityDiffers)
        m_integrity = *pending.integrity;
    if (policyDiffers)
        m_policy = *pending.policy;
    if (fromAnotherComputerDiffers)
        m_fromAnotherComputer = *pending.fromAnotherComputer;

    if (destinationsDiffer)
        Q_EMIT destinationsChanged();
    if (errorDiffers)
        Q_EMIT errorMessageChanged();
    if (integrityDiffers)
        Q_EMIT integrityChanged();
    if (policyDiffers)
        Q_EMIT policyChanged();
    if (fromAnotherComputerDiffers)
        Q_EMIT fromAnotherComputerChanged();
}

void DestinationStore::locked(const std::function<void(Pending &)> &body)
{
    Pending pending;
    try {
        const FileLock lock(lockPath(), true);
        // Every file a change writes is written under this lock: what a killed write left is
        // cleared before the next.
        for (const QString &path :
            { m_seal.destinationsPath(), m_seal.pendingSealPath(), m_seal.policyPath(), m_seal.sealPath() })
            removeLeftoverTemporaries(path, QStringLiteral("settings"));
        // The check and the write share one keyring session.
        const KeyringSession session;
        body(pending);
    } catch (...) {
        publish(pending);
        throw;
    }
    publish(pending);
}

void DestinationStore::refuseOutsideChange(Pending &pending) const
{
    const ConfigIntegrity verdict = m_seal.verify();
    pending.integrity = verdict;
    if (verdict.isChanged())
        throw ConfigError(outsideChangeMessage());
    if (verdict.isUnavailable())
        throw ConfigError(verdict.message());
}

QList<Destination> DestinationStore::readFile(const QString &filePath)
{
    return Destination::decodeFile(readFileIfExists(filePath).value_or(QByteArray()));
}

void DestinationStore::writeFile(const QList<Destination> &list) const
{
    m_seal.commit(Destination::encodeFile(list), std::nullopt);
}

void DestinationStore::reload()
{
    apply(load(m_seal));
}

DestinationStore::Loaded DestinationStore::load(const ConfigSeal &seal)
{
    Loaded loaded;
    Pending &pending = loaded.pending;
    try {
        const FileLock lock(lockPath(seal.destinationsPath()), true);
        // The check and the reads share one keyring session.
        const KeyringSession session;
        const ConfigIntegrity verdict = seal.verify();
        pending.integrity = verdict;
        pending.fromAnotherComputer = verdict.isChanged() && seal.isFromAnotherComputer();
        try {
            switch (verdict.kind()) {
            case ConfigIntegrity::Kind::valid:
                pending.awaitingReview = QList<Destination>();
                pending.destinations = readFile(seal.destinationsPath());
                pending.policy = seal.currentPolicy();
                break;
            case ConfigIntegrity::Kind::changed: {
                // Work goes on with the last configuration the application saved itself.
                const ConfigSeal::Trusted trusted = seal.trusted();
                pending.destinations = trusted.destinations;
                pending.policy = trusted.policy;
                pending.awaitingReview = untrusted(seal.destinationsPath(), trusted.destinations);
                break;
            }
            case ConfigIntegrity::Kind::unavailable:
                pending.awaitingReview = QList<Destination>();
                pending.destinations = QList<Destination>();
                pending.policy = AgentPolicy::Settings {};
                throw ConfigError(verdict.message());
            }
            pending.errorMessage = std::optional<QString>();
        } catch (const std::exception &error) {
            pending.errorMessage = QStringLiteral("Could not read destinations: ") + errorDescription(error);
            throw;
        }
    } catch (...) {
        loaded.failure = std::current_exception();
    }
    return loaded;
}

void DestinationStore::apply(const Loaded &loaded)
{
    publish(loaded.pending);
    if (loaded.failure)
        std::rethrow_exception(loaded.failure);
}

std::optional<Destination> DestinationStore::destination(const QUuid &id) const
{
    for (const Destination &destination : m_destinations) {
        if (destination.id == id)
            return destination;
    }
    return std::nullopt;
}

void DestinationStore::upsert(
    const Destination &destination, const std::optional<Destination> &expected, const Check &check, qsizetype position)
{
    locked([&](Pending &pending) {
        refuseOutsideChange(pending);
        QList<Destination> list = readFile();
        const auto entry = std::find_if(
            list.begin(), list.end(), [&](const Destination &stored) { return stored.id == destination.id; });
        // An entry deleted elsewhere counts as changed too.
        if (expected && (entry == list.end() || *entry != *expected))
            throw Error(conflictMessage(), ErrorKind::conflict);
        if (check)
            check(list);
        if (entry != list.end())
            *entry = destination;
        else
            list.insert(position < 0 ? list.size() : std::min(position, list.size()), destination);
        writeFile(list);
        pending.destinations = list;
        pending.errorMessage = std::optional<QString>();
    });
}

DestinationStore::Removed DestinationStore::remove(const Destination &destination, const CredentialsStore &credentials)
{
    const KeyringSession session;
    // Everything an undo needs is read before anything changes; a keyring that cannot be
    // read stops the removal here.
    Removed removed { destination, {}, std::nullopt };
    QStringList accounts;
    for (CredentialRole role : CredentialRoles::all())
        accounts.append(CredentialsStore::account(role, destination.credentialID));
    const CredentialSecrets secrets = credentials.read(accounts);
    for (CredentialRole role : CredentialRoles::all()) {
        if (const std::optional<QString> secret = secrets.secret(role, destination.credentialID))
            removed.secrets.insert(role, *secret);
    }

    QList<Destination> remaining;
    locked([&](Pending &pending) {
        refuseOutsideChange(pending);
        QList<Destination> list = readFile();
        removed.position = std::find_if(list.cbegin(), list.cend(), [&](const Destination &stored) {
            return stored.id == destination.id;
        }) - list.cbegin();
        list.removeIf([&](const Destination &stored) { return stored.id == destination.id; });
        writeFile(list);
        pending.destinations = list;
        pending.errorMessage = std::optional<QString>();
        remaining = list;
    });

    // Secrets another listed destination still uses must stay: deleting them would lock that
    // destination out of its repository.
    const bool shared = std::any_of(remaining.cbegin(), remaining.cend(),
        [&](const Destination &other) { return other.credentialID == destination.credentialID; });
    if (shared)
        return removed;

    // The destination is out of the file now, so the removal stands whatever happens below.
    // Each item is tried on its own so that one failure leaves as little behind as possible,
    // and the caller still gets everything it needs to undo. A signal that ends the process
    // meanwhile does not leave the secrets of a destination that no longer exists behind.
    const KeyringCleanup cleanup;
    std::optional<QString> firstFailure;
    for (CredentialRole role : CredentialRoles::all()) {
        try {
            credentials.removeSecret(role, destination.credentialID);
        } catch (const std::exception &error) {
            if (!firstFailure)
                firstFailure = errorDescription(error);
        }
    }
    if (firstFailure) {
        removed.warning
            = QStringLiteral("The destination was removed, but some of its keyring items could not be deleted: ")
            + *firstFailure;
        logLine(QStringLiteral("destinations"),
            QStringLiteral("Removed destination %1; deleting its keyring items failed: %2")
                .arg(uuidText(destination.id), *firstFailure));
    }
    return removed;
}

void DestinationStore::restore(const Removed &removed, const CredentialsStore &credentials)
{
    const KeyringSession session;
    for (auto it = removed.secrets.cbegin(); it != removed.secrets.cend(); ++it)
        credentials.setSecret(it.value(), it.key(), removed.destination.credentialID);
    // upsert() takes the lock itself; nothing here may hold it.
    const Destination &destination = removed.destination;
    upsert(
        destination, std::nullopt,
        [&](const QList<Destination> &stored) {
            if (const std::optional<QString> taken = takenName(stored, destination.name, destination.id))
                throw ConfigError(QStringLiteral("“") + destination.name
                    + QStringLiteral("” cannot be put back, because a destination named “") + *taken
                    + QStringLiteral("” now exists."));
        },
        removed.position);
}

std::optional<QString> DestinationStore::takenName(
    const QList<Destination> &stored, const QString &name, const QUuid &self)
{
    // Compatibility forms and composed or decomposed accents look alike too ("Ｈome", "Café"), and
    // so do letters of other scripts that pass for these ("Ноme" in Cyrillic): the confusable
    // skeleton, taken again after folding the case of the first, so "HOME" and "Ноme" both meet
    // "Home".
    const auto folded
        = [](const QString &text) { return text.normalized(QString::NormalizationForm_KC).toCaseFolded(); };
    const auto looks = [](const QString &text) {
        const QString compatible = text.normalized(QString::NormalizationForm_KC);
        return TextRules::skeleton(TextRules::skeleton(compatible).toCaseFolded());
    };
    const QString wanted = folded(name);
    const QString wantedLook = looks(name);
    for (const Destination &other : stored)
        if (other.id != self && (folded(other.name) == wanted || looks(other.name) == wantedLook))
            return other.name;
    return std::nullopt;
}

void DestinationStore::setChangesWithoutApproval(bool on)
{
    locked([&](Pending &pending) {
        refuseOutsideChange(pending);
        const AgentPolicy::Settings settings { on };
        m_seal.commit(std::nullopt, settings);
        pending.policy = settings;
    });
}

} // namespace vellmir

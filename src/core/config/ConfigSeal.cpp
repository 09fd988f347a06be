#include "config/ConfigSeal.h"

#include "config/ConfigError.h"
#include "config/UserDefaults.h"
#include "platform/KeyringSession.h"
#include "util/AtomicFile.h"
#include "util/Json.h"
#include "util/Log.h"
#include "util/SystemError.h"
#include "util/TextRules.h"
#include "util/Uuid.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <cstring>
#include <exception>

namespace vellmir {

namespace {

const QString kVersion = QStringLiteral("version");
const QString kSealCode = QStringLiteral("mac");
const QString kSealed = QStringLiteral("sealed");
constexpr qint64 sealFileVersion = 1;

const QString missingSealLine = QStringLiteral("Vellmir's record of its own settings is missing or was altered.");

QString onOff(bool value)
{
    return value ? QStringLiteral("on") : QStringLiteral("off");
}

QString listed(const QStringList &values)
{
    return values.isEmpty() ? QStringLiteral("none") : values.join(QStringLiteral(", "));
}

// Everything a stored destination says, for a configuration nothing vouches for: what it backs
// up and leaves out, when, what it deletes, and under which keys, since each may have been put
// there by someone else. One line per field, each written out on its own, so that no value can
// pass for other fields or push the real ones out of sight.
QString storedFields(const Destination &destination)
{
    QStringList folders;
    for (const QString &source : destination.sources)
        folders.append(Destination::tildeForm(source));
    const BackupPreferences conditions = destination.effectivePreferences();
    const auto amount = [](double value) {
        return value > 0 ? QString::number(value) + QStringLiteral(" USD") : QStringLiteral("none");
    };
    QStringList lines {
        QStringLiteral("“") + destination.name + QStringLiteral("”"),
        QStringLiteral("Backing up to: ") + destination.repository,
        QStringLiteral("Folders: ") + listed(folders),
        QStringLiteral("Kind: ") + displayName(destination.kind),
        QStringLiteral("Excludes: ") + listed(destination.excludes),
        QStringLiteral("Schedule: ") + displayName(destination.schedule),
        QStringLiteral("Retention: ") + destination.retention.summary(),
        QStringLiteral("Apply retention after backups: ") + onOff(destination.pruneAfterBackup),
        QStringLiteral("Only on AC power: ") + onOff(conditions.onlyOnAC),
        QStringLiteral("Avoid metered networks: ") + onOff(conditions.avoidMeteredNetworks),
        QStringLiteral("Upload limit: ")
            + (conditions.uploadLimitKiB > 0 ? QString::number(conditions.uploadLimitKiB) + QStringLiteral(" KiB/s")
                                             : QStringLiteral("none")),
        QStringLiteral("Monthly checks: ") + onOff(conditions.checkMonthly),
        QStringLiteral("Storage rate per TB and month: ") + amount(conditions.storageRatePerTB),
        QStringLiteral("Monthly budget: ") + amount(conditions.monthlyBudget),
        QStringLiteral("Last backup: ")
            + (destination.lastBackup ? json::fromDate(*destination.lastBackup).toString() : QStringLiteral("never")),
        QStringLiteral("Id: ") + uuidText(destination.id),
        QStringLiteral("Keys stored under: ") + uuidText(destination.credentialID),
    };
    for (QString &line : lines)
        line = TextRules::visible(line);
    return lines.join(u'\n');
}

// The lines as they may be shown: a stored name or repository may hold anything.
QStringList shown(QStringList lines)
{
    for (QString &line : lines)
        line = TextRules::visible(line);
    return lines;
}

// The record stored in "config.seal".
struct SealFile {
    qint64 version = sealFileVersion;
    QByteArray tag;
    SealedConfig sealed;

    QJsonObject toJson() const
    {
        return QJsonObject {
            { kVersion, version },
            { kSealCode, QString::fromLatin1(tag.toBase64()) },
            { kSealed, sealed.toJson() },
        };
    }

    static SealFile fromJson(const QJsonObject &object)
    {
        const JsonReader reader(object);
        SealFile file;
        file.version = reader.integer(kVersion);
        file.tag = decodeBase64Field(object, kSealCode, {});
        file.sealed = SealedConfig::fromJson(reader.object(kSealed));
        return file;
    }
};

// The seal file at `path` when it exists, decodes and has the current version; nullopt for
// anything else (nothing there to trust).
std::optional<SealFile> readSealFile(const QString &path)
{
    try {
        const std::optional<QByteArray> bytes = readFileIfExists(path);
        if (!bytes)
            return std::nullopt;
        SealFile file = SealFile::fromJson(json::parseObject(*bytes));
        if (file.version != sealFileVersion)
            return std::nullopt;
        return file;
    } catch (const Error &) {
        return std::nullopt;
    }
}

// Does the seal vouch for exactly this content under `key`?
bool vouchesFor(const SealFile &file, const SealedConfig &now, const SymmetricKey &key)
{
    if (!tagsEqual(now.tag(key), file.tag))
        return false;
    // The tag vouches for the files as they are now; these comparisons catch a seal file whose
    // sealed copy was edited while its tag was left alone.
    return now.destinations == file.sealed.destinations
        && now.policy.changesWithoutApproval == file.sealed.policy.changesWithoutApproval
        && now.credentials == file.sealed.credentials;
}

QString describe(const std::exception &error)
{
    if (const auto *own = dynamic_cast<const Error *>(&error))
        return own->message();
    return QString::fromLocal8Bit(error.what());
}

// No verdict could be reached. A keyring read that the caller's stop ended is no verdict at
// all: the caller was cancelled, and says so.
ConfigIntegrity unavailable(const std::exception &error)
{
    if (dynamic_cast<const CancellationError *>(&error))
        throw CancellationError();
    return ConfigIntegrity::unavailable(describe(error));
}

// The destinations held in `bytes`; no bytes mean none. Throws JsonError.
QList<Destination> decodeDestinations(const QByteArray &bytes)
{
    return Destination::decodeFile(bytes);
}

// As decodeDestinations, but bytes that do not decode give an empty list and set `unreadable`.
QList<Destination> decodeDestinationsLeniently(const QByteArray &bytes, bool *unreadable = nullptr)
{
    try {
        return decodeDestinations(bytes);
    } catch (const JsonError &) {
        if (unreadable)
            *unreadable = true;
        return {};
    }
}

const Destination *findByID(const QList<Destination> &list, const QUuid &id)
{
    for (const Destination &destination : list) {
        if (destination.id == id)
            return &destination;
    }
    return nullptr;
}

QString quoted(const QString &name)
{
    return QChar(0x201C) + name + QChar(0x201D);
}

} // namespace

// The credential secrets of the destinations a check looks at, each read from the keyring at
// its first use and then kept for the rest of one call, so that a check costs one read however
// many destinations there are, and nothing for the keyring's other items. A failed read fails
// the rest of the call alike.
class ConfigSeal::Secrets {
public:
    explicit Secrets(const CredentialsStore &store)
        : m_store(store)
    {
    }
    const CredentialSecrets &get(const QList<Destination> &destinations)
    {
        if (m_failure)
            std::rethrow_exception(m_failure);
        QStringList missing = CredentialsStore::accounts(destinations);
        missing.removeIf([&](const QString &account) { return m_read.contains(account); });
        if (missing.isEmpty())
            return m_secrets;
        try {
            m_secrets.insert(m_store.read(missing));
        } catch (...) {
            m_failure = std::current_exception();
            throw;
        }
        m_read.unite(QSet<QString>(missing.cbegin(), missing.cend()));
        return m_secrets;
    }

private:
    const CredentialsStore &m_store;
    CredentialSecrets m_secrets;
    QSet<QString> m_read;
    std::exception_ptr m_failure;
};

ConfigSeal::ConfigSeal(QString destinationsPath, std::shared_ptr<SealKeyStore> keys, CredentialsStore credentials,
    QString userDefaultsPath)
    : m_destinationsPath(std::move(destinationsPath))
    , m_keys(std::move(keys))
    , m_credentials(std::move(credentials))
    , m_userDefaultsPath(std::move(userDefaultsPath))
{
}

QString ConfigSeal::folder() const
{
    return QFileInfo(m_destinationsPath).absolutePath();
}

QString ConfigSeal::sealPath() const
{
    return folder() + u'/' + sealFileName();
}

QString ConfigSeal::policyPath() const
{
    return folder() + u'/' + policyFileName();
}

QString ConfigSeal::pendingSealPath() const
{
    return folder() + u'/' + pendingSealFileName();
}

QMap<QString, QString> ConfigSeal::currentFingerprints(const Destination &destination, Secrets &secrets)
{
    QMap<QString, QString> entries;
    const QString prefix = uuidText(destination.credentialID) + u'/';
    for (CredentialRole role : credentialRoles(destination.kind)) {
        // A missing item fingerprints like an empty secret.
        const QString secret = secrets.get({ destination }).secret(role, destination.credentialID).value_or(QString());
        entries.insert(prefix + CredentialRoles::toString(role), secretFingerprint(secret));
    }
    return entries;
}

QMap<QString, QString> ConfigSeal::currentFingerprints(const QList<Destination> &destinations, Secrets &secrets)
{
    secrets.get(destinations);
    QMap<QString, QString> entries;
    for (const Destination &destination : destinations)
        entries.insert(currentFingerprints(destination, secrets));
    return entries;
}

QMap<QString, QString> ConfigSeal::fingerprints(const Destination &destination, const SealedConfig &sealed)
{
    QMap<QString, QString> entries;
    const QString prefix = uuidText(destination.credentialID) + u'/';
    for (auto it = sealed.credentials.cbegin(); it != sealed.credentials.cend(); ++it) {
        if (it.key().startsWith(prefix))
            entries.insert(it.key(), it.value());
    }
    return entries;
}

SealedConfig ConfigSeal::current() const
{
    const KeyringSession session;
    Secrets secrets(m_credentials);
    return current(false, secrets);
}

AgentPolicy::Settings ConfigSeal::currentPolicy() const
{
    if (const std::optional<QByteArray> policy = readFileIfExists(policyPath()))
        return AgentPolicy::Settings::fromJson(json::parseObject(*policy, QStringLiteral("The agent policy file")));
    return {};
}

SealedConfig ConfigSeal::current(bool tolerateUnreadableDestinations, Secrets &secrets) const
{
    SealedConfig config;
    config.destinations = readFileIfExists(m_destinationsPath).value_or(QByteArray());
    config.policy = currentPolicy();
    const QList<Destination> destinations = tolerateUnreadableDestinations
        ? decodeDestinationsLeniently(config.destinations)
        : decodeDestinations(config.destinations);
    config.credentials = currentFingerprints(destinations, secrets);
    return config;
}

std::optional<SealedConfig> ConfigSeal::sealed() const
{
    const std::optional<SymmetricKey> key = m_keys->key();
    if (!key)
        return std::nullopt;
    Secrets secrets(m_credentials);
    settlePending(*key, secrets);
    // Anything wrong with the file itself means there is no seal to trust.
    const std::optional<SealFile> file = readSealFile(sealPath());
    if (!file || !tagsEqual(file->sealed.tag(*key), file->tag))
        return std::nullopt;
    return file->sealed;
}

SymmetricKey ConfigSeal::keyOrNew() const
{
    if (std::optional<SymmetricKey> key = m_keys->key())
        return *key;
    return createKey();
}

SymmetricKey ConfigSeal::createKey() const
{
    // The key is stored only once a seal made with it lies on disk as the pending seal. Killed
    // before the key is stored, the next start finds no key and no seal and starts afresh;
    // killed after, it finds a pending seal that this key vouches for and promotes it. Never a
    // key without a seal that reads as changed outside.
    SymmetricKey key = SymmetricKey::random();
    Secrets secrets(m_credentials);
    SealFile file;
    file.sealed = current(false, secrets);
    file.tag = file.sealed.tag(key);
    writeFileAtomically(pendingSealPath(), json::pretty(file.toJson()));
    const SymmetricKey stored = m_keys->store(key);
    if (stored != key) {
        // Another process stored its key first; everyone signs with that one.
        file.tag = file.sealed.tag(stored);
        writeFileAtomically(pendingSealPath(), json::pretty(file.toJson()));
    }
    promotePending();
    return stored;
}

void ConfigSeal::promotePending() const
{
    replaceByRename(pendingSealPath(), sealPath());
}

void ConfigSeal::settlePending(const SymmetricKey &key, const std::optional<SealedConfig> &now) const
{
    const std::optional<SealFile> pending = readSealFile(pendingSealPath());
    if (pending && now && vouchesFor(*pending, *now, key)) {
        // A change that was written in full but stopped before its seal replaced the old one.
        promotePending();
        logLine(QStringLiteral("seal"), QStringLiteral("Put in place the seal of a change that stopped halfway."));
        return;
    }
    // It vouches for content that was never written in full, or that changed since: the
    // seal in place is the last one that held.
    if (!QFile::remove(pendingSealPath()))
        throw Error(QStringLiteral("Could not delete %1.").arg(pendingSealPath()));
}

void ConfigSeal::settlePending(const SymmetricKey &key, Secrets &secrets) const
{
    if (!QFileInfo::exists(pendingSealPath()))
        return;
    std::optional<SealedConfig> now;
    try {
        now = current(false, secrets);
    } catch (const JsonError &) {
        // Files that do not decode are vouched for by no seal.
    }
    settlePending(key, now);
}

void ConfigSeal::seal(const SymmetricKey &key) const
{
    SealFile file;
    file.sealed = current();
    file.tag = file.sealed.tag(key);
    writeFileAtomically(sealPath(), json::pretty(file.toJson()));
    // A pending seal left by a change that stopped halfway vouches for nothing current any more.
    QFile::remove(pendingSealPath());
}

void ConfigSeal::commit(
    const std::optional<QByteArray> &destinations, const std::optional<AgentPolicy::Settings> &policy) const
{
    const KeyringSession session;
    const SymmetricKey key = keyOrNew();

    // The seal of the content as it will be once the change is written.
    SealFile file;
    file.sealed.destinations
        = destinations ? *destinations : readFileIfExists(m_destinationsPath).value_or(QByteArray());
    file.sealed.policy = policy ? *policy : currentPolicy();
    Secrets secrets(m_credentials);
    file.sealed.credentials = currentFingerprints(decodeDestinations(file.sealed.destinations), secrets);
    file.tag = file.sealed.tag(key);

    // Until the rename below, "config.seal" vouches for the old files and the pending seal for
    // the new ones, so whichever of them a crash leaves behind verifies.
    writeFileAtomically(pendingSealPath(), json::pretty(file.toJson()));
    if (destinations) {
        if (!destinations->isEmpty())
            writeFileAtomically(m_destinationsPath, *destinations);
        else if (QFile::exists(m_destinationsPath) && !QFile::remove(m_destinationsPath))
            throw Error(QStringLiteral("Could not delete %1.").arg(m_destinationsPath));
    }
    if (policy)
        writeFileAtomically(policyPath(), json::pretty(policy->toJson()));
    promotePending();
}

void ConfigSeal::seal() const
{
    const KeyringSession session;
    seal(keyOrNew());
}

void ConfigSeal::writePolicy(const AgentPolicy::Settings &settings) const
{
    writeFileAtomically(policyPath(), json::pretty(settings.toJson()));
}

ConfigIntegrity ConfigSeal::verify() const
{
    const KeyringSession session;
    try {
        std::optional<SymmetricKey> key;
        try {
            key = m_keys->key();
        } catch (const std::exception &error) {
            return unavailable(error);
        }

        if (!key) {
            // A seal without a key was made on another computer, or this computer's key is gone.
            if (QFileInfo::exists(sealPath()))
                return ConfigIntegrity::changed();
            // First run: move the old user-defaults policy into the sealed file, then seal.
            try {
                const auto defaults = m_userDefaultsPath.isEmpty() ? std::make_unique<UserDefaults>()
                                                                   : std::make_unique<UserDefaults>(m_userDefaultsPath);
                if (!QFileInfo::exists(policyPath())
                    && defaults->boolValue(UserDefaults::agentChangesWithoutApproval, false))
                    writePolicy(AgentPolicy::Settings { true });
                // Removed whatever its value, so the old setting can never come back later.
                defaults->remove(UserDefaults::agentChangesWithoutApproval);
                createKey();
                return ConfigIntegrity::valid();
            } catch (const std::exception &error) {
                return unavailable(error);
            }
        }

        if (!QFileInfo::exists(sealPath()) && !QFileInfo::exists(pendingSealPath())) {
            // No seal over the defaults (no destinations, agents asking first) has nothing to
            // review: a first start that an older version left without its seal. Anything set
            // up beyond them reads as changed.
            try {
                if (!QFileInfo::exists(m_destinationsPath) && !currentPolicy().changesWithoutApproval) {
                    seal(*key);
                    return ConfigIntegrity::valid();
                }
            } catch (const JsonError &) {
            }
            return ConfigIntegrity::changed();
        }

        std::optional<SealedConfig> now;
        try {
            Secrets secrets(m_credentials);
            now = current(false, secrets);
        } catch (const JsonError &) {
            // Damaged JSON is a change to review; a read or keyring failure is not a verdict.
        } catch (const std::exception &error) {
            return unavailable(error);
        }
        // A pending seal is a change this application was writing when it stopped. Settled
        // here, so that nothing after this check reads a seal the pending one superseded.
        if (QFileInfo::exists(pendingSealPath()))
            settlePending(*key, now);

        const std::optional<SealFile> file = readSealFile(sealPath());
        if (!now || !file || !vouchesFor(*file, *now, *key))
            return ConfigIntegrity::changed();
        return ConfigIntegrity::valid();
    } catch (const std::exception &error) {
        return unavailable(error);
    }
}

bool ConfigSeal::isFromAnotherComputer() const
{
    if (!QFileInfo::exists(sealPath()))
        return false;
    try {
        return !m_keys->key().has_value();
    } catch (const std::exception &) {
        return true;
    }
}

QList<Destination> ConfigSeal::trustedDestinations(const SealedConfig &sealed, bool strict, Secrets &secrets) const
{
    QList<Destination> kept;
    const QList<Destination> destinations = decodeDestinations(sealed.destinations);
    try {
        secrets.get(destinations);
    } catch (const std::exception &) {
        if (strict)
            throw;
    }
    for (const Destination &destination : destinations) {
        QMap<QString, QString> now;
        if (strict) {
            now = currentFingerprints(destination, secrets);
        } else {
            try {
                now = currentFingerprints(destination, secrets);
            } catch (const std::exception &) {
                // Unreadable secrets cannot be vouched for: the destination is left out.
                continue;
            }
        }
        if (now == fingerprints(destination, sealed))
            kept.append(destination);
    }
    return kept;
}

ConfigSeal::Trusted ConfigSeal::trusted() const
{
    const KeyringSession session;
    const std::optional<SealedConfig> sealedConfig = sealed();
    if (!sealedConfig)
        return {};
    Secrets secrets(m_credentials);
    return { trustedDestinations(*sealedConfig, false, secrets), sealedConfig->policy };
}

QStringList ConfigSeal::everythingOnFile() const
{
    QStringList lines;
    bool unreadable = false;
    QList<Destination> destinations;
    try {
        destinations
            = decodeDestinationsLeniently(readFileIfExists(m_destinationsPath).value_or(QByteArray()), &unreadable);
    } catch (const Error &) {
        unreadable = true;
    }
    if (unreadable)
        lines.append(QStringLiteral("The destinations file can no longer be read."));
    for (const Destination &destination : std::as_const(destinations))
        lines.append(storedFields(destination)); // written out, field by field
    if (currentPolicy().changesWithoutApproval)
        lines.append(QStringLiteral("Agents may make changes without asking."));
    return lines;
}

QStringList ConfigSeal::differences() const
{
    const KeyringSession session;
    Secrets read(m_credentials);
    return differences(read);
}

QByteArray ConfigSeal::digest(const ConfigFiles &files, Secrets &secrets) const
{
    // A missing file differs from an empty one.
    const auto bytes = [](const std::optional<QByteArray> &file) -> QJsonValue {
        return file ? QJsonValue(QString::fromLatin1(file->toBase64())) : QJsonValue();
    };
    QJsonObject fingerprints;
    const QMap<QString, QString> entries
        = currentFingerprints(decodeDestinationsLeniently(files.destinations.value_or(QByteArray())), secrets);
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        fingerprints.insert(it.key(), it.value());
    const QJsonObject all { { QStringLiteral("destinations"), bytes(files.destinations) },
        { QStringLiteral("policy"), bytes(files.policy) }, { QStringLiteral("seal"), bytes(files.seal) },
        { QStringLiteral("credentials"), fingerprints } };
    return QCryptographicHash::hash(json::compact(all), QCryptographicHash::Sha256);
}

ConfigSeal::ConfigFiles ConfigSeal::readFiles() const
{
    return { readFileIfExists(m_destinationsPath), readFileIfExists(policyPath()), readFileIfExists(sealPath()) };
}

ConfigSeal::Review ConfigSeal::review() const
{
    const KeyringSession session;
    Secrets secrets(m_credentials);
    // The lines and the digest come from separate reads of the files; the digest taken on
    // both sides of the lines shows that nothing changed in between.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QByteArray before = digest(readFiles(), secrets);
        Review review { differences(secrets), digest(readFiles(), secrets) };
        if (review.digest == before)
            return review;
    }
    // Files that keep changing: lines that no keep can match.
    return { differences(secrets), QByteArray() };
}

bool ConfigSeal::sealIfUnchanged(const QByteArray &expected) const
{
    const KeyringSession session;
    Secrets secrets(m_credentials);
    const ConfigFiles files = readFiles();
    if (expected.isEmpty() || digest(files, secrets) != expected)
        return false;
    // Sealed from the very bytes the digest covered, not from a second read.
    SealFile file;
    file.sealed.destinations = files.destinations.value_or(QByteArray());
    if (files.policy)
        file.sealed.policy = AgentPolicy::Settings::fromJson(
            json::parseObject(*files.policy, QStringLiteral("The agent policy file")));
    file.sealed.credentials = currentFingerprints(decodeDestinations(file.sealed.destinations), secrets);
    const SymmetricKey key = keyOrNew();
    file.tag = file.sealed.tag(key);
    writeFileAtomically(sealPath(), json::pretty(file.toJson()));
    QFile::remove(pendingSealPath());
    return true;
}

QStringList ConfigSeal::differences(Secrets &read) const
{
    if (isFromAnotherComputer())
        return everythingOnFile();

    const std::optional<SealedConfig> sealedConfig = sealed();
    if (!sealedConfig)
        return QStringList { missingSealLine } + everythingOnFile();
    // A destinations file that no longer decodes is itself one of the differences to report.
    const SealedConfig now = current(true, read);

    bool unreadable = false;
    const QList<Destination> before = decodeDestinationsLeniently(sealedConfig->destinations);
    const QList<Destination> after = decodeDestinationsLeniently(now.destinations, &unreadable);

    QStringList lines;
    if (unreadable)
        lines.append(QStringLiteral("The destinations file can no longer be read."));
    for (const Destination &destination : after) {
        if (!findByID(before, destination.id))
            lines.append(QStringLiteral("Added destination ") + quoted(destination.name)
                + QStringLiteral(", backing up to ") + destination.repository + u'.');
    }
    for (const Destination &destination : before) {
        if (!findByID(after, destination.id))
            lines.append(QStringLiteral("Removed destination ") + quoted(destination.name) + u'.');
    }
    for (const Destination &destination : after) {
        const Destination *match = findByID(before, destination.id);
        if (!match)
            continue;
        if (destination != *match) {
            // A settings change outranks a secrets change: one line per destination.
            if (destination.repository == match->repository)
                lines.append(QStringLiteral("Changed the settings of ") + quoted(destination.name) + u'.');
            else
                lines.append(QStringLiteral("Changed where ") + quoted(destination.name)
                    + QStringLiteral(" backs up to: ") + destination.repository + u'.');
            continue;
        }
        QMap<QString, QString> secrets;
        try {
            secrets = currentFingerprints(destination, read);
        } catch (const std::exception &) {
        }
        if (secrets != fingerprints(destination, *sealedConfig))
            lines.append(QStringLiteral("Replaced the stored password or keys for ") + quoted(destination.name) + u'.');
    }

    const bool wasOn = sealedConfig->policy.changesWithoutApproval;
    const bool isOn = now.policy.changesWithoutApproval;
    if (wasOn != isOn)
        lines.append(isOn ? QStringLiteral("Turned on agent changes without approval.")
                          : QStringLiteral("Turned off agent changes without approval."));
    else if (lines.isEmpty())
        // Something the record comparison cannot see, such as a reformatted destinations file.
        lines.append(QStringLiteral("Vellmir's record of its own settings was altered."));
    return shown(lines);
}

QStringList ConfigSeal::undo() const
{
    const KeyringSession session;
    const std::optional<SealedConfig> sealedConfig = sealed();
    if (!sealedConfig)
        throw ConfigError(QStringLiteral("There is no trusted configuration to go back to."));
    const QList<Destination> sealedList = decodeDestinations(sealedConfig->destinations);
    // Read strictly: a keyring that fails for a moment must not make a destination look
    // replaced, or the undo below would drop it and delete its repository password for good.
    // Everything is read before the first file is written or item deleted.
    Secrets secrets(m_credentials);
    const QList<Destination> kept = trustedDestinations(*sealedConfig, true, secrets);

    QList<Destination> removed;
    for (const Destination &destination : sealedList) {
        if (!findByID(kept, destination.id))
            removed.append(destination);
    }

    // Nothing dropped: the sealed bytes go back as they were (none: the file is deleted).
    commit(removed.isEmpty() ? sealedConfig->destinations : Destination::encodeFile(kept), sealedConfig->policy);

    for (const Destination &destination : std::as_const(removed)) {
        // Items that a kept destination still uses match their seal and stay.
        const bool shared = std::any_of(kept.cbegin(), kept.cend(),
            [&](const Destination &other) { return other.credentialID == destination.credentialID; });
        if (shared)
            continue;
        try {
            m_credentials.removeAll(destination.credentialID);
        } catch (const std::exception &error) {
            logLine(QStringLiteral("seal"),
                QStringLiteral("Could not delete the keyring items of the removed destination %1: %2")
                    .arg(uuidText(destination.id), describe(error)));
        }
    }

    QStringList names;
    for (const Destination &destination : std::as_const(removed))
        names.append(destination.name);
    return names;
}

SealAccessCheck checkSealAccess(const SealKeyStore &keys)
{
    try {
        keys.key();
        return { QStringLiteral("Seal keyring: reachable\n"), 0 };
    } catch (const std::exception &error) {
        return { describe(error) + u'\n', 1 };
    }
}

} // namespace vellmir

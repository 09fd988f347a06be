#include "platform/SecretServiceCall.h"

#include "engine/ResticSettingsDiscovery.h"

#include "platform/KeyringError.h"
#include "platform/KeyringStore.h"
#include "util/Error.h"

#include <QProcessEnvironment>

namespace vellmir {

QString DiscoveredResticSettings::label(Source source)
{
    switch (source) {
    case Source::environment:
        return QStringLiteral("Vellmir's environment variables");
    case Source::cliKeyring:
        return QStringLiteral("the ferrocopy-backup command-line tool's keyring items");
    }
    return {};
}

namespace ResticSettingsDiscovery {

namespace {

const QString repositoryName = QStringLiteral("RESTIC_REPOSITORY");
const QString passwordName = QStringLiteral("RESTIC_PASSWORD");
// The tool keeps one key pair for both providers; the repository's kind says which it is.
const QString cliKeyIDName = QStringLiteral("RESTIC_FERROCOPY_AWS_KEY_ID");
const QString cliSecretName = QStringLiteral("RESTIC_FERROCOPY_AWS_SECRET");

struct RawValues {
    std::optional<QString> repository;
    std::optional<QString> password;
    std::optional<QString> b2AccountID;
    std::optional<QString> b2AccountKey;
    std::optional<QString> awsAccessKeyID;
    std::optional<QString> awsSecretAccessKey;
};

std::optional<QString> lookup(const Environment &environment, const QString &name)
{
    const auto it = environment.constFind(name);
    if (it == environment.constEnd())
        return std::nullopt;
    return it.value();
}

// Trimmed of white space and line breaks at both ends; empty becomes absent.
std::optional<QString> cleaned(const std::optional<QString> &value)
{
    if (!value)
        return std::nullopt;
    QString trimmed = value->trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

KeyringError keyringError(const QString &message, int code = 0)
{
    return KeyringError::unexpectedStatus(message, code);
}

[[noreturn]] void failKeyring(const QString &message, int code)
{
    throw keyringError(message, code);
}

// The first item whose attribute "service" is `service`, of any schema, as the tool's items
// are found by their service name alone. Secrets are loaded only when `loadSecret` is set.
// Locked items are listed but never unlocked, so the lookup cannot raise an unlock prompt. Bounded
// in time and ended by a stop signal, as every keyring call is.
// Returns a new reference or nullptr when nothing matches; throws on a keyring failure.
SecretItem *findItem(const QString &service, bool loadSecret)
{
    keyring::SecretServiceCall call(KeyringStore::defaultTimeLimit, failKeyring);
    const QByteArray serviceUtf8 = service.toUtf8();
    const keyring::HashTablePtr attributes(g_hash_table_new(g_str_hash, g_str_equal));
    g_hash_table_insert(attributes.get(), const_cast<char *>("service"), const_cast<char *>(serviceUtf8.constData()));
    const keyring::ItemList items
        = call.search(nullptr, attributes.get(), loadSecret ? SECRET_SEARCH_LOAD_SECRETS : SECRET_SEARCH_NONE);
    return items ? SECRET_ITEM(g_object_ref(items->data)) : nullptr;
}

} // namespace

std::optional<QString> keyringItemValue(const QString &service)
{
    SecretItem *item = findItem(service, true);
    if (!item)
        return std::nullopt;
    const bool locked = secret_item_get_locked(item);
    SecretValue *value = locked ? nullptr : secret_item_get_secret(item);
    g_object_unref(item);
    // A locked keyring is a failure, never "no such item".
    if (locked)
        throw keyringError(QStringLiteral("The keyring is locked."));
    if (!value)
        return std::nullopt;
    gsize length = 0;
    const gchar *data = secret_value_get(value, &length);
    // Invalid UTF-8 turns into replacement characters rather than failing.
    QString text = QString::fromUtf8(data, static_cast<qsizetype>(length));
    secret_value_unref(value);
    return text;
}

bool keyringItemExists(const QString &service)
{
    try {
        SecretItem *item = findItem(service, false);
        if (!item)
            return false;
        g_object_unref(item);
        return true;
    } catch (const Error &) {
        return false;
    }
}

Environment processEnvironment()
{
    Environment environment;
    const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
    for (const QString &name : system.keys())
        environment.insert(name, system.value(name));
    return environment;
}

std::optional<Destination::Kind> kind(const QString &repository)
{
    if (repository.startsWith(u"b2:"))
        return Destination::Kind::backblazeB2;
    if (repository.startsWith(u"s3:"))
        return Destination::Kind::s3;
    if (repository.startsWith(u"sftp:"))
        return Destination::Kind::sftp;
    if (repository.startsWith(u'/'))
        return Destination::Kind::local;
    return std::nullopt;
}

QList<DiscoveredResticSettings::Source> availableSources(const Environment &environment, const KeyringHas &keyringHas)
{
    QList<DiscoveredResticSettings::Source> sources;
    // Taken as it stands: a blank value is still offered, and load then finds nothing in it.
    if (!environment.value(repositoryName).isEmpty())
        sources.append(DiscoveredResticSettings::Source::environment);
    bool keyringHasRepository = false;
    try {
        keyringHasRepository = keyringHas(repositoryName);
    } catch (...) {
        // A keyring that cannot be asked holds nothing worth offering.
    }
    if (keyringHasRepository)
        sources.append(DiscoveredResticSettings::Source::cliKeyring);
    return sources;
}

std::optional<DiscoveredResticSettings> load(
    DiscoveredResticSettings::Source source, const Environment &environment, const KeyringValue &keyringValue)
{
    RawValues raw;
    switch (source) {
    case DiscoveredResticSettings::Source::environment:
        raw.repository = lookup(environment, repositoryName);
        raw.password = lookup(environment, passwordName);
        raw.b2AccountID = lookup(environment, QStringLiteral("B2_ACCOUNT_ID"));
        raw.b2AccountKey = lookup(environment, QStringLiteral("B2_ACCOUNT_KEY"));
        raw.awsAccessKeyID = lookup(environment, QStringLiteral("AWS_ACCESS_KEY_ID"));
        raw.awsSecretAccessKey = lookup(environment, QStringLiteral("AWS_SECRET_ACCESS_KEY"));
        break;
    case DiscoveredResticSettings::Source::cliKeyring: {
        // All four items are read before anything is judged, so a keyring failure surfaces
        // even when the repository turns out to be unusable.
        const std::optional<QString> keyID = keyringValue(cliKeyIDName);
        const std::optional<QString> secret = keyringValue(cliSecretName);
        raw.repository = keyringValue(repositoryName);
        raw.password = keyringValue(passwordName);
        raw.b2AccountID = raw.awsAccessKeyID = keyID;
        raw.b2AccountKey = raw.awsSecretAccessKey = secret;
        break;
    }
    }

    const std::optional<QString> repository = cleaned(raw.repository);
    if (!repository)
        return std::nullopt;
    const std::optional<Destination::Kind> repositoryKind = kind(*repository);
    if (!repositoryKind)
        return std::nullopt;

    DiscoveredResticSettings settings;
    settings.source = source;
    settings.kind = *repositoryKind;
    settings.repository = *repository;
    settings.password = cleaned(raw.password);
    switch (*repositoryKind) {
    case Destination::Kind::backblazeB2:
        settings.b2AccountID = cleaned(raw.b2AccountID);
        settings.b2AccountKey = cleaned(raw.b2AccountKey);
        break;
    case Destination::Kind::s3:
        settings.awsAccessKeyID = cleaned(raw.awsAccessKeyID);
        settings.awsSecretAccessKey = cleaned(raw.awsSecretAccessKey);
        break;
    case Destination::Kind::sftp:
    case Destination::Kind::local:
        break;
    }
    return settings;
}

} // namespace ResticSettingsDiscovery

} // namespace vellmir

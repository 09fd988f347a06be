#include "platform/SecretServiceCall.h"

#include "platform/DataProtectionSealKeyStore.h"
#include "platform/KeyringStore.h"

#include <QFile>

namespace vellmir {

namespace {

using namespace keyring;
using Status = SealKeyError::Status;

const SecretSchema *sealSchema()
{
    // Its own schema name keeps the key apart from the credential items, which libsecret matches
    // by the "xdg:schema" attribute it adds on store and search.
    static const SecretSchema schema = [] {
        SecretSchema s {};
        s.name = "org.vellmir.Vellmir.SealKey";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = { "service", SECRET_SCHEMA_ATTRIBUTE_STRING };
        s.attributes[1] = { "account", SECRET_SCHEMA_ATTRIBUTE_STRING };
        s.attributes[2] = { "machine-id", SECRET_SCHEMA_ATTRIBUTE_STRING };
        s.attributes[3] = { nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING };
        return s;
    }();
    return &schema;
}

// The attributes naming the key's item. The byte arrays own the strings the table points at.
class Attributes {
public:
    explicit Attributes(const QString &machineId)
        : m_service(DataProtectionSealKeyStore::service().toUtf8())
        , m_account(DataProtectionSealKeyStore::account().toUtf8())
        , m_machineId(machineId.toUtf8())
        , m_table(g_hash_table_new(g_str_hash, g_str_equal))
    {
        g_hash_table_insert(m_table, const_cast<char *>("service"), m_service.data());
        g_hash_table_insert(m_table, const_cast<char *>("account"), m_account.data());
        g_hash_table_insert(m_table, const_cast<char *>("machine-id"), m_machineId.data());
    }
    ~Attributes() { g_hash_table_unref(m_table); }
    Attributes(const Attributes &) = delete;
    Attributes &operator=(const Attributes &) = delete;

    GHashTable *table() const { return m_table; }

private:
    QByteArray m_service;
    QByteArray m_account;
    QByteArray m_machineId;
    GHashTable *m_table;
};

[[noreturn]] void fail(const QString &message, int)
{
    throw SealKeyError::unavailable(Status::unreachable,
        message.trimmed().isEmpty() ? QStringLiteral("The secret service reported an unknown error.") : message);
}

// Every item of the key, locked ones included; never unlocks and never prompts.
ItemList search(SecretServiceCall &call, const Attributes &attributes, bool loadSecrets)
{
    const auto flags
        = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | (loadSecrets ? SECRET_SEARCH_LOAD_SECRETS : 0));
    return call.search(sealSchema(), attributes.table(), flags);
}

SecretItem *oldestItem(GList *items)
{
    // Only one item is ever created, but should two exist, always picking the same one keeps
    // the seal check stable.
    SecretItem *oldest = nullptr;
    for (GList *node = items; node; node = node->next) {
        auto *item = static_cast<SecretItem *>(node->data);
        // Ties (the keyring counts whole seconds) go to the lower object path, the same for everyone.
        const guint64 created = secret_item_get_created(item);
        const guint64 best = oldest ? secret_item_get_created(oldest) : 0;
        if (!oldest || created < best
            || (created == best
                && QByteArray(g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)))
                    < QByteArray(g_dbus_proxy_get_object_path(G_DBUS_PROXY(oldest)))))
            oldest = item;
    }
    return oldest;
}

SealKeyError lockedError()
{
    return SealKeyError::unavailable(Status::locked, QStringLiteral("The keyring is locked."));
}

// The key the oldest item holds, or nullopt when there is none.
std::optional<SymmetricKey> readKey(SecretServiceCall &call, const Attributes &attributes)
{
    const ItemList found = search(call, attributes, true);
    SecretItem *item = oldestItem(found.get());
    if (!item)
        return std::nullopt;
    if (secret_item_get_locked(item))
        throw lockedError();

    const ValuePtr value(secret_item_get_secret(item));
    if (!value)
        throw SealKeyError::unavailable(Status::decodeFailed, QStringLiteral("Unable to decode the stored seal key."));
    gsize length = 0;
    const gchar *data = secret_value_get(value.get(), &length);
    QByteArray text(data, static_cast<qsizetype>(length));

    QByteArray::FromBase64Result decoded
        = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    text.fill('\0');
    if (decoded.decodingStatus != QByteArray::Base64DecodingStatus::Ok || decoded.decoded.size() != SymmetricKey::size)
        throw SealKeyError::unavailable(Status::decodeFailed, QStringLiteral("Unable to decode the stored seal key."));
    return SymmetricKey(std::move(decoded.decoded));
}

} // namespace

DataProtectionSealKeyStore::DataProtectionSealKeyStore()
    : m_machineIdPaths { QStringLiteral("/etc/machine-id"), QStringLiteral("/var/lib/dbus/machine-id") }
    , m_timeLimit(KeyringStore::defaultTimeLimit)
{
}

DataProtectionSealKeyStore::DataProtectionSealKeyStore(const QString &machineIdPath)
    : DataProtectionSealKeyStore(machineIdPath, KeyringStore::defaultTimeLimit)
{
}

DataProtectionSealKeyStore::DataProtectionSealKeyStore(
    const QString &machineIdPath, std::chrono::milliseconds timeLimit)
    : m_machineIdPaths { machineIdPath }
    , m_timeLimit(timeLimit)
{
}

QString DataProtectionSealKeyStore::service()
{
    return KeyringStore::applicationService() + QStringLiteral(".config-seal");
}

QString DataProtectionSealKeyStore::account()
{
    return QStringLiteral("seal-key");
}

QString DataProtectionSealKeyStore::machineId() const
{
    for (const QString &path : m_machineIdPaths) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString id = QString::fromUtf8(file.readAll()).trimmed();
        if (!id.isEmpty())
            return id;
    }
    // Without the id the key could not be bound to this computer; refuse rather than store an
    // unbound key.
    throw SealKeyError::unavailable(Status::unreachable,
        QStringLiteral("The machine id could not be read from %1.").arg(m_machineIdPaths.join(QStringLiteral(" or "))));
}

std::optional<SymmetricKey> DataProtectionSealKeyStore::key() const
{
    const Attributes attributes(machineId());
    SecretServiceCall call(m_timeLimit, fail);
    return readKey(call, attributes);
}

SymmetricKey DataProtectionSealKeyStore::store(const SymmetricKey &key)
{
    const Attributes attributes(machineId());
    SecretServiceCall call(m_timeLimit, fail);

    // Storing an item with the same attributes would silently replace the key and break every
    // seal made with it, so look first.
    if (search(call, attributes, false))
        throw SealKeyError::unavailable(
            Status::duplicateItem, QStringLiteral("The specified item already exists in the keyring."));

    // The default collection is looked up without creating it: creating one would prompt.
    const GObjectPtr<SecretCollection> collection = call.defaultCollection();
    if (!collection)
        throw SealKeyError::unavailable(Status::unreachable, QStringLiteral("The keyring has no default collection."));
    if (secret_collection_get_locked(collection.get()))
        throw lockedError();

    QByteArray text = key.bytes().toBase64();
    const ValuePtr value(secret_value_new(text.constData(), text.size(), "text/plain"));
    text.fill('\0');
    GError *error = nullptr;
    const GObjectPtr<SecretItem> item(secret_item_create_sync(collection.get(), sealSchema(), attributes.table(),
        "Vellmir configuration seal key", value.get(), SECRET_ITEM_CREATE_NONE, call.cancellable(), &error));
    call.check(error);
    // Two first runs at once can both look, find nothing and both store a key. Everyone then
    // uses the same (oldest) one, so a seal made here verifies in the other process too.
    if (std::optional<SymmetricKey> stored = readKey(call, attributes))
        return *stored;
    return key;
}

} // namespace vellmir

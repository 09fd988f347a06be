#include "platform/SecretServiceCall.h"

#include "platform/KeyringStore.h"

#include <algorithm>

namespace vellmir {

QString KeyringStore::applicationService()
{
    return QStringLiteral("org.vellmir.Vellmir");
}

namespace {

using namespace keyring;

[[noreturn]] void fail(const QString &message, int code)
{
    throw KeyringError::unexpectedStatus(message, code);
}

// Generic-password items: identity is service + account alone, so an item someone else
// stored with the same two attributes is the same item.
const SecretSchema *schema()
{
    static const SecretSchema value = [] {
        SecretSchema s {};
        s.name = "org.vellmir.Vellmir.Password";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = { "service", SECRET_SCHEMA_ATTRIBUTE_STRING };
        s.attributes[1] = { "account", SECRET_SCHEMA_ATTRIBUTE_STRING };
        return s;
    }();
    return &value;
}

KeyringError lockedError()
{
    return KeyringError::unexpectedStatus(QStringLiteral("The keyring is locked. Unlock it and try again."));
}

// The credential items' side of a keyring call.
class Operation {
public:
    explicit Operation(std::chrono::milliseconds limit)
        : m_call(limit, fail)
    {
    }

    // The collection behind the "default" alias, or null when there is none. A locked one
    // fails the call: a locked keyring may hide items, and reading it would need a prompt.
    GObjectPtr<SecretCollection> defaultCollection()
    {
        GObjectPtr<SecretCollection> collection = m_call.defaultCollection();
        if (collection && secret_collection_get_locked(collection.get()))
            throw lockedError();
        return collection;
    }

    // Matching items, unlocked ones first; never unlocks anything. No account matches every
    // account of the service.
    ItemList search(const QByteArray &service, const QByteArray *account, SecretSearchFlags flags)
    {
        HashTablePtr attributes(attributeTable(service, account));
        ItemList items = m_call.search(schema(), attributes.get(), flags);
        for (GList *node = items.get(); node; node = node->next)
            if (secret_item_get_locked(SECRET_ITEM(node->data)))
                throw lockedError();
        return items;
    }

    // The items of the service with these accounts, with their secrets: one search per account,
    // all sent at once, then one read of all the secrets. Items of other accounts, however many
    // the keyring holds, cost nothing.
    QMap<QString, QString> read(const QByteArray &service, const QStringList &accounts)
    {
        QList<QMap<QByteArray, QByteArray>> queries;
        for (const QString &account : accounts)
            queries.append({ { "service", service }, { "account", account.toUtf8() } });
        const QList<SecretServiceCall::Found> found = m_call.searchEach(queries);
        QList<QByteArray> paths;
        for (const SecretServiceCall::Found &each : found) {
            if (!each.locked.isEmpty())
                throw lockedError();
            if (!each.unlocked.isEmpty())
                paths.append(each.unlocked.first()); // of two items with one identity the first found wins
        }
        if (paths.isEmpty())
            return {};
        QList<const gchar *> pathList;
        for (const QByteArray &path : std::as_const(paths))
            pathList.append(path.constData());
        pathList.append(nullptr);
        const std::map<QByteArray, ValuePtr> secrets = m_call.secrets(pathList.constData());

        QMap<QString, QString> result;
        for (qsizetype i = 0; i < found.size(); ++i) {
            if (found.at(i).unlocked.isEmpty())
                continue;
            const auto secret = secrets.find(found.at(i).unlocked.first());
            result.insert(accounts.at(i), text(secret == secrets.end() ? nullptr : secret->second.get()));
        }
        return result;
    }

    QString readSecret(SecretItem *item)
    {
        GError *error = nullptr;
        secret_item_load_secret_sync(item, m_call.cancellable(), &error);
        m_call.check(error);
        const ValuePtr value(secret_item_get_secret(item));
        return text(value.get());
    }

    static QString text(SecretValue *value)
    {
        // A successful read without a value is not a missing item: report it, never "absent".
        if (!value)
            throw KeyringError::unexpectedStatus(QStringLiteral("The Secret Service returned no secret for the item."));
        gsize length = 0;
        const gchar *bytes = secret_value_get(value, &length);
        // Invalid UTF-8 becomes U+FFFD rather than failing the read.
        return QString::fromUtf8(bytes, static_cast<qsizetype>(length));
    }

    void replaceSecret(SecretItem *item, SecretValue *value)
    {
        GError *error = nullptr;
        secret_item_set_secret_sync(item, value, m_call.cancellable(), &error);
        m_call.check(error);
    }

    void create(SecretCollection *collection, const QByteArray &service, const QByteArray &account, SecretValue *value)
    {
        HashTablePtr attributes(attributeTable(service, &account));
        // The Secret Service requires a label; it is what keyring managers list.
        const QByteArray label
            = QStringLiteral("%1 (%2)").arg(QString::fromUtf8(account), QString::fromUtf8(service)).toUtf8();
        GError *error = nullptr;
        // REPLACE: a concurrent writer that created the same item first is overwritten, not duplicated.
        GObjectPtr<SecretItem> item(secret_item_create_sync(collection, schema(), attributes.get(), label.constData(),
            value, SECRET_ITEM_CREATE_REPLACE, m_call.cancellable(), &error));
        m_call.check(error);
    }

    void remove(SecretItem *item)
    {
        GError *error = nullptr;
        secret_item_delete_sync(item, m_call.cancellable(), &error);
        // Deleted by another process since the search: gone is what was asked for.
        if (error
            && (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT)
                || g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT)
                || g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD))) {
            g_error_free(error);
            return;
        }
        m_call.check(error);
    }

private:
    static GHashTable *attributeTable(const QByteArray &service, const QByteArray *account)
    {
        // The table borrows the byte arrays' data, which outlive it in every caller.
        GHashTable *table = g_hash_table_new(g_str_hash, g_str_equal);
        g_hash_table_insert(table, const_cast<char *>("service"), const_cast<char *>(service.constData()));
        if (account)
            g_hash_table_insert(table, const_cast<char *>("account"), const_cast<char *>(account->constData()));
        return table;
    }

    SecretServiceCall m_call;
};

// Keeps the UTF-8 copy of a secret out of freed memory once the keyring has it.
struct WipedBytes {
    explicit WipedBytes(const QString &text)
        : bytes(text.toUtf8())
    {
    }
    ~WipedBytes() { std::fill(bytes.begin(), bytes.end(), '\0'); }
    QByteArray bytes;
};

} // namespace

std::optional<QString> KeyringStore::password(const QString &service, const QString &account) const
{
    const QByteArray serviceBytes = service.toUtf8();
    const QByteArray accountBytes = account.toUtf8();
    Operation operation(m_timeLimit);
    operation.defaultCollection();
    ItemList items = operation.search(serviceBytes, &accountBytes, SECRET_SEARCH_NONE);
    if (!items)
        return std::nullopt;
    return operation.readSecret(SECRET_ITEM(items->data));
}

QMap<QString, QString> KeyringStore::passwords(const QString &service, const QStringList &accounts) const
{
    if (accounts.isEmpty())
        return {};
    Operation operation(m_timeLimit);
    operation.defaultCollection();
    return operation.read(service.toUtf8(), accounts);
}

void KeyringStore::set(const QString &secret, const QString &service, const QString &account)
{
    const QByteArray serviceBytes = service.toUtf8();
    const QByteArray accountBytes = account.toUtf8();
    Operation operation(m_timeLimit);
    GObjectPtr<SecretCollection> collection = operation.defaultCollection();
    // Every existing item with this identity is updated, like an update of the whole match.
    ItemList items = operation.search(serviceBytes, &accountBytes, SECRET_SEARCH_ALL);
    if (!items && !collection)
        throw KeyringError::unexpectedStatus(
            QStringLiteral("The keyring has no default collection to store the item in."));

    WipedBytes bytes(secret);
    ValuePtr value(secret_value_new(bytes.bytes.constData(), bytes.bytes.size(), "text/plain"));
    if (items) {
        for (GList *node = items.get(); node; node = node->next)
            operation.replaceSecret(SECRET_ITEM(node->data), value.get());
    } else {
        operation.create(collection.get(), serviceBytes, accountBytes, value.get());
    }
}

void KeyringStore::remove(const QString &service, const QString &account)
{
    const QByteArray serviceBytes = service.toUtf8();
    const QByteArray accountBytes = account.toUtf8();
    Operation operation(m_timeLimit);
    operation.defaultCollection();
    ItemList items = operation.search(serviceBytes, &accountBytes, SECRET_SEARCH_ALL);
    for (GList *node = items.get(); node; node = node->next)
        operation.remove(SECRET_ITEM(node->data));
}

} // namespace vellmir

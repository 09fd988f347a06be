// GLib's headers name struct members "signals": include them before anything from Qt.
#include <libsecret/secret.h>

#include "config/KeychainStore.h"

#include <QByteArray>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace vellmir {

namespace {

// The Secret Service's well-known name. libsecret itself also honours SECRET_SERVICE_BUS_NAME;
// the executable removes that variable at start so nothing outside can redirect our secrets.
constexpr const char *secretServiceName = "org.freedesktop.secrets";

constexpr const char *promptRefusal = "The keyring wants to ask for confirmation or a password, and Vellmir never "
                                      "opens keyring prompts. Unlock the keyring and try again.";

struct GObjectUnref {
    void operator()(gpointer object) const
    {
        if (object)
            g_object_unref(object);
    }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
    void operator()(GError *error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct ObjectListFree {
    void operator()(GList *list) const { g_list_free_full(list, g_object_unref); }
};
using ItemList = std::unique_ptr<GList, ObjectListFree>;

struct SecretValueUnref {
    void operator()(SecretValue *value) const { secret_value_unref(value); }
};
using ValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;

struct HashTableUnref {
    void operator()(GHashTable *table) const { g_hash_table_unref(table); }
};

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

// A prompt is the daemon asking the user (to unlock, to confirm a deletion). Headless runs
// have nobody to answer, and even the windowed application must not pop the keyring's own
// dialogs unasked, so every prompt is dismissed and fails the call.
void dismiss(SecretPrompt *prompt)
{
    g_dbus_proxy_call(G_DBUS_PROXY(prompt), "Dismiss", g_variant_new("()"), G_DBUS_CALL_FLAGS_NO_AUTO_START, -1,
        nullptr, nullptr, nullptr);
}

GVariant *refusePromptSync(SecretService *, SecretPrompt *prompt, GCancellable *, const GVariantType *, GError **error)
{
    dismiss(prompt);
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED, promptRefusal);
    return nullptr;
}

void refusePromptAsync(SecretService *self, SecretPrompt *prompt, const GVariantType *, GCancellable *,
    GAsyncReadyCallback callback, gpointer userData)
{
    dismiss(prompt);
    GTask *task = g_task_new(self, nullptr, callback, userData);
    g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED, "%s", promptRefusal);
    g_object_unref(task);
}

GVariant *refusePromptFinish(SecretService *, GAsyncResult *result, GError **error)
{
    return static_cast<GVariant *>(g_task_propagate_pointer(G_TASK(result), error));
}

void promptlessClassInit(gpointer klass, gpointer)
{
    auto *serviceClass = static_cast<SecretServiceClass *>(klass);
    serviceClass->prompt_sync = refusePromptSync;
    serviceClass->prompt_async = refusePromptAsync;
    serviceClass->prompt_finish = refusePromptFinish;
}

GType promptlessServiceType()
{
    static const GType type = [] {
        GTypeQuery query;
        g_type_query(SECRET_TYPE_SERVICE, &query);
        return g_type_register_static_simple(SECRET_TYPE_SERVICE, "VellmirPromptlessSecretService", query.class_size,
            promptlessClassInit, query.instance_size, nullptr, GTypeFlags(0));
    }();
    return type;
}

KeychainError lockedError()
{
    return KeychainError::unexpectedStatus(QStringLiteral("The keyring is locked. Unlock it and try again."));
}

// With no address GIO falls back to autolaunching a bus through X11, which would leave a
// stray daemon behind; only a bus that already exists is used.
void requireSessionBus()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus")))
        return;
    throw KeychainError::unexpectedStatus(
        QStringLiteral("No D-Bus session bus is available, so the Secret Service cannot be reached."));
}

// One call to the keyring: the session bus, a Secret Service proxy with an open session, and
// a watchdog that cancels whatever is still waiting when the time limit passes. Each D-Bus
// call times out after 25 s on its own; the limit bounds the whole sequence, including a bus
// that is still starting a keyring daemon or a daemon that never answers.
class Operation {
public:
    explicit Operation(std::chrono::milliseconds limit)
        : m_limit(limit)
        , m_cancellable(g_cancellable_new())
        , m_watchdog([this](std::stop_token stop) { watch(stop); })
    {
        requireSessionBus();
        GError *error = nullptr;
        m_bus.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable(), &error));
        check(error);
        // GIO's shared bus connection would otherwise raise SIGTERM in this process if the
        // bus went away.
        g_dbus_connection_set_exit_on_close(m_bus.get(), FALSE);
        m_service.reset(secret_service_open_sync(
            promptlessServiceType(), secretServiceName, SECRET_SERVICE_OPEN_SESSION, cancellable(), &error));
        check(error);
    }

    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;

    // The collection behind the "default" alias, or null when there is none. A locked one
    // fails the call: a locked keyring may hide items, and reading it would need a prompt.
    GObjectPtr<SecretCollection> defaultCollection()
    {
        GError *error = nullptr;
        GObjectPtr<SecretCollection> collection(secret_collection_for_alias_sync(
            m_service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancellable(), &error));
        check(error);
        if (collection && secret_collection_get_locked(collection.get()))
            throw lockedError();
        return collection;
    }

    // Matching items, unlocked ones first; never unlocks anything.
    ItemList search(const QByteArray &service, const QByteArray &account, SecretSearchFlags flags)
    {
        std::unique_ptr<GHashTable, HashTableUnref> attributes(attributeTable(service, account));
        GError *error = nullptr;
        ItemList items(
            secret_service_search_sync(m_service.get(), schema(), attributes.get(), flags, cancellable(), &error));
        check(error);
        for (GList *node = items.get(); node; node = node->next)
            if (secret_item_get_locked(SECRET_ITEM(node->data)))
                throw lockedError();
        return items;
    }

    QString readSecret(SecretItem *item)
    {
        GError *error = nullptr;
        secret_item_load_secret_sync(item, cancellable(), &error);
        check(error);
        ValuePtr value(secret_item_get_secret(item));
        // A successful load without a value is not a missing item: report it, never "absent".
        if (!value)
            throw KeychainError::unexpectedStatus(
                QStringLiteral("The Secret Service returned no secret for the item."));
        gsize length = 0;
        const gchar *bytes = secret_value_get(value.get(), &length);
        // Invalid UTF-8 becomes U+FFFD rather than failing the read.
        return QString::fromUtf8(bytes, static_cast<qsizetype>(length));
    }

    void replaceSecret(SecretItem *item, SecretValue *value)
    {
        GError *error = nullptr;
        secret_item_set_secret_sync(item, value, cancellable(), &error);
        check(error);
    }

    void create(SecretCollection *collection, const QByteArray &service, const QByteArray &account, SecretValue *value)
    {
        std::unique_ptr<GHashTable, HashTableUnref> attributes(attributeTable(service, account));
        // The Secret Service requires a label; it is what keyring managers list.
        const QByteArray label
            = QStringLiteral("%1 (%2)").arg(QString::fromUtf8(account), QString::fromUtf8(service)).toUtf8();
        GError *error = nullptr;
        // REPLACE: a concurrent writer that created the same item first is overwritten, not duplicated.
        GObjectPtr<SecretItem> item(secret_item_create_sync(collection, schema(), attributes.get(), label.constData(),
            value, SECRET_ITEM_CREATE_REPLACE, cancellable(), &error));
        check(error);
    }

    void remove(SecretItem *item)
    {
        GError *error = nullptr;
        secret_item_delete_sync(item, cancellable(), &error);
        // Deleted by another process since the search: gone is what was asked for.
        if (error
            && (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT)
                || g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT)
                || g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD))) {
            g_error_free(error);
            return;
        }
        check(error);
    }

private:
    GCancellable *cancellable() const { return m_cancellable.get(); }

    static GHashTable *attributeTable(const QByteArray &service, const QByteArray &account)
    {
        // The table borrows the byte arrays' data, which outlive it in every caller.
        GHashTable *table = g_hash_table_new(g_str_hash, g_str_equal);
        g_hash_table_insert(table, const_cast<char *>("service"), const_cast<char *>(service.constData()));
        g_hash_table_insert(table, const_cast<char *>("account"), const_cast<char *>(account.constData()));
        return table;
    }

    void watch(std::stop_token stop)
    {
        std::unique_lock lock(m_mutex);
        m_wake.wait_for(lock, stop, m_limit, [] { return false; });
        if (!stop.stop_requested()) {
            m_expired = true;
            g_cancellable_cancel(m_cancellable.get());
        }
    }

    void check(GError *error)
    {
        if (!error)
            return;
        ErrorPtr owned(error);
        if (m_expired && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            const auto seconds = std::chrono::ceil<std::chrono::seconds>(m_limit).count();
            throw KeychainError::unexpectedStatus(QStringLiteral("The Secret Service did not answer within %1 %2.")
                                                      .arg(seconds)
                                                      .arg(seconds == 1 ? u"second" : u"seconds"));
        }
        // "GDBus.Error:org.freedesktop.DBus.Error.ServiceUnknown: The name ..." -> "The name ..."
        g_dbus_error_strip_remote_error(error);
        throw KeychainError::unexpectedStatus(QString::fromUtf8(error->message), error->code);
    }

    const std::chrono::milliseconds m_limit;
    GObjectPtr<GCancellable> m_cancellable;
    std::mutex m_mutex;
    std::condition_variable_any m_wake;
    std::atomic<bool> m_expired { false };
    std::jthread m_watchdog; // declared after what it uses, so it stops first
    GObjectPtr<GDBusConnection> m_bus;
    GObjectPtr<SecretService> m_service;
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

std::optional<QString> KeychainStore::password(const QString &service, const QString &account) const
{
    const QByteArray serviceBytes = service.toUtf8();
    const QByteArray accountBytes = account.toUtf8();
    Operation operation(m_timeLimit);
    operation.defaultCollection();
    ItemList items = operation.search(serviceBytes, accountBytes, SECRET_SEARCH_NONE);
    if (!items)
        return std::nullopt;
    return operation.readSecret(SECRET_ITEM(items->data));
}

void KeychainStore::set(const QString &secret, const QString &service, const QString &account)
{
    const QByteArray serviceBytes = service.toUtf8();
    const QByteArray accountBytes = account.toUtf8();
    Operation operation(m_timeLimit);
    GObjectPtr<SecretCollection> collection = operation.defaultCollection();
    // Every existing item with this identity is updated, like an update of the whole match.
    ItemList items = operation.search(serviceBytes, accountBytes, SECRET_SEARCH_ALL);
    if (!items && !collection)
        throw KeychainError::unexpectedStatus(
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

void KeychainStore::remove(const QString &service, const QString &account)
{
    const QByteArray serviceBytes = service.toUtf8();
    const QByteArray accountBytes = account.toUtf8();
    Operation operation(m_timeLimit);
    operation.defaultCollection();
    ItemList items = operation.search(serviceBytes, accountBytes, SECRET_SEARCH_ALL);
    for (GList *node = items.get(); node; node = node->next)
        operation.remove(SECRET_ITEM(node->data));
}

} // namespace vellmir

#include "platform/SecretServiceCall.h"

#include "platform/KeyringSession.h"
#include "platform/SessionBus.h"
#include "util/Error.h"
#include "util/ShutdownSignals.h"

#include <QFileInfo>

namespace vellmir {

namespace keyring {

namespace {

// The Secret Service's well-known name. libsecret itself also honours SECRET_SERVICE_BUS_NAME;
// the executable removes that variable at start so nothing outside can redirect our secrets.
constexpr const char *secretServiceName = "org.freedesktop.secrets";

constexpr const char *promptRefusal = "The keyring wants to ask for confirmation or a password, and Vellmir never "
                                      "opens keyring prompts. Unlock the keyring and try again.";

struct GErrorFree {
    void operator()(GError *error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

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

// With no address GIO falls back to autolaunching a bus through X11, which would leave a
// stray daemon behind; only a bus that already exists is used. The executable puts a bus found
// elsewhere (SessionBus::adopt) into the variable at start.
bool sessionBusExists()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

// The service of the thread's open KeyringSession; empty until its first call.
struct SharedSession {
    GObjectPtr<SecretService> service;
};

} // namespace

// The process's one connection to each bus: GIO's shared one, which libsecret's proxies use
// too. Kept from the first call on, so the configuration's seal and a run's
// credentials do not each connect and authenticate anew; one the bus has closed is let go, so
// a restarted bus is met afresh. Connecting happens outside the lock, under the call's own
// cancellable, so a call waiting here keeps its time bound.
GObjectPtr<GDBusConnection> busConnection(GBusType type, GCancellable *cancellable, GError **error)
{
    static std::mutex mutex;
    static GDBusConnection *keptOnes[2] = {};
    GDBusConnection *&kept = keptOnes[type == G_BUS_TYPE_SYSTEM ? 1 : 0];
    {
        const std::lock_guard lock(mutex);
        if (kept && !g_dbus_connection_is_closed(kept))
            return GObjectPtr<GDBusConnection>(static_cast<GDBusConnection *>(g_object_ref(kept)));
    }
    GObjectPtr<GDBusConnection> bus(g_bus_get_sync(type, cancellable, error));
    if (!bus)
        return {};
    // GIO's shared bus connection would otherwise raise SIGTERM in this process if the bus
    // went away.
    g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
    const std::lock_guard lock(mutex);
    if (kept != bus.get()) {
        if (kept)
            g_object_unref(kept);
        kept = static_cast<GDBusConnection *>(g_object_ref(bus.get()));
    }
    return bus;
}

namespace {

thread_local SharedSession *threadSession = nullptr;
thread_local std::stop_token threadStop;
// The bound of a KeyringCleanup open on the thread; zero when none is.
thread_local std::chrono::milliseconds threadCleanupLimit { 0 };

} // namespace

SecretServiceCall::SecretServiceCall(std::chrono::milliseconds limit, FailureHandler fail)
    : m_limit(threadCleanupLimit.count() > 0 ? std::min(limit, threadCleanupLimit) : limit)
    , m_fail(fail)
    , m_cancellable(g_cancellable_new())
    , m_callStop(threadCleanupLimit.count() > 0 ? std::stop_token() : threadStop)
    , m_shutdown(threadCleanupLimit.count() > 0 ? std::stop_token() : ShutdownSignals::token())
    , m_watchdog([this](std::stop_token stop) { watch(stop); })
{
    if (threadSession && threadSession->service) {
        m_service.reset(static_cast<SecretService *>(g_object_ref(threadSession->service.get())));
        return;
    }
    if (!sessionBusExists())
        m_fail(SessionBus::missingSentence(QStringLiteral("the Secret Service cannot be reached")), 0);
    GError *error = nullptr;
    const GObjectPtr<GDBusConnection> bus = busConnection(G_BUS_TYPE_SESSION, cancellable(), &error);
    check(error);
    m_service.reset(secret_service_open_sync(
        promptlessServiceType(), secretServiceName, SECRET_SERVICE_OPEN_SESSION, cancellable(), &error));
    check(error);
    if (threadSession)
        threadSession->service.reset(static_cast<SecretService *>(g_object_ref(m_service.get())));
}

SecretServiceCall::~SecretServiceCall() = default;

GObjectPtr<SecretCollection> SecretServiceCall::defaultCollection()
{
    GError *error = nullptr;
    GObjectPtr<SecretCollection> collection(secret_collection_for_alias_sync(
        m_service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancellable(), &error));
    check(error);
    return collection;
}

ItemList SecretServiceCall::search(const SecretSchema *schema, GHashTable *attributes, SecretSearchFlags flags)
{
    GError *error = nullptr;
    ItemList items(secret_service_search_sync(m_service.get(), schema, attributes, flags, cancellable(), &error));
    check(error);
    return items;
}

namespace {

// The searches of one searchEach, answered in any order.
struct SearchBatch {
    qsizetype pending = 0;
    QList<SecretServiceCall::Found> found;
    GError *error = nullptr; // the first failure
};

struct SearchAnswer {
    SearchBatch *batch;
    qsizetype index;
};

QList<QByteArray> objectPaths(GVariant *reply, gsize child)
{
    QList<QByteArray> list;
    const VariantPtr array(g_variant_get_child_value(reply, child));
    GVariantIter iter;
    g_variant_iter_init(&iter, array.get());
    const gchar *path = nullptr;
    while (g_variant_iter_next(&iter, "&o", &path))
        list.append(QByteArray(path));
    return list;
}

void searchAnswered(GObject *source, GAsyncResult *result, gpointer data)
{
    const std::unique_ptr<SearchAnswer> answer(static_cast<SearchAnswer *>(data));
    SearchBatch &batch = *answer->batch;
    --batch.pending;
    GError *error = nullptr;
    const VariantPtr reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error));
    if (!reply) {
        if (batch.error)
            g_error_free(error);
        else
            batch.error = error;
        return;
    }
    SecretServiceCall::Found &found = batch.found[answer->index];
    found.unlocked = objectPaths(reply.get(), 0);
    found.locked = objectPaths(reply.get(), 1);
}

} // namespace

QList<SecretServiceCall::Found> SecretServiceCall::searchEach(const QList<QMap<QByteArray, QByteArray>> &queries)
{
    // The answers arrive on a context of this call's own, so nothing else of the thread runs
    // while it waits.
    GMainContext *context = g_main_context_new();
    g_main_context_push_thread_default(context);
    SearchBatch batch;
    batch.found.resize(queries.size());
    GDBusProxy *proxy = G_DBUS_PROXY(m_service.get());
    for (qsizetype i = 0; i < queries.size(); ++i) {
        GVariantBuilder attributes;
        g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
        for (auto it = queries.at(i).cbegin(); it != queries.at(i).cend(); ++it)
            g_variant_builder_add(&attributes, "{ss}", it.key().constData(), it.value().constData());
        ++batch.pending;
        g_dbus_connection_call(g_dbus_proxy_get_connection(proxy), g_dbus_proxy_get_name(proxy),
            g_dbus_proxy_get_object_path(proxy), "org.freedesktop.Secret.Service", "SearchItems",
            g_variant_new("(a{ss})", &attributes), G_VARIANT_TYPE("(aoao)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, -1,
            cancellable(), searchAnswered, new SearchAnswer { &batch, i });
    }
    // Every call ends with an answer, an error or the watchdog's cancellation.
    while (batch.pending > 0)
        g_main_context_iteration(context, TRUE);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    check(batch.error);
    return batch.found;
}

std::map<QByteArray, ValuePtr> SecretServiceCall::secrets(const gchar *const *paths)
{
    // libsecret's own secret_service_get_secrets_for_dbus_paths_sync (0.20.5, Debian 12) never
    // frees the reply it decodes: every read of all the secrets would stay in memory for the
    // life of the process, and a long-running MCP server reads them on every call. So the call
    // is made here and its reply released; libsecret still decrypts each secret.
    GError *error = nullptr;
    if (!secret_service_get_session_dbus_path(m_service.get())) {
        secret_service_ensure_session_sync(m_service.get(), cancellable(), &error);
        check(error);
    }
    VariantPtr reply(g_dbus_proxy_call_sync(G_DBUS_PROXY(m_service.get()), "GetSecrets",
        g_variant_new("(^aoo)", paths, secret_service_get_session_dbus_path(m_service.get())),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, cancellable(), &error));
    check(error);
    std::map<QByteArray, ValuePtr> result;
    if (!g_variant_is_of_type(reply.get(), G_VARIANT_TYPE("(a{o(oayays)})")))
        return result;
    const VariantPtr table(g_variant_get_child_value(reply.get(), 0));
    GVariantIter iter;
    g_variant_iter_init(&iter, table.get());
    const gchar *path = nullptr;
    GVariant *encoded = nullptr;
    while (g_variant_iter_next(&iter, "{&o@(oayays)}", &path, &encoded)) {
        const VariantPtr owned(encoded);
        if (SecretValue *value = secret_service_decode_dbus_secret(m_service.get(), encoded))
            result.emplace(QByteArray(path), ValuePtr(value));
    }
    return result;
}

void SecretServiceCall::watch(std::stop_token stop)
{
    // Registered before the lock is taken: a stop already requested runs it at once, here.
    const auto wake = [this] {
        const std::lock_guard wakeLock(m_mutex);
        m_wake.notify_all();
    };
    const std::stop_callback onCallStop(m_callStop, wake);
    const std::stop_callback onShutdown(m_shutdown, wake);
    const auto asked = [this] { return m_callStop.stop_requested() || m_shutdown.stop_requested(); };
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, stop, m_limit, asked);
    if (stop.stop_requested())
        return;
    (asked() ? m_stopped : m_expired) = true;
    g_cancellable_cancel(m_cancellable.get());
}

void SecretServiceCall::check(GError *error)
{
    if (!error)
        return;
    ErrorPtr owned(error);
    if (m_stopped && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        throw CancellationError();
    if (m_expired && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        const auto seconds = std::chrono::ceil<std::chrono::seconds>(m_limit).count();
        m_fail(QStringLiteral("The Secret Service did not answer within %1 %2.")
                   .arg(seconds)
                   .arg(seconds == 1 ? u"second" : u"seconds"),
            0);
    }
    // "GDBus.Error:org.freedesktop.DBus.Error.ServiceUnknown: The name ..." -> "The name ..."
    g_dbus_error_strip_remote_error(error);
    m_fail(QString::fromUtf8(error->message), error->code);
}

} // namespace keyring

KeyringSession::KeyringSession()
    : m_outermost(keyring::threadSession == nullptr)
{
    if (m_outermost)
        keyring::threadSession = new keyring::SharedSession;
}

KeyringSession::~KeyringSession()
{
    if (!m_outermost)
        return;
    delete keyring::threadSession;
    keyring::threadSession = nullptr;
}

KeyringStop::KeyringStop(std::stop_token stop)
    : m_previous(std::exchange(keyring::threadStop, std::move(stop)))
{
}

KeyringStop::~KeyringStop()
{
    keyring::threadStop = std::move(m_previous);
}

KeyringCleanup::KeyringCleanup(std::chrono::milliseconds limit)
    : m_previous(std::exchange(keyring::threadCleanupLimit, limit))
{
}

KeyringCleanup::~KeyringCleanup()
{
    keyring::threadCleanupLimit = m_previous;
}

} // namespace vellmir

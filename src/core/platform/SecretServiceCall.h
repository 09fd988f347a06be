#pragma once

// The keyring machinery the credentials, the seal key and the look-up of restic settings another
// tool keeps share; only their sources include it.
// GLib's headers name struct members "signals": include them before anything from Qt. The
// path-based calls (a search and a secrets read without an item proxy each) come with this define.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace vellmir::keyring {

struct GObjectUnref {
    void operator()(gpointer object) const
    {
        if (object)
            g_object_unref(object);
    }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct ObjectListFree {
    void operator()(GList *list) const { g_list_free_full(list, g_object_unref); }
};
using ItemList = std::unique_ptr<GList, ObjectListFree>;

struct SecretValueUnref {
    void operator()(SecretValue *value) const { secret_value_unref(value); }
};
using ValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;

struct StrvFree {
    void operator()(gchar **strings) const { g_strfreev(strings); }
};
using StrvPtr = std::unique_ptr<gchar *, StrvFree>;

struct VariantUnref {
    void operator()(GVariant *variant) const { g_variant_unref(variant); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

struct HashTableUnref {
    void operator()(GHashTable *table) const { g_hash_table_unref(table); }
};
using HashTablePtr = std::unique_ptr<GHashTable, HashTableUnref>;

// The process's one GIO connection to the session or the system bus, kept from its first use on;
// one the bus has closed is let go, so a restarted bus is met afresh. Connecting waits under
// `cancellable`.
GObjectPtr<GDBusConnection> busConnection(GBusType type, GCancellable *cancellable, GError **error);

// How a failure becomes the caller's own error type; it must throw.
using FailureHandler = void (*)(const QString &message, int code);

// One call to the keyring: the session bus, a Secret Service proxy with an open session (the
// thread's KeyringSession one when a scope is open), and a watchdog that cancels whatever is
// still waiting when the time limit passes. Each D-Bus call times out after 25 s on its own; the
// limit bounds the whole call, including a bus that is still starting a keyring daemon or a
// daemon that never answers; a signal that asks the process to stop ends it sooner. No prompt is ever shown: the
// service refuses them all.
class SecretServiceCall {
public:
    // Throws through `fail` when there is no session bus (it is never autolaunched) or no
    // Secret Service on it.
    SecretServiceCall(std::chrono::milliseconds limit, FailureHandler fail);
    ~SecretServiceCall();
    SecretServiceCall(const SecretServiceCall &) = delete;
    SecretServiceCall &operator=(const SecretServiceCall &) = delete;

    SecretService *service() const { return m_service.get(); }
    GCancellable *cancellable() const { return m_cancellable.get(); }

    // The collection behind the "default" alias, or null when there is none; never unlocked.
    GObjectPtr<SecretCollection> defaultCollection();
    // Matching items, locked ones included; never unlocks anything.
    ItemList search(const SecretSchema *schema, GHashTable *attributes, SecretSearchFlags flags);

    // The item paths that one search found.
    struct Found {
        QList<QByteArray> unlocked;
        QList<QByteArray> locked;
    };
    // One search per set of attributes, in that order, straight off the bus; all of them are
    // sent before the first answer is awaited, so they cost one round trip together.
    QList<Found> searchEach(const QList<QMap<QByteArray, QByteArray>> &queries);
    // The secrets of the items at `paths` (null-terminated), by path, in one call through the
    // open session. Locked or vanished items are missing from the answer.
    std::map<QByteArray, ValuePtr> secrets(const gchar *const *paths);

    // Turns a GError (taking it) into the caller's error; does nothing without one.
    void check(GError *error);

private:
    void watch(std::stop_token stop);

    const std::chrono::milliseconds m_limit;
    const FailureHandler m_fail;
    GObjectPtr<GCancellable> m_cancellable;
    std::mutex m_mutex;
    std::condition_variable_any m_wake;
    std::atomic<bool> m_expired { false };
    std::stop_token m_callStop; // the thread's KeyringStop when one is open
    std::stop_token m_shutdown; // the process's shutdown signals
    std::atomic<bool> m_stopped { false };
    std::jthread m_watchdog; // declared after what it uses, so it stops first
    GObjectPtr<SecretService> m_service;
};

} // namespace vellmir::keyring

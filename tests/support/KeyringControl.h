#pragma once

// GLib's headers name struct members "signals": include them before anything from Qt.
#include <libsecret/secret.h>

#include <QByteArray>
#include <QtTest>

namespace vellmir::test {

// Records a failed libsecret or D-Bus call as a test failure; false when there was one.
inline bool keyringCallSucceeded(GError *error)
{
    if (!error)
        return true;
    const QByteArray message = error->message;
    g_error_free(error);
    QTest::qFail(message.constData(), __FILE__, __LINE__);
    return false;
}

// Drives gnome-keyring directly, over one connection (its sessions belong to the connection),
// to make a second collection that can be locked and unlocked without any prompt. After the
// first failed call (recorded as a test failure) every later call does nothing.
class KeyringControl {
public:
    KeyringControl()
    {
        GError *error = nullptr;
        m_bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        m_ok = keyringCallSucceeded(error);
        if (m_ok)
            m_session = objectPath(
                call(servicePath, service, "OpenSession", g_variant_new("(sv)", "plain", g_variant_new_string(""))), 1);
    }
    ~KeyringControl()
    {
        if (!m_newDefault.isEmpty()) {
            restoreDefault();
            unlock(m_newDefault);
        }
        if (m_bus)
            g_object_unref(m_bus);
    }
    KeyringControl(const KeyringControl &) = delete;
    KeyringControl &operator=(const KeyringControl &) = delete;

    bool ok() const { return m_ok; }

    QByteArray createCollection(const char *label)
    {
        if (!m_ok)
            return {};
        GVariantBuilder properties;
        g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(
            &properties, "{sv}", "org.freedesktop.Secret.Collection.Label", g_variant_new_string(label));
        return objectPath(call(servicePath, guiltRidden, "CreateWithMasterPassword",
                              g_variant_new("(a{sv}@(oayays))", &properties, masterPassword())),
            0);
    }
    // Makes a new collection the "default" one until restoreDefault() or the end of this object,
    // which also unlocks it again.
    QByteArray useNewDefaultCollection(const char *label)
    {
        m_previousDefault = alias("default");
        m_newDefault = createCollection(label);
        setAlias("default", m_newDefault);
        return m_newDefault;
    }
    // The "default" alias back on the collection it named before useNewDefaultCollection().
    void restoreDefault() { setAlias("default", m_previousDefault); }
    QByteArray alias(const char *name)
    {
        if (!m_ok)
            return {};
        return objectPath(call(servicePath, service, "ReadAlias", g_variant_new("(s)", name)), 0);
    }
    void setAlias(const char *name, const QByteArray &collection)
    {
        if (m_ok)
            unref(call(servicePath, service, "SetAlias", g_variant_new("(so)", name, collection.constData())));
    }
    void lock(const QByteArray &collection)
    {
        const gchar *paths[] = { collection.constData() };
        if (m_ok)
            unref(call(servicePath, service, "Lock", g_variant_new("(@ao)", g_variant_new_objv(paths, 1))));
    }
    void unlock(const QByteArray &collection)
    {
        if (m_ok)
            unref(call(servicePath, guiltRidden, "UnlockWithMasterPassword",
                g_variant_new("(o@(oayays))", collection.constData(), masterPassword())));
    }

private:
    static constexpr const char *servicePath = "/org/freedesktop/secrets";
    static constexpr const char *service = "org.freedesktop.Secret.Service";
    static constexpr const char *guiltRidden = "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface";

    GVariant *masterPassword() const
    {
        return g_variant_new("(o@ay@ays)", m_session.isEmpty() ? "/" : m_session.constData(),
            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "test", 4, 1), "text/plain");
    }
    GVariant *call(const char *path, const char *interface, const char *method, GVariant *parameters)
    {
        GError *error = nullptr;
        GVariant *reply = g_dbus_connection_call_sync(m_bus, "org.freedesktop.secrets", path, interface, method,
            parameters, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 10000, nullptr, &error);
        m_ok = keyringCallSucceeded(error);
        return reply;
    }
    static void unref(GVariant *reply)
    {
        if (reply)
            g_variant_unref(reply);
    }
    static QByteArray objectPath(GVariant *reply, gsize index)
    {
        if (!reply)
            return {};
        GVariant *child = g_variant_get_child_value(reply, index);
        const QByteArray path(g_variant_get_string(child, nullptr));
        g_variant_unref(child);
        g_variant_unref(reply);
        return path;
    }

    GDBusConnection *m_bus = nullptr;
    QByteArray m_session;
    QByteArray m_previousDefault;
    QByteArray m_newDefault;
    bool m_ok = false;
};

} // namespace vellmir::test

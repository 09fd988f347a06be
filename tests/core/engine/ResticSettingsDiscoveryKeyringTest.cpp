#include "engine/ResticSettingsDiscovery.h"
#include "util/Error.h"

#include <QUuid>
#include <QtTest>

#include <libsecret/secret.h>

using namespace vellmir;

namespace {

// Items are stored the way `secret-tool store` stores them, with one extra attribute that marks
// them as this run's, so cleaning up never touches anything else in the keyring. Service names
// carry a per-run suffix for the same reason.
const SecretSchema *schema(const char *name)
{
    static SecretSchema generic { "org.freedesktop.Secret.Generic", SECRET_SCHEMA_NONE,
        { { "service", SECRET_SCHEMA_ATTRIBUTE_STRING }, { "account", SECRET_SCHEMA_ATTRIBUTE_STRING },
            { "vellmir-test", SECRET_SCHEMA_ATTRIBUTE_STRING }, { nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING } },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr };
    static SecretSchema other = [] {
        SecretSchema copy = generic;
        copy.name = "org.example.OtherTool";
        return copy;
    }();
    static SecretSchema any = [] {
        SecretSchema copy = generic;
        copy.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        return copy;
    }();
    if (qstrcmp(name, "other") == 0)
        return &other;
    if (qstrcmp(name, "any") == 0)
        return &any;
    return &generic;
}

} // namespace

class ResticSettingsDiscoveryKeyringTest : public QObject {
    Q_OBJECT

private:
    QString m_suffix;
    QByteArray m_tag;

    QString service(const char *name) const { return QString::fromUtf8(name) + m_suffix; }

    void store(const QString &service, const QByteArray &value, const char *schemaName = "generic",
        const char *account = nullptr)
    {
        GError *error = nullptr;
        SecretValue *secret = secret_value_new(value.constData(), value.size(), "text/plain");
        const QByteArray serviceUtf8 = service.toUtf8();
        const gboolean stored = account
            ? secret_password_store_binary_sync(schema(schemaName), SECRET_COLLECTION_DEFAULT, "Vellmir test item",
                secret, nullptr, &error, "service", serviceUtf8.constData(), "account", account, "vellmir-test",
                m_tag.constData(), nullptr)
            : secret_password_store_binary_sync(schema(schemaName), SECRET_COLLECTION_DEFAULT, "Vellmir test item",
                secret, nullptr, &error, "service", serviceUtf8.constData(), "vellmir-test", m_tag.constData(),
                nullptr);
        secret_value_unref(secret);
        const QString message = error ? QString::fromUtf8(error->message) : QString();
        if (error)
            g_error_free(error);
        QVERIFY2(stored, qPrintable(message));
    }

private Q_SLOTS:
    void initTestCase()
    {
        GError *error = nullptr;
        SecretService *secretService = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
        if (!secretService) {
            g_error_free(error);
            QSKIP("No Secret Service on the session bus; run under scripts/with-keyring.");
        }
        g_object_unref(secretService);
        m_tag = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
        m_suffix = QStringLiteral("-") + QString::fromLatin1(m_tag);
    }

    void cleanup()
    {
        secret_password_clear_sync(schema("any"), nullptr, nullptr, "vellmir-test", m_tag.constData(), nullptr);
    }

    void missingItemIsAbsent()
    {
        QVERIFY(!ResticSettingsDiscovery::keyringItemExists(service("RESTIC_REPOSITORY")));
        QVERIFY(!ResticSettingsDiscovery::keyringItemValue(service("RESTIC_REPOSITORY")));
    }

    void itemIsFoundByServiceAlone_data()
    {
        QTest::addColumn<QString>("schemaName");
        QTest::addColumn<QString>("account");
        QTest::newRow("generic item") << "generic" << QString();
        QTest::newRow("generic item with an account") << "generic"
                                                      << "ana";
        QTest::newRow("another tool's schema") << "other" << QString();
    }
    void itemIsFoundByServiceAlone()
    {
        QFETCH(QString, schemaName);
        QFETCH(QString, account);
        const QString name = service("RESTIC_REPOSITORY");
        const QByteArray accountUtf8 = account.toUtf8();
        store(name, QByteArrayLiteral("b2:bucket:restic"), schemaName.toUtf8().constData(),
            account.isEmpty() ? nullptr : accountUtf8.constData());
        QVERIFY(ResticSettingsDiscovery::keyringItemExists(name));
        QCOMPARE(ResticSettingsDiscovery::keyringItemValue(name), std::optional<QString>(u"b2:bucket:restic"_qs));
        // Another service name does not match.
        QVERIFY(!ResticSettingsDiscovery::keyringItemExists(service("RESTIC_PASSWORD")));
    }

    void valueIsDecodedAsUtf8()
    {
        const QString name = service("RESTIC_PASSWORD");
        store(name, QStringLiteral("p\u00E4ss \U0001F511").toUtf8());
        QCOMPARE(ResticSettingsDiscovery::keyringItemValue(name), std::optional<QString>(u"p\u00E4ss \U0001F511"_qs));

        cleanup();
        store(name,
            QByteArray("ab\xff\xfe"
                       "c",
                5));
        QCOMPARE(
            ResticSettingsDiscovery::keyringItemValue(name), std::optional<QString>(QStringLiteral("ab\uFFFD\uFFFDc")));
    }
};

QTEST_GUILESS_MAIN(ResticSettingsDiscoveryKeyringTest)
#include "ResticSettingsDiscoveryKeyringTest.moc"

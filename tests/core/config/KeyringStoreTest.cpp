// GLib's headers name struct members "signals": include them before anything from Qt.
#include "config/ConfigError.h"
#include <libsecret/secret.h>

#include "KeyringControl.h"
#include "MemorySealKeyStore.h"
#include "TestSupport.h"
#include "config/CredentialsStore.h"
#include "config/DestinationStore.h"
#include "config/DestinationWriter.h"
#include "platform/DataProtectionSealKeyStore.h"
#include "platform/KeyringStore.h"
#include "platform/SessionBus.h"
#include "util/ShutdownSignals.h"
#include "util/Uuid.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace vellmir;
using test::KeyringControl;

namespace {

const QString testService = QStringLiteral("org.vellmir.Vellmir.tests");

// Items as any other Secret Service client sees them: service and account, nothing else.
const SecretSchema *rawSchema(const char *name = "org.vellmir.tests.Raw")
{
    static std::map<std::string, SecretSchema> schemas;
    auto it = schemas.find(name);
    if (it == schemas.end()) {
        SecretSchema s {};
        s.name = name;
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = { "service", SECRET_SCHEMA_ATTRIBUTE_STRING };
        s.attributes[1] = { "account", SECRET_SCHEMA_ATTRIBUTE_STRING };
        it = schemas.emplace(name, s).first;
        it->second.name = it->first.c_str();
    }
    return &it->second;
}

const SecretSchema *anySchema()
{
    static const SecretSchema value = [] {
        SecretSchema s = *rawSchema();
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        return s;
    }();
    return &value;
}

bool failOn(GError *error)
{
    return test::keyringCallSucceeded(error);
}

// Items with this identity, in the default collection or anywhere; -1 when the search failed.
int itemCount(const QString &service, const QString &account, bool defaultCollectionOnly)
{
    const QByteArray s = service.toUtf8(), a = account.toUtf8();
    GError *error = nullptr;
    GList *items = nullptr;
    if (defaultCollectionOnly) {
        SecretService *secretService = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
        if (!failOn(error))
            return -1;
        SecretCollection *collection = secret_collection_for_alias_sync(
            secretService, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
        g_object_unref(secretService);
        if (!failOn(error) || !collection)
            return -1;
        GHashTable *attributes
            = secret_attributes_build(anySchema(), "service", s.constData(), "account", a.constData(), nullptr);
        items = secret_collection_search_sync(collection, anySchema(), attributes, SECRET_SEARCH_ALL, nullptr, &error);
        g_hash_table_unref(attributes);
        g_object_unref(collection);
    } else {
        // A null account: every account of the service.
        items = secret_password_search_sync(anySchema(), SECRET_SEARCH_ALL, nullptr, &error, "service", s.constData(),
            account.isNull() ? nullptr : "account", a.constData(), nullptr);
    }
    if (!failOn(error))
        return -1;
    const int count = static_cast<int>(g_list_length(items));
    g_list_free_full(items, g_object_unref);
    return count;
}

// An item written by another client: raw bytes, its own schema name, its own label.
bool storeRaw(const QString &service, const QString &account, const QByteArray &bytes,
    const char *schemaName = "org.vellmir.tests.Raw")
{
    const QByteArray s = service.toUtf8(), a = account.toUtf8();
    SecretValue *value = secret_value_new(bytes.constData(), bytes.size(), "application/octet-stream");
    GError *error = nullptr;
    secret_password_store_binary_sync(rawSchema(schemaName), SECRET_COLLECTION_DEFAULT, "written by another client",
        value, nullptr, &error, "service", s.constData(), "account", a.constData(), nullptr);
    secret_value_unref(value);
    return failOn(error);
}

QString freshAccount()
{
    return uuidText(QUuid::createUuid()) + QStringLiteral(".test");
}

// A peer that takes a bus name and then never reads another message, so every call to that
// name waits for an answer that does not come. It speaks to the bus by hand: GIO's own bus
// setup would wait for replies this connection is never going to read.
GDBusConnection *ownNameWithoutAnswering(const QByteArray &address, const char *name)
{
    GError *error = nullptr;
    GDBusConnection *connection = g_dbus_connection_new_for_address_sync(address.constData(),
        GDBusConnectionFlags(
            G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_DELAY_MESSAGE_PROCESSING),
        nullptr, nullptr, &error);
    if (!failOn(error))
        return nullptr;
    const auto send = [&](const char *method, GVariant *body) {
        GDBusMessage *message = g_dbus_message_new_method_call(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method);
        if (body)
            g_dbus_message_set_body(message, body);
        g_dbus_message_set_flags(message, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
        g_dbus_connection_send_message(connection, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, &error);
        g_object_unref(message);
        return failOn(error);
    };
    if (!send("Hello", nullptr) || !send("RequestName", g_variant_new("(su)", name, 0u))) {
        g_object_unref(connection);
        return nullptr;
    }
    return connection;
}

bool nameHasOwner(const char *name)
{
    GError *error = nullptr;
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!failOn(error))
        return false;
    GVariant *reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
        "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    g_object_unref(bus);
    if (!failOn(error))
        return false;
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    return owned;
}

// A session bus that knows no services at all, so nothing can be started for
// org.freedesktop.secrets.
const char emptyBusConfig[] = "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                              "<busconfig>\n"
                              "  <type>session</type>\n"
                              "  <listen>unix:tmpdir=/tmp</listen>\n"
                              "  <auth>EXTERNAL</auth>\n"
                              "  <policy context=\"default\">\n"
                              "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                              "    <allow eavesdrop=\"true\"/>\n"
                              "    <allow own=\"*\"/>\n"
                              "  </policy>\n"
                              "</busconfig>\n";

} // namespace

class KeyringStoreTest : public QObject {
    Q_OBJECT

private:
    QString track(const QString &account)
    {
        m_accounts.append(account);
        return account;
    }

    KeyringStore m_store;
    QStringList m_accounts;

private Q_SLOTS:
    void init()
    {
        const QByteArray function = QTest::currentTestFunction();
        if (function == "missingSecretServiceIsAnError" || function == "missingSecretServiceChild")
            return;
        // Never write test items into someone's real keyring.
        if (!qEnvironmentVariableIsSet("VELLMIR_TEST_KEYRING"))
            QSKIP("Needs the throwaway keyring of scripts/with-keyring.");
    }

    void cleanup()
    {
        for (const QString &account : std::as_const(m_accounts)) {
            try {
                m_store.remove(testService, account);
            } catch (const Error &) {
            }
        }
        m_accounts.clear();
    }

    void setCreatesThenReplaces()
    {
        const QString account = track(freshAccount());
        QVERIFY(!m_store.password(testService, account));

        m_store.set(QStringLiteral("first"), testService, account);
        QCOMPARE(m_store.password(testService, account), std::optional<QString>(QStringLiteral("first")));
        QCOMPARE(itemCount(testService, account, true), 1);

        m_store.set(QStringLiteral("second"), testService, account);
        QCOMPARE(m_store.password(testService, account), std::optional<QString>(QStringLiteral("second")));
        QCOMPARE(itemCount(testService, account, false), 1);
    }

    void itemsAreKeyedByServiceAndAccount()
    {
        const QString account = track(freshAccount());
        const QString otherAccount = track(freshAccount());
        const QString otherService = testService + QStringLiteral(".other");
        m_store.set(QStringLiteral("secret"), testService, account);

        QVERIFY(!m_store.password(testService, otherAccount));
        QVERIFY(!m_store.password(otherService, account));
        m_store.remove(testService, otherAccount);
        m_store.remove(otherService, account);
        QCOMPARE(m_store.password(testService, account), std::optional<QString>(QStringLiteral("secret")));
        // Only the accounts asked for are read; one without an item is left out.
        m_store.set(QStringLiteral("unrelated"), testService, otherAccount);
        const QString missing = freshAccount();
        QCOMPARE(m_store.passwords(testService, { account, missing }),
            (QMap<QString, QString> { { account, QStringLiteral("secret") } }));
        m_store.remove(testService, otherAccount);
    }

    void removeDeletesAndAMissingItemIsNoFailure()
    {
        const QString account = track(freshAccount());
        m_store.remove(testService, account);

        m_store.set(QStringLiteral("secret"), testService, account);
        m_store.remove(testService, account);
        QVERIFY(!m_store.password(testService, account));
        QCOMPARE(itemCount(testService, account, false), 0);
        m_store.remove(testService, account);
    }

    // Another client may have stored the same identity more than once: all copies follow.
    void duplicatesAreUpdatedAndRemovedTogether()
    {
        const QString account = track(freshAccount());
        QVERIFY(storeRaw(testService, account, "old", "org.vellmir.tests.ClientA"));
        QVERIFY(storeRaw(testService, account, "old", "org.vellmir.tests.ClientB"));
        QCOMPARE(itemCount(testService, account, false), 2);

        m_store.set(QStringLiteral("new"), testService, account);
        QCOMPARE(m_store.password(testService, account), std::optional<QString>(QStringLiteral("new")));

        m_store.remove(testService, account);
        QCOMPARE(itemCount(testService, account, false), 0);
        QVERIFY(!m_store.password(testService, account));
    }

    void textRoundTrips_data()
    {
        QTest::addColumn<QString>("secret");
        QTest::newRow("accents") << QStringLiteral("Pässwörd mit Ümläuten €");
        QTest::newRow("cjk and emoji") << QStringLiteral("密码🔑パスワード");
        QTest::newRow("quotes and spaces") << QStringLiteral("  'a' \"b\" $HOME `c` ; \\n  ");
        QTest::newRow("long") << QString(4096, u'x');
        QTest::newRow("empty") << QString();
    }

    void textRoundTrips()
    {
        QFETCH(QString, secret);
        const QString account = track(freshAccount());
        m_store.set(secret, testService, account);
        const std::optional<QString> read = m_store.password(testService, account);
        QVERIFY(read);
        QCOMPARE(*read, secret);
    }

    void invalidUtf8ReadsWithReplacementCharacters()
    {
        const QString account = track(freshAccount());
        QVERIFY(storeRaw(testService, account,
            QByteArray("ab\xff\xfe"
                       "cd")));
        const std::optional<QString> read = m_store.password(testService, account);
        QVERIFY(read);
        QVERIFY(read->startsWith(u"ab"));
        QVERIFY(read->endsWith(u"cd"));
        QVERIFY(read->contains(QChar::ReplacementCharacter));
    }

    // A locked keyring is an error for every call, never "absent", and never a prompt: the
    // default collection locked, then the item's own collection locked while not the default.
    void lockedKeyringIsAnError()
    {
        KeyringControl keyring;
        const QByteArray collection = keyring.useNewDefaultCollection("Vellmir locked test");
        QVERIFY(keyring.ok());
        const QString account = track(freshAccount());
        m_store.set(QStringLiteral("secret"), testService, account);
        QCOMPARE(itemCount(testService, account, true), 1);
        keyring.lock(collection);

        const auto expectLocked = [this](const QString &which) {
            for (int call = 0; call < 4; ++call) {
                try {
                    if (call == 0)
                        (void)m_store.password(testService, which);
                    else if (call == 3)
                        (void)m_store.passwords(testService, { which });
                    else if (call == 1)
                        m_store.set(QStringLiteral("new"), testService, which);
                    else
                        m_store.remove(testService, which);
                    return false;
                } catch (const KeyringError &error) {
                    if (!error.message().startsWith(u"Keyring error: ") || !error.message().contains(u"locked"))
                        return false;
                }
            }
            return true;
        };
        QVERIFY(expectLocked(account));
        QVERIFY(expectLocked(freshAccount()));

        keyring.restoreDefault();
        QVERIFY(expectLocked(account));

        keyring.unlock(collection);
        QVERIFY(keyring.ok());
        QCOMPARE(m_store.password(testService, account), std::optional<QString>(QStringLiteral("secret")));
        QCOMPARE(m_store.passwords(testService, { account }).value(account), QStringLiteral("secret"));
    }

    // Several processes and threads use the keyring at once; each call stands on its own.
    void callsFromSeveralThreadsAtOnce()
    {
        std::mutex mutex;
        QStringList failures;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            const QString account = track(freshAccount());
            threads.emplace_back([&, account, t] {
                try {
                    for (int round = 0; round < 5; ++round) {
                        const QString value = QStringLiteral("thread %1 round %2").arg(t).arg(round);
                        m_store.set(value, testService, account);
                        if (m_store.password(testService, account) != value)
                            throw Error(QStringLiteral("read back something else than ") + value);
                    }
                    m_store.remove(testService, account);
                } catch (const Error &error) {
                    std::lock_guard guard(mutex);
                    failures.append(error.message());
                }
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join(u'\n')));
    }

    void credentialsStoreOverTheKeyring()
    {
        CredentialsStore credentials(std::make_shared<KeyringStore>());
        const QUuid credentialID = QUuid::createUuid();
        auto forget = qScopeGuard([&] { credentials.removeAll(credentialID); });

        // Nothing stored yet: removing succeeds.
        credentials.removeAll(credentialID);

        Destination b2;
        b2.kind = Destination::Kind::backblazeB2;
        b2.credentialID = credentialID;
        b2.repository = QStringLiteral("b2:bucket:/machine");
        credentials.setSecret(QStringLiteral("pw"), CredentialRole::repoPassword, credentialID);
        try {
            credentials.resticEnvironment(b2);
            QFAIL("a B2 destination without its keys built an environment");
        } catch (const ConfigError &error) {
            QCOMPARE(error.message(),
                QStringLiteral("Missing Account ID. Edit the destination and supply its credentials before running."));
        }

        Destination s3 = b2;
        s3.kind = Destination::Kind::s3;
        s3.repository = QStringLiteral("s3:https://s3.example.net/bucket");
        credentials.setSecret(QStringLiteral("AKIDEXAMPLE"), CredentialRole::awsAccessKeyID, credentialID);
        credentials.setSecret(
            QStringLiteral("wJalrXUtnFEMI/K7MDENG"), CredentialRole::awsSecretAccessKey, credentialID);
        const QMap<QString, QString> expected {
            { QStringLiteral("RESTIC_REPOSITORY"), QStringLiteral("s3:https://s3.example.net/bucket") },
            { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("pw") },
            { QStringLiteral("AWS_ACCESS_KEY_ID"), QStringLiteral("AKIDEXAMPLE") },
            { QStringLiteral("AWS_SECRET_ACCESS_KEY"), QStringLiteral("wJalrXUtnFEMI/K7MDENG") },
        };
        QCOMPARE(credentials.resticEnvironment(s3), expected);

        credentials.removeAll(credentialID);
        for (CredentialRole role : CredentialRoles::all())
            QCOMPARE(itemCount(CredentialsStore::service(), CredentialsStore::account(role, credentialID), false), 0);
    }

    // With no Secret Service, or one that never answers, every call is an error, never "no
    // secret", and no call hangs. Each row runs the child below in its own process, on a bus
    // of its own (which can start no services) or on none.
    void missingSecretServiceIsAnError_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("session bus without a keyring daemon") << QStringLiteral("absent");
        QTest::newRow("keyring daemon that never answers") << QStringLiteral("silent");
        QTest::newRow("no session bus") << QStringLiteral("nobus");
        QTest::newRow("the process asked to stop") << QStringLiteral("stopped");
    }

    void missingSecretServiceIsAnError()
    {
        QFETCH(QString, mode);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VELLMIR_KEYRING_CHILD"), mode);
        QString program = QCoreApplication::applicationFilePath();
        QStringList arguments { QStringLiteral("missingSecretServiceChild") };
        if (mode == u"nobus") {
            environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
            environment.remove(QStringLiteral("DISPLAY"));
            environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
        } else if (mode != u"stopped") {
            const QString runSession = QStandardPaths::findExecutable(QStringLiteral("dbus-run-session"));
            QVERIFY2(!runSession.isEmpty(), "dbus-run-session is missing; run scripts/setup");
            const QString config = dir.filePath(QStringLiteral("bus.conf"));
            test::writeFile(config, emptyBusConfig);
            arguments
                = QStringList { QStringLiteral("--config-file=") + config, QStringLiteral("--"), program } + arguments;
            program = runSession;
        }

        QProcess child;
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(program, arguments);
        QVERIFY(child.waitForStarted());
        QVERIFY2(child.waitForFinished(120000), "the keyring calls did not end");
        const QByteArray output = child.readAll();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, output.constData());
        QVERIFY2(output.contains("PASS   : KeyringStoreTest::missingSecretServiceChild()"), output.constData());
    }

    void missingSecretServiceChild()
    {
        const QString mode = qEnvironmentVariable("VELLMIR_KEYRING_CHILD");
        if (mode.isEmpty())
            QSKIP("Runs only as the child process of missingSecretServiceIsAnError.");
        if (mode == u"stopped") {
            stoppedProcess();
            return;
        }
        // The system's message follows the prefix; a daemon that never answers is cut off in time.
        std::optional<QString> exactly;
        GDBusConnection *silent = nullptr;
        auto closeSilent = qScopeGuard([&] {
            if (silent)
                g_object_unref(silent);
        });
        if (mode == u"silent") {
            silent = ownNameWithoutAnswering(qgetenv("DBUS_SESSION_BUS_ADDRESS"), "org.freedesktop.secrets");
            QVERIFY(silent);
            QTRY_VERIFY(nameHasOwner("org.freedesktop.secrets"));
            exactly = QStringLiteral("Keyring error: The Secret Service did not answer within 1 second.");
        }
        // The sentence says what to set, since the bus exists but the environment does not say where.
        if (mode == u"nobus")
            exactly = QStringLiteral("Keyring error: ")
                + SessionBus::missingSentence(QStringLiteral("the Secret Service cannot be reached"));

        KeyringStore store(std::chrono::seconds(1));
        const QString account = freshAccount();
        const auto expectKeyringError = [&](const char *what, const std::function<void()> &call) {
            try {
                call();
            } catch (const KeyringError &error) {
                qInfo("%s: %s", what, qPrintable(error.message()));
                if (exactly)
                    return error.message() == *exactly;
                return error.message().startsWith(u"Keyring error: ")
                    && error.message().size() > QStringLiteral("Keyring error: ").size();
            }
            return false;
        };
        QVERIFY(expectKeyringError("password", [&] { (void)store.password(testService, account); }));
        QVERIFY(expectKeyringError("passwords", [&] { (void)store.passwords(testService, { testService }); }));
        QVERIFY(expectKeyringError("set", [&] { store.set(QStringLiteral("secret"), testService, account); }));
        QVERIFY(expectKeyringError("remove", [&] { store.remove(testService, account); }));

        // The seal key store keeps the same guards, with its own sentence in front.
        QTemporaryDir dir;
        const QString idFile = dir.filePath(QStringLiteral("machine-id"));
        test::writeFile(idFile, "0123456789abcdef0123456789abcdef\n");
        DataProtectionSealKeyStore keys(idFile, std::chrono::seconds(1));
        const auto expectSealKeyError = [&](const char *what, const std::function<void()> &call) {
            try {
                call();
            } catch (const SealKeyError &error) {
                qInfo("%s: %s", what, qPrintable(error.message()));
                const QString prefix = QStringLiteral("Vellmir could not reach its protected keyring: ");
                return error.status() == SealKeyError::Status::unreachable
                    && (exactly ? error.message() == prefix + exactly->mid(QStringLiteral("Keyring error: ").size())
                                : error.message().startsWith(prefix) && error.message().size() > prefix.size());
            }
            return false;
        };
        QVERIFY(expectSealKeyError("key", [&] { (void)keys.key(); }));
        QVERIFY(expectSealKeyError("create", [&] { (void)keys.create(); }));
    }

private:
    void stoppedProcess();
};

void KeyringStoreTest::stoppedProcess()
{
    // A signal that asks the process to stop ends every keyring call at once, whatever its time
    // limit; what an add that did not complete stored is still removed.
    const std::stop_token stop = ShutdownSignals::install();
    const CredentialsStore credentials(std::make_shared<KeyringStore>(std::chrono::seconds(60)));
    QTemporaryDir home;
    DestinationStore store(home.filePath(QStringLiteral("destinations.json")), credentials,
        std::make_shared<test::MemorySealKeyStore>(), home.filePath(QStringLiteral("Vellmir.conf")));
    Destination draft;
    draft.id = QUuid::createUuid();
    draft.name = QStringLiteral("Stopped");
    draft.kind = Destination::Kind::local;
    draft.repository = home.filePath(QStringLiteral("repository"));
    const int before = itemCount(CredentialsStore::service(), QString(), false);
    QVERIFY_THROWS_EXCEPTION(CancellationError,
        DestinationWriter(credentials)
            .save(draft, { { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("pw") } }, store, std::nullopt,
                [&](const QList<Destination> &) {
                    // The signal comes while the repository is being created.
                    ::kill(::getpid(), SIGTERM);
                    QTRY_VERIFY(stop.stop_requested());
                    throw CancellationError();
                }));
    QCOMPARE(itemCount(CredentialsStore::service(), QString(), false), before);
    QElapsedTimer clock;
    clock.start();
    QVERIFY_THROWS_EXCEPTION(CancellationError, (void)KeyringStore().password(testService, freshAccount()));
    QVERIFY(clock.elapsed() < 5000);
}

QTEST_GUILESS_MAIN(KeyringStoreTest)
#include "KeyringStoreTest.moc"

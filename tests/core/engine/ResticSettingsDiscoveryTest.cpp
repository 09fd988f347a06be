#include "engine/ResticSettingsDiscovery.h"
#include "platform/KeyringError.h"
#include "util/Error.h"

#include <QtTest>

using namespace vellmir;
using Source = DiscoveredResticSettings::Source;
using Kind = Destination::Kind;
using Environment = ResticSettingsDiscovery::Environment;

Q_DECLARE_METATYPE(Environment)
Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

// The command-line tool's keyring items, with a log of what was read and one item that can be
// made to fail.
struct FakeKeyring {
    QMap<QString, QString> items;
    QString failing;
    mutable QStringList reads;

    ResticSettingsDiscovery::KeyringValue value() const
    {
        return [this](const QString &service) -> std::optional<QString> {
            reads.append(service);
            if (service == failing)
                throw Error(QStringLiteral("Keyring error: The keyring is locked."));
            const auto it = items.constFind(service);
            if (it == items.constEnd())
                return std::nullopt;
            return it.value();
        };
    }
};

std::optional<QString> some(const char *text)
{
    return QString::fromUtf8(text);
}

const Environment allKeys {
    { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("pw") },
    { QStringLiteral("B2_ACCOUNT_ID"), QStringLiteral("b2id") },
    { QStringLiteral("B2_ACCOUNT_KEY"), QStringLiteral("b2key") },
    { QStringLiteral("AWS_ACCESS_KEY_ID"), QStringLiteral("awsid") },
    { QStringLiteral("AWS_SECRET_ACCESS_KEY"), QStringLiteral("awssecret") },
};

Environment withRepository(Environment environment, const QString &repository)
{
    environment.insert(QStringLiteral("RESTIC_REPOSITORY"), repository);
    return environment;
}

} // namespace

class ResticSettingsDiscoveryTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void kindFollowsThePrefix_data()
    {
        QTest::addColumn<QString>("repository");
        QTest::addColumn<int>("kind"); // -1: none

        QTest::newRow("b2") << "b2:bucket:restic" << int(Kind::backblazeB2);
        QTest::newRow("s3") << "s3:s3.amazonaws.com/bucket" << int(Kind::s3);
        QTest::newRow("sftp") << "sftp:host:/srv/restic" << int(Kind::sftp);
        QTest::newRow("local") << "/srv/restic" << int(Kind::local);
        QTest::newRow("upper-case B2") << "B2:bucket:restic" << -1;
        QTest::newRow("leading space") << " b2:bucket:restic" << -1;
        QTest::newRow("relative path") << "backups/restic" << -1;
        QTest::newRow("rest server") << "rest:https://host:8000/" << -1;
        QTest::newRow("b2 without colon") << "b2bucket" << -1;
        QTest::newRow("empty") << "" << -1;
    }
    void kindFollowsThePrefix()
    {
        QFETCH(QString, repository);
        QFETCH(int, kind);
        const std::optional<Kind> found = ResticSettingsDiscovery::kind(repository);
        QCOMPARE(found ? int(*found) : -1, kind);
    }

    void availableSources_data()
    {
        QTest::addColumn<Environment>("environment");
        QTest::addColumn<int>("keyring"); // 0 absent, 1 present, 2 failing
        QTest::addColumn<QList<int>>("sources");

        const QList<int> none;
        const QList<int> environmentOnly { int(Source::environment) };
        const QList<int> keyringOnly { int(Source::cliKeyring) };
        const QList<int> both { int(Source::environment), int(Source::cliKeyring) };
        const Environment b2 = withRepository({}, QStringLiteral("b2:bucket:restic"));

        QTest::newRow("nothing") << Environment {} << 0 << none;
        QTest::newRow("environment") << b2 << 0 << environmentOnly;
        QTest::newRow("keyring") << Environment {} << 1 << keyringOnly;
        QTest::newRow("both in order") << b2 << 1 << both;
        QTest::newRow("empty variable") << withRepository({}, QString()) << 0 << none;
        // Offered as it stands; load then finds nothing usable in it.
        QTest::newRow("spaces only are offered") << withRepository({}, QStringLiteral("   ")) << 0 << environmentOnly;
        QTest::newRow("only a password") << Environment { { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("pw") } }
                                         << 0 << none;
        QTest::newRow("failing keyring counts as absent") << b2 << 2 << environmentOnly;
    }
    void availableSources()
    {
        QFETCH(Environment, environment);
        QFETCH(int, keyring);
        QFETCH(QList<int>, sources);

        QStringList asked;
        const auto has = [&](const QString &service) {
            asked.append(service);
            if (keyring == 2)
                throw Error(QStringLiteral("Keyring error: The keyring is locked."));
            return keyring == 1;
        };
        QList<int> found;
        for (Source source : ResticSettingsDiscovery::availableSources(environment, has))
            found.append(int(source));
        QCOMPARE(found, sources);
        QCOMPARE(asked, QStringList { QStringLiteral("RESTIC_REPOSITORY") });
    }

    void loadFromEnvironment_data()
    {
        QTest::addColumn<Environment>("environment");
        QTest::addColumn<bool>("found");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("repository");
        QTest::addColumn<std::optional<QString>>("password");
        QTest::addColumn<std::optional<QString>>("b2AccountID");
        QTest::addColumn<std::optional<QString>>("b2AccountKey");
        QTest::addColumn<std::optional<QString>>("awsAccessKeyID");
        QTest::addColumn<std::optional<QString>>("awsSecretAccessKey");

        const std::optional<QString> absent;
        const auto nothing = [&](const char *name, const Environment &environment) {
            QTest::newRow(name) << environment << false << 0 << QString() << absent << absent << absent << absent
                                << absent;
        };
        nothing("no repository", allKeys);
        nothing("spaces only", withRepository(allKeys, QStringLiteral("   ")));
        nothing("relative path", withRepository(allKeys, QStringLiteral("restic-repo")));
        nothing("other backend", withRepository(allKeys, QStringLiteral("azure:container:/restic")));

        QTest::newRow("b2 keeps only the b2 pair")
            << withRepository(allKeys, QStringLiteral("b2:bucket:restic")) << true << int(Kind::backblazeB2)
            << "b2:bucket:restic" << some("pw") << some("b2id") << some("b2key") << absent << absent;
        QTest::newRow("s3 keeps only the aws pair")
            << withRepository(allKeys, QStringLiteral("s3:host/bucket")) << true << int(Kind::s3) << "s3:host/bucket"
            << some("pw") << absent << absent << some("awsid") << some("awssecret");
        QTest::newRow("sftp keeps no pair")
            << withRepository(allKeys, QStringLiteral("sftp:host:/srv")) << true << int(Kind::sftp) << "sftp:host:/srv"
            << some("pw") << absent << absent << absent << absent;
        QTest::newRow("local keeps no pair")
            << withRepository(allKeys, QStringLiteral("/srv/restic")) << true << int(Kind::local) << "/srv/restic"
            << some("pw") << absent << absent << absent << absent;
        // Trimmed before its kind is judged, so a pasted value with stray blanks still counts.
        QTest::newRow("repository trimmed before its kind")
            << withRepository({}, QStringLiteral("  b2:bucket:my folder\n")) << true << int(Kind::backblazeB2)
            << "b2:bucket:my folder" << absent << absent << absent << absent << absent;
        QTest::newRow("values trimmed, blanks absent")
            << Environment {
                   { QStringLiteral("RESTIC_REPOSITORY"), QStringLiteral("\u00A0s3:host/bucket\r\n") },
                   { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral(" \tp w\u2029") },
                   { QStringLiteral("AWS_ACCESS_KEY_ID"), QStringLiteral("\n") },
                   { QStringLiteral("AWS_SECRET_ACCESS_KEY"), QString() },
               }
            << true << int(Kind::s3) << "s3:host/bucket" << some("p w") << absent << absent << absent << absent;
        QTest::newRow("one key of the pair")
            << Environment {
                   { QStringLiteral("RESTIC_REPOSITORY"), QStringLiteral("b2:bucket:restic") },
                   { QStringLiteral("B2_ACCOUNT_KEY"), QStringLiteral(" key ") },
                   { QStringLiteral("AWS_ACCESS_KEY_ID"), QStringLiteral("awsid") },
               }
            << true << int(Kind::backblazeB2) << "b2:bucket:restic" << absent << absent << some("key") << absent
            << absent;
    }
    void loadFromEnvironment()
    {
        QFETCH(Environment, environment);
        QFETCH(bool, found);

        FakeKeyring keyring;
        const std::optional<DiscoveredResticSettings> settings
            = ResticSettingsDiscovery::load(Source::environment, environment, keyring.value());
        QVERIFY(keyring.reads.isEmpty());
        QCOMPARE(settings.has_value(), found);
        if (!found)
            return;

        QFETCH(int, kind);
        QFETCH(QString, repository);
        QFETCH(std::optional<QString>, password);
        QFETCH(std::optional<QString>, b2AccountID);
        QFETCH(std::optional<QString>, b2AccountKey);
        QFETCH(std::optional<QString>, awsAccessKeyID);
        QFETCH(std::optional<QString>, awsSecretAccessKey);
        const DiscoveredResticSettings expected { Source::environment, Kind(kind), repository, password, b2AccountID,
            b2AccountKey, awsAccessKeyID, awsSecretAccessKey };
        QVERIFY(*settings == expected);
    }

    void keyringPairFollowsTheRepositoryKind()
    {
        FakeKeyring keyring;
        keyring.items = {
            { QStringLiteral("RESTIC_REPOSITORY"), QStringLiteral("s3:host/bucket") },
            { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("pw\n") },
            { QStringLiteral("RESTIC_FERROCOPY_AWS_KEY_ID"), QStringLiteral("keyid") },
            { QStringLiteral("RESTIC_FERROCOPY_AWS_SECRET"), QStringLiteral("secret") },
            // Restic's own variable names mean nothing in the keyring.
            { QStringLiteral("B2_ACCOUNT_ID"), QStringLiteral("ignored") },
        };
        const DiscoveredResticSettings s3 { Source::cliKeyring, Kind::s3, QStringLiteral("s3:host/bucket"), some("pw"),
            std::nullopt, std::nullopt, some("keyid"), some("secret") };
        std::optional<DiscoveredResticSettings> settings
            = ResticSettingsDiscovery::load(Source::cliKeyring, allKeys, keyring.value());
        QVERIFY(settings && *settings == s3);

        keyring.items.insert(QStringLiteral("RESTIC_REPOSITORY"), QStringLiteral("b2:bucket:restic"));
        const DiscoveredResticSettings b2 { Source::cliKeyring, Kind::backblazeB2, QStringLiteral("b2:bucket:restic"),
            some("pw"), some("keyid"), some("secret"), std::nullopt, std::nullopt };
        settings = ResticSettingsDiscovery::load(Source::cliKeyring, allKeys, keyring.value());
        QVERIFY(settings && *settings == b2);
    }

    void keyringWithoutPasswordStillLoads()
    {
        FakeKeyring keyring;
        keyring.items = {
            { QStringLiteral("RESTIC_REPOSITORY"), QStringLiteral("/srv/restic") },
        };
        const std::optional<DiscoveredResticSettings> settings
            = ResticSettingsDiscovery::load(Source::cliKeyring, {}, keyring.value());
        const DiscoveredResticSettings expected { Source::cliKeyring, Kind::local, QStringLiteral("/srv/restic"), {},
            {}, {}, {}, {} };
        QVERIFY(settings && *settings == expected);
    }

    void keyringReadsFourItemsBeforeJudging_data()
    {
        QTest::addColumn<QString>("repository"); // empty: no item
        QTest::addColumn<QString>("failing");
        QTest::addColumn<int>("reads");

        QTest::newRow("usable repository") << "b2:bucket:restic" << QString() << 4;
        QTest::newRow("missing repository") << QString() << QString() << 4;
        QTest::newRow("blank repository") << " " << QString() << 4;
        QTest::newRow("key id fails") << "b2:bucket:restic"
                                      << "RESTIC_FERROCOPY_AWS_KEY_ID" << 1;
        QTest::newRow("secret fails") << "b2:bucket:restic"
                                      << "RESTIC_FERROCOPY_AWS_SECRET" << 2;
        QTest::newRow("repository fails") << "b2:bucket:restic"
                                          << "RESTIC_REPOSITORY" << 3;
        // The password is read even when the repository is already known to be missing.
        QTest::newRow("password fails without repository") << QString() << "RESTIC_PASSWORD" << 4;
        QTest::newRow("password fails with unusable repository") << "rest:x"
                                                                 << "RESTIC_PASSWORD" << 4;
    }
    void keyringReadsFourItemsBeforeJudging()
    {
        QFETCH(QString, repository);
        QFETCH(QString, failing);
        QFETCH(int, reads);

        FakeKeyring keyring;
        if (!repository.isEmpty())
            keyring.items.insert(QStringLiteral("RESTIC_REPOSITORY"), repository);
        keyring.failing = failing;
        bool raised = false;
        try {
            ResticSettingsDiscovery::load(Source::cliKeyring, {}, keyring.value());
        } catch (const Error &error) {
            raised = true;
            QCOMPARE(error.message(), QStringLiteral("Keyring error: The keyring is locked."));
        }
        QCOMPARE(raised, !failing.isEmpty());
        const QStringList order { QStringLiteral("RESTIC_FERROCOPY_AWS_KEY_ID"),
            QStringLiteral("RESTIC_FERROCOPY_AWS_SECRET"), QStringLiteral("RESTIC_REPOSITORY"),
            QStringLiteral("RESTIC_PASSWORD") };
        QCOMPARE(keyring.reads, order.first(reads));
    }

    void labelsAreTheEditorsTexts()
    {
        QCOMPARE(
            DiscoveredResticSettings::label(Source::environment), QStringLiteral("Vellmir's environment variables"));
        QCOMPARE(DiscoveredResticSettings::label(Source::cliKeyring),
            QStringLiteral("the ferrocopy-backup command-line tool's keyring items"));
    }

    void defaultEnvironmentIsTheProcessEnvironment()
    {
        qputenv("RESTIC_REPOSITORY", " /srv/from-process ");
        qputenv("RESTIC_PASSWORD", "process-pw");
        const auto noKeyring = [](const QString &) { return false; };
        const QList<Source> sources
            = ResticSettingsDiscovery::availableSources(ResticSettingsDiscovery::processEnvironment(), noKeyring);
        const std::optional<DiscoveredResticSettings> settings = ResticSettingsDiscovery::load(Source::environment);
        qunsetenv("RESTIC_REPOSITORY");
        qunsetenv("RESTIC_PASSWORD");
        QVERIFY(sources == QList<Source> { Source::environment });
        QVERIFY(settings);
        QCOMPARE(settings->repository, QStringLiteral("/srv/from-process"));
        QCOMPARE(settings->password, some("process-pw"));
    }

    // Without a reachable Secret Service the real lookups must not pass a failure off as
    // "no item": existence says no, reading the value raises.
    void unreachableKeyringIsAFailureNotAnAbsence()
    {
        const QByteArray saved = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vellmir-test-bus");
        const bool exists = ResticSettingsDiscovery::keyringItemExists(QStringLiteral("RESTIC_REPOSITORY"));
        QString message;
        try {
            ResticSettingsDiscovery::keyringItemValue(QStringLiteral("RESTIC_REPOSITORY"));
        } catch (const KeyringError &error) {
            message = error.message();
        }
        const QList<Source> sources = ResticSettingsDiscovery::availableSources({});
        bool loadRaised = false;
        try {
            ResticSettingsDiscovery::load(Source::cliKeyring, {});
        } catch (const KeyringError &) {
            loadRaised = true;
        }
        if (saved.isNull())
            qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        else
            qputenv("DBUS_SESSION_BUS_ADDRESS", saved);
        QVERIFY(!exists);
        QVERIFY2(message.startsWith(QStringLiteral("Keyring error: ")), qPrintable(message));
        QVERIFY(sources.isEmpty());
        QVERIFY(loadRaised);
    }
};

QTEST_GUILESS_MAIN(ResticSettingsDiscoveryTest)
#include "ResticSettingsDiscoveryTest.moc"

#include "config/Destination.h"
#include "TestSupport.h"
#include "util/Json.h"
#include "util/Uuid.h"

#include <QtTest>

using namespace vellmir;

namespace {
QJsonObject minimalElement()
{
    return QJsonObject {
        { QStringLiteral("id"), QStringLiteral("5A0F8E43-1C2B-4D6E-9F70-8A9B0C1D2E3F") },
        { QStringLiteral("name"), QStringLiteral("Home") },
        { QStringLiteral("kind"), QStringLiteral("local") },
        { QStringLiteral("repository"), QStringLiteral("/srv/backup/repo") },
    };
}

Destination sample()
{
    Destination d = Destination::fromJson(minimalElement());
    d.sources = { QStringLiteral("/home/ana/Pictures"), QStringLiteral("/home/ana/Documents") };
    d.excludes = { QStringLiteral(".cache"), QStringLiteral("*.tmp") };
    return d;
}
} // namespace

class DestinationTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void minimalElementReadsWithEveryDefault()
    {
        const Destination d = Destination::fromJson(minimalElement());
        QCOMPARE(uuidText(d.id), QStringLiteral("5A0F8E43-1C2B-4D6E-9F70-8A9B0C1D2E3F"));
        QCOMPARE(d.credentialID, d.id);
        QVERIFY(!d.preferences);
        QVERIFY(d.sources.isEmpty());
        QVERIFY(d.excludes.isEmpty());
        QCOMPARE(d.retention, (Destination::RetentionPolicy { 7, 4, 12, 3 }));
        QVERIFY(d.pruneAfterBackup);
        QVERIFY(d.schedule == Destination::Schedule::manual);
        QVERIFY(!d.lastBackup);

        const QJsonObject written = d.toJson();
        QVERIFY(!written.contains(QStringLiteral("preferences")));
        QVERIFY(!written.contains(QStringLiteral("lastBackup")));
        for (const char *key : { "id", "credentialID", "name", "kind", "repository", "sources", "excludes", "retention",
                 "pruneAfterBackup", "schedule" })
            QVERIFY2(written.contains(QLatin1String(key)), key);
        QCOMPARE(Destination::fromJson(written), d);
    }

    void nullCountsAsMissingAndValuesReadAsWritten()
    {
        QJsonObject element = minimalElement();
        element.insert(QStringLiteral("pruneAfterBackup"), false);
        element.insert(QStringLiteral("schedule"), QStringLiteral("daily"));
        element.insert(QStringLiteral("credentialID"), QJsonValue::Null);
        element.insert(QStringLiteral("sources"), QJsonValue::Null);
        element.insert(QStringLiteral("somethingNew"), 42);
        const Destination d = Destination::fromJson(element);
        QVERIFY(!d.pruneAfterBackup);
        QVERIFY(d.schedule == Destination::Schedule::daily);
        QCOMPARE(d.credentialID, d.id);
        QVERIFY(d.sources.isEmpty());

        element.insert(QStringLiteral("pruneAfterBackup"), QJsonValue::Null);
        element.insert(QStringLiteral("schedule"), QJsonValue::Null);
        const Destination defaults = Destination::fromJson(element);
        QVERIFY(defaults.pruneAfterBackup);
        QVERIFY(defaults.schedule == Destination::Schedule::manual);
    }

    void badElementsFailNamingTheKey_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("missing id") << "id" << QJsonValue(QJsonValue::Undefined) << "\"id\"";
        QTest::newRow("null name") << "name" << QJsonValue(QJsonValue::Null) << "\"name\"";
        QTest::newRow("missing kind") << "kind" << QJsonValue(QJsonValue::Undefined) << "\"kind\"";
        QTest::newRow("missing repository") << "repository" << QJsonValue(QJsonValue::Undefined) << "\"repository\"";
        QTest::newRow("numeric repository") << "repository" << QJsonValue(3) << "\"repository\"";
        QTest::newRow("unknown kind") << "kind" << QJsonValue(QStringLiteral("ftp")) << "\"kind\"";
        QTest::newRow("unknown schedule") << "schedule" << QJsonValue(QStringLiteral("weekly")) << "\"schedule\"";
        QTest::newRow("bad id") << "id" << QJsonValue(QStringLiteral("not-a-uuid")) << "\"id\"";
        QTest::newRow("partial retention")
            << "retention" << QJsonValue(QJsonObject { { "keepDaily", 1 }, { "keepWeekly", 1 }, { "keepMonthly", 1 } })
            << "\"retention.keepYearly\"";
        QTest::newRow("fractional count") << "retention"
                                          << QJsonValue(QJsonObject { { "keepDaily", 1.5 }, { "keepWeekly", 1 },
                                                 { "keepMonthly", 1 }, { "keepYearly", 1 } })
                                          << "\"retention.keepDaily\"";
        QTest::newRow("huge count") << "retention"
                                    << QJsonValue(QJsonObject { { "keepDaily", 1e30 }, { "keepWeekly", 1 },
                                           { "keepMonthly", 1 }, { "keepYearly", 1 } })
                                    << "\"retention.keepDaily\"";
        QTest::newRow("sources not texts")
            << "sources" << QJsonValue(QJsonArray { QStringLiteral("/a"), 7 }) << "\"sources\"";
        QTest::newRow("lastBackup as text")
            << "lastBackup" << QJsonValue(QStringLiteral("yesterday")) << "\"lastBackup\"";
    }

    void badElementsFailNamingTheKey()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        QFETCH(QString, expected);
        QJsonObject element = minimalElement();
        if (value.isUndefined())
            element.remove(key);
        else
            element.insert(key, value);
        try {
            Destination::fromJson(element);
            QFAIL("read should have failed");
        } catch (const JsonError &error) {
            QVERIFY2(error.message().contains(expected), qPrintable(error.message()));
            QVERIFY(error.message().endsWith(u'.'));
        }
    }

    void oneBadElementFailsTheWholeList()
    {
        QJsonObject bad = minimalElement();
        bad.remove(QStringLiteral("name"));
        QVERIFY_THROWS_EXCEPTION(JsonError, Destination::listFromJson(QJsonArray { minimalElement(), bad }));
        QVERIFY_THROWS_EXCEPTION(JsonError, Destination::listFromJson(QJsonArray { minimalElement(), 4 }));
    }

    void fractionalLastBackupRoundTripsExactly()
    {
        Destination d = Destination::fromJson(minimalElement());
        d.lastBackup = Date { 786543210.123456789 };
        const QByteArray bytes = json::pretty(Destination::listToJson({ d }));
        const QList<Destination> back = Destination::listFromJson(json::parseArray(bytes));
        QCOMPARE(back.size(), 1);
        QCOMPARE(back.first().lastBackup->seconds, d.lastBackup->seconds);
        QCOMPARE(back.first(), d);
    }

    void retentionArgumentsAndSummary()
    {
        const Destination::RetentionPolicy zero { 0, 0, 0, 0 };
        QCOMPARE(zero.arguments(),
            QStringList({ "--keep-daily", "0", "--keep-weekly", "0", "--keep-monthly", "0", "--keep-yearly", "0" }));
        QCOMPARE(zero.summary(), QStringLiteral("Keep 0 daily, 0 weekly, 0 monthly, 0 yearly"));
        QCOMPARE(
            Destination::RetentionPolicy {}.summary(), QStringLiteral("Keep 7 daily, 4 weekly, 12 monthly, 3 yearly"));
    }

    void kindTablesAndRoles()
    {
        QCOMPARE(allKinds().size(), 4);
        QCOMPARE(displayName(Destination::Kind::s3), QStringLiteral("S3 / R2"));
        QVERIFY(kindFromString(QStringLiteral("backblazeB2")) == Destination::Kind::backblazeB2);
        QVERIFY(!kindFromString(QStringLiteral("BackblazeB2")));
        QCOMPARE(credentialRoles(Destination::Kind::backblazeB2),
            (QList<CredentialRole> {
                CredentialRole::repoPassword, CredentialRole::b2AccountID, CredentialRole::b2AccountKey }));
        QCOMPARE(credentialRoles(Destination::Kind::local), QList<CredentialRole> { CredentialRole::repoPassword });
    }

    void backupScopeIsPinnedAndOrderFree()
    {
        const Destination d = sample();
        // sha256 of
        // ["\/srv\/backup\/repo","\/home\/ana\/Documents","\/home\/ana\/Pictures","--excludes--","*.tmp",".cache"]
        QCOMPARE(d.backupScope(), QStringLiteral("593cd9b7a2530faadd0254b77124eaa4cfe1576883417c1fdc6e1abbafec8a40"));

        Destination swapped = d;
        swapped.sources.swapItemsAt(0, 1);
        swapped.name = QStringLiteral("Other name");
        swapped.retention.keepDaily = 1;
        QCOMPARE(swapped.backupScope(), d.backupScope());

        Destination trailing = d;
        trailing.repository += u'/';
        QVERIFY(trailing.backupScope() != d.backupScope());

        Destination moved = d;
        moved.excludes.append(moved.sources.takeFirst());
        QVERIFY(moved.backupScope() != d.backupScope());
    }

    void canonicallyEquivalentSourcesSortAsEqual()
    {
        const QString nfc = QStringLiteral("/home/ana/caf\u00e9");
        const QString nfd = QStringLiteral("/home/ana/cafe\u0301");
        QCOMPARE(compareCanonical(nfc, nfd), 0);
        QVERIFY(compareCanonical(QStringLiteral("/a"), QStringLiteral("/b")) < 0);
        // Code point order, not UTF-16 order: U+1F600 sorts after U+FF5E.
        QVERIFY(compareCanonical(QStringLiteral("\U0001F600"), QStringLiteral("\uFF5E")) > 0);

        Destination a = sample();
        a.sources = { nfc, QStringLiteral("/home/ana/z") };
        Destination b = a;
        b.sources = { QStringLiteral("/home/ana/z"), nfc };
        QCOMPARE(a.backupScope(), b.backupScope());
    }

    void excludeArgumentsExpandAndDeduplicate()
    {
        test::TestHome home;
        Destination d = sample();
        d.excludes = { QStringLiteral("~/Library/Application Support/RozezUIInternal"), QStringLiteral("~"),
            QStringLiteral("~bob/x"), QStringLiteral("*.tmp"), QStringLiteral("*.tmp"), QStringLiteral("!~/keep") };
        const QString h = home.path();
        QCOMPARE(d.excludeArguments(),
            QStringList({ "--exclude", h + "/Library/Application Support/RozezUIInternal", "--exclude", h, "--exclude",
                "~bob/x", "--exclude", "*.tmp", "--exclude", "!" + h + "/keep" }));
        // No pattern from another system reaches restic on its own.
        d.excludes.clear();
        QCOMPARE(d.excludeArguments(), QStringList());
    }

    void tildeFormLeavesSiblingsAlone()
    {
        test::TestHome home;
        const QString h = home.path();
        QCOMPARE(Destination::tildeForm(h), QStringLiteral("~"));
        QCOMPARE(Destination::tildeForm(h + "/Documents/a.txt"), QStringLiteral("~/Documents/a.txt"));
        QCOMPARE(Destination::tildeForm(h + "-old/Documents"), h + "-old/Documents");
        QCOMPARE(Destination::tildeForm(QStringLiteral("/etc")), QStringLiteral("/etc"));
    }

    void equalityCoversPreferencesAndLastBackup()
    {
        Destination a = sample();
        Destination b = a;
        b.preferences = BackupPreferences {};
        QVERIFY(a != b);
        a.preferences = BackupPreferences {};
        QVERIFY(a == b);
        b.preferences->monthlyBudget = 5;
        QVERIFY(a != b);
    }
};

QTEST_GUILESS_MAIN(DestinationTest)
#include "DestinationTest.moc"

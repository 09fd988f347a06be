#include "config/Destination.h"
#include "util/Json.h"

#include <QtTest>

using namespace vellmir;

namespace {
QJsonObject fullPreferences()
{
    return BackupPreferences { true, false, 250, true, 6.0, 12.5 }.toJson();
}
} // namespace

class BackupPreferencesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void defaultsMatchTheBuiltInSet()
    {
        const BackupPreferences p;
        QCOMPARE(p, (BackupPreferences { false, true, 0, false, 0.0, 0.0 }));
    }

    void roundTripsAllSixKeys()
    {
        const BackupPreferences p = BackupPreferences::fromJson(fullPreferences());
        QCOMPARE(p, (BackupPreferences { true, false, 250, true, 6.0, 12.5 }));
        QCOMPARE(p.toJson().size(), 6);
    }

    void anyMissingOrMistypedKeyFails_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value");
        for (const char *key : { "onlyOnAC", "avoidMeteredNetworks", "uploadLimitKiB", "checkMonthly",
                 "storageRatePerTB", "monthlyBudget" })
            QTest::newRow(key) << QString::fromLatin1(key) << QJsonValue(QJsonValue::Undefined);
        QTest::newRow("text flag") << "onlyOnAC" << QJsonValue(QStringLiteral("yes"));
        QTest::newRow("fractional limit") << "uploadLimitKiB" << QJsonValue(2.5);
        QTest::newRow("text budget") << "monthlyBudget" << QJsonValue(QStringLiteral("10"));
    }

    void anyMissingOrMistypedKeyFails()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        QJsonObject object = fullPreferences();
        if (value.isUndefined())
            object.remove(key);
        else
            object.insert(key, value);
        try {
            BackupPreferences::fromJson(object);
            QFAIL("read should have failed");
        } catch (const JsonError &error) {
            QVERIFY2(error.message().contains(key), qPrintable(error.message()));
        }
    }

    void fiveKeyObjectMakesTheDestinationUnreadable()
    {
        QJsonObject preferences = fullPreferences();
        preferences.remove(QStringLiteral("monthlyBudget"));
        const QJsonObject element {
            { "id", "5A0F8E43-1C2B-4D6E-9F70-8A9B0C1D2E3F" },
            { "name", "x" },
            { "kind", "sftp" },
            { "repository", "sftp:host:/r" },
            { "preferences", preferences },
        };
        QVERIFY_THROWS_EXCEPTION(JsonError, Destination::listFromJson(QJsonArray { element }));
    }

    void absentPreferencesStayAbsent()
    {
        const QJsonObject element {
            { "id", "5A0F8E43-1C2B-4D6E-9F70-8A9B0C1D2E3F" },
            { "name", "x" },
            { "kind", "sftp" },
            { "repository", "sftp:host:/r" },
            { "preferences", QJsonValue::Null },
        };
        const Destination d = Destination::fromJson(element);
        QVERIFY(!d.preferences);
        QVERIFY(d.effectivePreferences().avoidMeteredNetworks);
        QVERIFY(!d.effectivePreferences().onlyOnAC);
        QVERIFY(!d.toJson().contains(QStringLiteral("preferences")));
    }

    void differentBudgetsAreUnequal()
    {
        BackupPreferences a;
        BackupPreferences b;
        b.monthlyBudget = 0.5;
        QVERIFY(a != b);
    }
};

QTEST_GUILESS_MAIN(BackupPreferencesTest)
#include "BackupPreferencesTest.moc"

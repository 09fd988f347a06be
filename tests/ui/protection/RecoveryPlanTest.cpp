#include "protection/RecoveryPlan.h"

#include "util/Json.h"

#include <QtTest>

using namespace vellmir;

namespace {

Destination sampleDestination()
{
    Destination destination;
    destination.id = QUuid::createUuid();
    destination.credentialID = QUuid::createUuid();
    destination.name = QStringLiteral("Photos");
    destination.kind = Destination::Kind::sftp;
    destination.repository = QStringLiteral("sftp:user@host:/srv/restic");
    destination.sources
        = { QStringLiteral("/home/a/Pictures"), QStringLiteral("/home/a/Documents"), QStringLiteral("/srv/shared") };
    destination.excludes = { QStringLiteral("~/.cache"), QStringLiteral("*.tmp") };
    destination.retention = { 3, 2, 9, 1 };
    destination.pruneAfterBackup = true;
    destination.schedule = Destination::Schedule::daily;
    destination.preferences = BackupPreferences {};
    destination.lastBackup = Date(700000000.0);
    return destination;
}

QByteArray withoutKey(const QString &key, const QString &inside = {})
{
    QJsonObject object = RecoveryPlan(sampleDestination()).toJson();
    if (inside.isEmpty()) {
        object.remove(key);
    } else {
        QJsonObject nested = object.value(inside).toObject();
        nested.remove(key);
        object.insert(inside, nested);
    }
    return json::compact(object);
}

QByteArray withValue(const QString &key, const QJsonValue &value)
{
    QJsonObject object = RecoveryPlan(sampleDestination()).toJson();
    object.insert(key, value);
    return json::compact(object);
}

} // namespace

class RecoveryPlanTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void planCarriesNoSecretsOrLocalState();
    void fileRoundTripsInSortedOrder();
    void decodingRefusesIncompletePlans_data();
    void decodingRefusesIncompletePlans();
    void unknownMembersAreIgnored();
    void otherFormatVersionDecodesButIsRefused();
    void destinationStartsFreshAndEmpty();
    void instructionsBeginWithThePlan_data();
    void instructionsBeginWithThePlan();
    void instructionsKeepTextsUnescaped();
};

void RecoveryPlanTest::planCarriesNoSecretsOrLocalState()
{
    const Destination destination = sampleDestination();
    const RecoveryPlan plan(destination);
    QCOMPARE(plan.formatVersion, 1);
    QCOMPARE(plan.name, destination.name);
    QVERIFY(plan.kind == destination.kind);
    QCOMPARE(plan.repository, destination.repository);
    QCOMPARE(plan.sources, destination.sources);
    QCOMPARE(plan.excludes, destination.excludes);
    QVERIFY(plan.retention == destination.retention);

    QStringList keys = plan.toJson().keys();
    QCOMPARE(keys, (QStringList { "excludes", "formatVersion", "kind", "name", "repository", "retention", "sources" }));
    const QByteArray file = plan.encodeFile();
    QVERIFY(!file.contains(destination.id.toByteArray(QUuid::WithoutBraces).toUpper()));
    QVERIFY(!file.contains(destination.credentialID.toByteArray(QUuid::WithoutBraces).toUpper()));
}

void RecoveryPlanTest::fileRoundTripsInSortedOrder()
{
    const RecoveryPlan plan(sampleDestination());
    const QByteArray file = plan.encodeFile();
    QVERIFY(RecoveryPlan::decodeFile(file) == plan);

    // A person reading the kit sees the members in this order.
    const QList<QByteArray> order { "\"excludes\"", "\"formatVersion\"", "\"kind\" : \"sftp\"", "\"name\"",
        "\"repository\"", "\"retention\"", "\"keepDaily\" : 3", "\"keepMonthly\" : 9", "\"keepWeekly\" : 2",
        "\"keepYearly\" : 1", "\"sources\"" };
    qsizetype last = -1;
    for (const QByteArray &key : order) {
        const qsizetype at = file.indexOf(key);
        QVERIFY2(at > last, key.constData());
        last = at;
    }
    QVERIFY(file.contains('\n'));
}

void RecoveryPlanTest::decodingRefusesIncompletePlans_data()
{
    QTest::addColumn<QByteArray>("bytes");
    for (const char *key : { "formatVersion", "name", "kind", "repository", "sources", "excludes", "retention" })
        QTest::newRow(qPrintable(QStringLiteral("without %1").arg(QLatin1String(key))))
            << withoutKey(QString::fromLatin1(key));
    QTest::newRow("retention without keepYearly")
        << withoutKey(QStringLiteral("keepYearly"), QStringLiteral("retention"));
    QTest::newRow("unknown kind") << withValue(QStringLiteral("kind"), QStringLiteral("ftp"));
    QTest::newRow("kind in another case") << withValue(QStringLiteral("kind"), QStringLiteral("Local"));
    QTest::newRow("version as text") << withValue(QStringLiteral("formatVersion"), QStringLiteral("1"));
    QTest::newRow("sources as text") << withValue(QStringLiteral("sources"), QStringLiteral("/home"));
    QTest::newRow("excludes with a number") << withValue(QStringLiteral("excludes"), QJsonArray { 1 });
    QTest::newRow("null name") << withValue(QStringLiteral("name"), QJsonValue::Null);
    QTest::newRow("retention as list") << withValue(QStringLiteral("retention"), QJsonArray {});
    QTest::newRow("a list, not an object") << QByteArray("[]");
    QTest::newRow("cut short") << RecoveryPlan(sampleDestination()).encodeFile().left(40);
    QTest::newRow("empty file") << QByteArray();
}

void RecoveryPlanTest::decodingRefusesIncompletePlans()
{
    QFETCH(QByteArray, bytes);
    QVERIFY_THROWS_EXCEPTION(JsonError, RecoveryPlan::decodeFile(bytes));
}

void RecoveryPlanTest::unknownMembersAreIgnored()
{
    QJsonObject object = RecoveryPlan(sampleDestination()).toJson();
    object.insert(QStringLiteral("schedule"), QStringLiteral("daily"));
    object.insert(QStringLiteral("credentialID"), QStringLiteral("whatever"));
    QVERIFY(RecoveryPlan::decodeFile(json::compact(object)) == RecoveryPlan(sampleDestination()));
}

void RecoveryPlanTest::otherFormatVersionDecodesButIsRefused()
{
    const RecoveryPlan plan = RecoveryPlan::decodeFile(withValue(QStringLiteral("formatVersion"), 2));
    QCOMPARE(plan.formatVersion, 2);
    try {
        (void)plan.destination();
        QFAIL("a plan of version 2 was accepted");
    } catch (const JsonError &error) {
        QCOMPARE(error.message(), QStringLiteral("This recovery kit uses an unsupported format version."));
    }
}

void RecoveryPlanTest::destinationStartsFreshAndEmpty()
{
    const Destination original = sampleDestination();
    const RecoveryPlan plan = RecoveryPlan::decodeFile(RecoveryPlan(original).encodeFile());
    const Destination first = plan.destination();
    const Destination second = plan.destination();

    QVERIFY(!first.id.isNull());
    QVERIFY(first.id != second.id);
    QVERIFY(first.id != original.id);
    QCOMPARE(first.credentialID, first.id);
    QCOMPARE(second.credentialID, second.id);
    QCOMPARE(first.sources, QStringList {});
    QVERIFY(first.schedule == Destination::Schedule::manual);
    QCOMPARE(first.pruneAfterBackup, false);
    QVERIFY(!first.preferences.has_value());
    QVERIFY(!first.lastBackup.has_value());
    QCOMPARE(first.name, original.name);
    QVERIFY(first.kind == original.kind);
    QCOMPARE(first.repository, original.repository);
    QCOMPARE(first.excludes, original.excludes);
    QVERIFY(first.retention == original.retention);
}

void RecoveryPlanTest::instructionsBeginWithThePlan_data()
{
    QTest::addColumn<Destination::Kind>("kind");
    QTest::addColumn<QString>("label");
    QTest::newRow("local") << Destination::Kind::local << QStringLiteral("Local disk");
    QTest::newRow("b2") << Destination::Kind::backblazeB2 << QStringLiteral("Backblaze B2");
    QTest::newRow("s3") << Destination::Kind::s3 << QStringLiteral("S3 / R2");
    QTest::newRow("sftp") << Destination::Kind::sftp << QStringLiteral("SFTP");
}

void RecoveryPlanTest::instructionsBeginWithThePlan()
{
    QFETCH(Destination::Kind, kind);
    QFETCH(QString, label);
    Destination destination = sampleDestination();
    destination.kind = kind;
    destination.repository = QStringLiteral("/media/disk/restic");
    const QStringList lines = RecoveryPlan(destination).instructions().split(u'\n');

    QCOMPARE(lines.size(), 22);
    QCOMPARE(lines.at(0), QStringLiteral("Vellmir recovery kit for Photos"));
    QCOMPARE(lines.at(1), QString());
    QCOMPARE(lines.at(2), QStringLiteral("Repository: /media/disk/restic"));
    QCOMPARE(lines.at(3), QStringLiteral("Storage: ") + label);
    // The kind that vellmir add-destination takes to bring the destination back.
    QCOMPARE(lines.at(4), QStringLiteral("Kind: ") + toString(kind));
    QCOMPARE(lines.at(5), QString());
    QVERIFY(lines.at(6).startsWith(QStringLiteral("Save this kit somewhere independent")));
    QCOMPARE(lines.at(10), QStringLiteral("On a replacement computer:"));
    QCOMPARE(lines.at(17), QStringLiteral("Independent recovery with restic:"));
    QVERIFY(lines.at(18).startsWith(QStringLiteral("Install restic from https://restic.net. Supply")));
    // No line feed after the last line.
    QVERIFY(lines.last().endsWith(QStringLiteral("A sample restore verifies only the selected data.")));
}

void RecoveryPlanTest::instructionsKeepTextsUnescaped()
{
    Destination destination = sampleDestination();
    destination.name = QStringLiteral("Two\nlines <&> \"quoted\"");
    destination.repository = QStringLiteral("s3:host/bucket\nStorage: fake");
    const QString text = RecoveryPlan(destination).instructions();
    // No markup is escaped; a line break is written out, so that no value forges a line of its own.
    QVERIFY(text.startsWith(QStringLiteral("Vellmir recovery kit for Two⟨U+000A⟩lines <&> \"quoted\"\n\nRepository: "
                                           "s3:host/bucket⟨U+000A⟩Storage: fake\nStorage: SFTP\nKind: sftp\n\n")));
}

QTEST_GUILESS_MAIN(RecoveryPlanTest)
#include "RecoveryPlanTest.moc"

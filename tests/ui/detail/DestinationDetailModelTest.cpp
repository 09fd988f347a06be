#include "DetailFixture.h"

using namespace vellmir;
using Fixture = test::DetailFixture;

class DestinationDetailModelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void loadSnapshots_data();
    void loadSnapshots();
    void failedLoadEmptiesAnEarlierList();
    void targets();
    void selectionAcrossReloads();
    void tableHeight_data();
    void tableHeight();
};

void DestinationDetailModelTest::loadSnapshots_data()
{
    QTest::addColumn<bool>("withPassword");
    QTest::addColumn<QByteArray>("stdout");
    QTest::addColumn<QByteArray>("stderr");
    QTest::addColumn<int>("exit");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("error");
    QTest::newRow("three") << true << Fixture::snapshotsJson(3) << QByteArray() << 0 << 3 << QString();
    QTest::newRow("empty repository") << true << QByteArray("[]") << QByteArray() << 0 << 0 << QString();
    QTest::newRow("wrong password") << true << QByteArray() << QByteArray("Fatal: wrong password or no key found\n")
                                    << 12 << 0 << QStringLiteral("Fatal: wrong password or no key found");
    QTest::newRow("missing secret") << false << QByteArray("[]") << QByteArray() << 0 << 0 << QString();
}

void DestinationDetailModelTest::loadSnapshots()
{
    QFETCH(bool, withPassword);
    QFETCH(QByteArray, stdout);
    QFETCH(QByteArray, stderr);
    QFETCH(int, exit);
    QFETCH(int, count);
    QFETCH(QString, error);
    Fixture f;
    if (!withPassword)
        f.destination.credentialID = newUuid(); // no secret stored under it
    f.script(QStringLiteral("snapshots.stdout"), stdout);
    f.script(QStringLiteral("snapshots.stderr"), stderr);
    f.script(QStringLiteral("snapshots.exit"), QByteArray::number(exit));
    auto model = f.model();
    model->loadSnapshots();
    QVERIFY(model->loadingSnapshots());
    QVERIFY(!model->snapshotError());
    QVERIFY(Fixture::waitFor([&] { return !model->loadingSnapshots(); }));
    QCOMPARE(model->snapshots().size(), count);
    if (count > 1)
        QVERIFY(model->snapshots().first().time > model->snapshots().last().time);
    if (!withPassword) {
        QVERIFY(model->snapshotError().has_value());
        QVERIFY(!f.resticRan());
    } else if (error.isEmpty()) {
        QVERIFY(!model->snapshotError());
    } else {
        QCOMPARE(model->snapshotError().value_or(QString()), error);
    }
}

void DestinationDetailModelTest::failedLoadEmptiesAnEarlierList()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(2));
    auto model = f.model();
    model->loadSnapshots();
    QVERIFY(Fixture::waitFor([&] { return !model->loadingSnapshots(); }));
    QCOMPARE(model->snapshots().size(), 2);
    f.script(QStringLiteral("snapshots.exit"), "1");
    f.script(QStringLiteral("snapshots.stderr"), "Fatal: repository does not exist\n");
    model->loadSnapshots();
    QVERIFY(Fixture::waitFor([&] { return !model->loadingSnapshots(); }));
    QVERIFY(model->snapshots().isEmpty());
    QCOMPARE(model->snapshotError().value_or(QString()), QStringLiteral("Fatal: repository does not exist"));
}

void DestinationDetailModelTest::targets()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(3));
    auto model = f.model();
    QSignalSpy browse(model.get(), &DestinationDetailModel::browseTargetChanged);
    // Nothing listed: neither button opens anything.
    model->findAndRestore();
    model->restoreEverything();
    QVERIFY(!model->browseTarget() && !model->restoreTarget());

    model->loadSnapshots();
    QVERIFY(Fixture::waitFor([&] { return !model->loadingSnapshots(); }));
    const QList<Snapshot> list = model->snapshots();
    model->findAndRestore();
    QCOMPARE(model->browseTarget().value().id, list.first().id);
    model->restoreEverything();
    QVERIFY(!model->restoreTarget());

    model->setSnapshotSelection(list[1].id);
    model->findAndRestore();
    QCOMPARE(model->browseTarget().value().id, list[1].id);
    model->restoreEverything();
    QCOMPARE(model->restoreTarget().value().id, list[1].id);

    model->openRow(list[2].id);
    QCOMPARE(model->browseTarget().value().id, list[2].id);
    model->openRow(QStringLiteral("gone"));
    QVERIFY(!model->browseTarget());
    QCOMPARE(browse.size(), 4);
}

void DestinationDetailModelTest::selectionAcrossReloads()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(3));
    auto model = f.model();
    model->loadSnapshots();
    QVERIFY(Fixture::waitFor([&] { return !model->loadingSnapshots(); }));
    const QString oldest = model->snapshots().last().id;
    model->setSnapshotSelection(oldest);
    model->loadSnapshots();
    QVERIFY(Fixture::waitFor([&] { return !model->loadingSnapshots(); }));
    QCOMPARE(model->selectedSnapshot().value().id, oldest);

    // Retention dropped the selected snapshot: the selection no longer names a row.
    QJsonArray remaining = QJsonDocument::fromJson(Fixture::snapshotsJson(3)).array();
    remaining.removeFirst();
    f.script(QStringLiteral("snapshots.stdout"), QJsonDocument(remaining).toJson());
    model->loadSnapshots();
    QVERIFY(Fixture::waitFor([&] { return !model->loadingSnapshots(); }));
    QCOMPARE(model->snapshots().size(), 2);
    QVERIFY(!model->selectedSnapshot());
    model->restoreEverything();
    QVERIFY(!model->restoreTarget());
}

void DestinationDetailModelTest::tableHeight_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("ideal");
    QTest::newRow("2") << 2 << 86;
    QTest::newRow("5") << 5 << 164;
    QTest::newRow("10") << 10 << 294;
    QTest::newRow("11 capped") << 11 << 300;
    QTest::newRow("500 capped") << 500 << 300;
}

void DestinationDetailModelTest::tableHeight()
{
    QFETCH(int, rows);
    QFETCH(int, ideal);
    QCOMPARE(DestinationDetailModel::idealTableHeight(rows), ideal);
}

QTEST_GUILESS_MAIN(DestinationDetailModelTest)
#include "DestinationDetailModelTest.moc"

#include "DetailFixture.h"
#include "LockHolder.h"
#include "config/FileLock.h"
#include "kit/Format.h"
#include "util/Workers.h"

#include <QElapsedTimer>

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
    void testConnection_data();
    void testConnection();
    void previewRetention_data();
    void previewRetention();
    void applyRetentionNow_data();
    void applyRetentionNow();
    void quittingEndsAppliedRetention();
    void retentionTexts();
    void removalWithUndo();
    void removalWithoutUndo();
    void failedRemovalChangesNothing();
    void failedUndoAlerts();
    void history();
    void failedHistoryReadKeepsTheList();
    void listIsReadAgain_data();
    void listIsReadAgain();
    void finishedBackupReloadsSnapshots_data();
    void finishedBackupReloadsSnapshots();
    void publishedActions();
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

void DestinationDetailModelTest::testConnection_data()
{
    QTest::addColumn<bool>("withPassword");
    QTest::addColumn<int>("exit");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("count");
    QTest::newRow("ok") << true << 0 << int(ConnectionStatus::Kind::ok) << 3;
    QTest::newRow("no repository") << true << 10 << int(ConnectionStatus::Kind::notInitialized) << 0;
    QTest::newRow("failed") << true << 1 << int(ConnectionStatus::Kind::failed) << 0;
    QTest::newRow("missing secret") << false << 0 << int(ConnectionStatus::Kind::failed) << 0;
}

void DestinationDetailModelTest::testConnection()
{
    QFETCH(bool, withPassword);
    QFETCH(int, exit);
    QFETCH(int, kind);
    QFETCH(int, count);
    Fixture f;
    if (!withPassword)
        f.destination.credentialID = newUuid(); // no secret stored under it
    f.script(QStringLiteral("snapshots.stdout"), exit == 0 ? Fixture::snapshotsJson(3) : QByteArray());
    f.script(QStringLiteral("snapshots.stderr"), exit == 0 ? QByteArray() : QByteArray("Fatal: no route to host\n"));
    f.script(QStringLiteral("snapshots.exit"), QByteArray::number(exit));
    auto model = f.model();
    model->test();
    QVERIFY(model->testing());
    QVERIFY(Fixture::waitFor([&] { return !model->testing(); }));
    QVERIFY(model->status().has_value());
    QCOMPARE(int(model->status()->kind), kind);
    QCOMPARE(model->status()->snapshotCount, count);
    QCOMPARE(f.resticRan(), withPassword);
    if (kind == int(ConnectionStatus::Kind::failed))
        QVERIFY(!model->status()->message.isEmpty());
}

void DestinationDetailModelTest::previewRetention_data()
{
    QTest::addColumn<QByteArray>("stdout");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("pending");
    QTest::addColumn<QString>("title");
    QTest::newRow("nothing") << Fixture::forgetJson(0) << 0 << QStringLiteral("Nothing to remove.") << 0 << QString();
    QTest::newRow("one") << Fixture::forgetJson(1) << 0 << QString() << 1 << QStringLiteral("Remove 1 Snapshot");
    QTest::newRow("three") << Fixture::forgetJson(3) << 0 << QString() << 3 << QStringLiteral("Remove 3 Snapshots");
    QTest::newRow("failed") << QByteArray() << 1 << QStringLiteral("Fatal: repository is locked") << 0 << QString();
}

void DestinationDetailModelTest::previewRetention()
{
    QFETCH(QByteArray, stdout);
    QFETCH(int, exit);
    QFETCH(QString, message);
    QFETCH(int, pending);
    QFETCH(QString, title);
    Fixture f;
    f.script(QStringLiteral("forget.stdout"), stdout);
    f.script(QStringLiteral("forget.stderr"), exit ? QByteArray("Fatal: repository is locked\n") : QByteArray());
    f.script(QStringLiteral("forget.exit"), QByteArray::number(exit));
    auto model = f.model();
    QSignalSpy busy(model.get(), &DestinationDetailModel::busyChanged);
    QSignalSpy confirmation(model.get(), &DestinationDetailModel::pendingRetentionRemovalsChanged);
    model->previewRetention();
    QVERIFY(model->applyingRetention());
    QVERIFY(model->isBusy() && model->actions().isBusy);
    QVERIFY(Fixture::waitFor([&] { return !model->applyingRetention(); }));
    QCOMPARE(busy.size(), 2);
    QVERIFY(f.arguments().contains(QStringLiteral("--dry-run")));
    QCOMPARE(model->retentionMessage().value_or(QString()), message);
    QCOMPARE(model->pendingRetentionRemovals().value_or(0), pending);
    QCOMPARE(confirmation.size(), pending ? 1 : 0);
    if (pending) {
        QCOMPARE(model->retentionDialogTitle(), title);
        model->clearPendingRetention();
        QVERIFY(!model->pendingRetentionRemovals());
        QVERIFY(!model->retentionMessage());
    }
}

void DestinationDetailModelTest::applyRetentionNow_data()
{
    QTest::addColumn<int>("counted"); // by the confirmation
    QTest::addColumn<QByteArray>("stdout"); // restic's count when it is answered
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("reloaded");
    QTest::addColumn<bool>("anew"); // the pane is left and made anew while retention works
    QTest::newRow("two") << 2 << Fixture::forgetJson(2) << 0 << QStringLiteral("Removed 2 snapshot(s).") << true
                         << false;
    // Snapshots that land while the confirmation is open wait for the next count.
    QTest::newRow("two, four by then") << 2 << Fixture::forgetJson(4) << 0 << QStringLiteral("Removed 2 snapshot(s).")
                                       << true << false;
    QTest::newRow("one") << 1 << Fixture::forgetJson(1) << 0 << QStringLiteral("Removed 1 snapshot(s).") << true
                         << false;
    QTest::newRow("none") << 0 << Fixture::forgetJson(0) << 0 << QStringLiteral("Nothing to remove.") << true << false;
    QTest::newRow("failed") << 2 << QByteArray() << 1 << QStringLiteral("Fatal: repository is locked") << false
                            << false;
    QTest::newRow("two, pane made anew") << 2 << Fixture::forgetJson(2) << 0 << QStringLiteral("Removed 2 snapshot(s).")
                                         << true << true;
    QTest::newRow("failed, pane made anew")
        << 2 << QByteArray() << 1 << QStringLiteral("Fatal: repository is locked") << false << true;
}

void DestinationDetailModelTest::applyRetentionNow()
{
    QFETCH(int, counted);
    QFETCH(QByteArray, stdout);
    QFETCH(int, exit);
    QFETCH(QString, message);
    QFETCH(bool, reloaded);
    QFETCH(bool, anew);
    Fixture f;
    auto model = f.model();
    f.script(QStringLiteral("forget.stdout"), Fixture::forgetJson(counted));
    model->previewRetention();
    QVERIFY(Fixture::waitFor([&] { return !model->applyingRetention(); }));
    f.script(QStringLiteral("forget.stdout"), stdout);
    f.script(QStringLiteral("forget.stderr"), exit ? QByteArray("Fatal: repository is locked\n") : QByteArray());
    f.script(QStringLiteral("forget.exit"), QByteArray::number(exit));
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(2));
    if (anew)
        f.script(QStringLiteral("forget.sleep"), "1");
    model->applyRetentionNow();
    if (anew) {
        model = f.model();
        QVERIFY(model->applyingRetention() && model->isBusy());
    }
    bool loadedWhileApplying = false;
    connect(model.get(), &DestinationDetailModel::changed, this, [&] {
        if (model->loadingSnapshots() && model->applyingRetention())
            loadedWhileApplying = true;
    });
    QVERIFY(Fixture::waitFor([&] { return !model->applyingRetention(); }));
    QCOMPARE(model->retentionMessage().value_or(QString()), message);
    // A failure here is the recount's: nothing is forgotten without it.
    QCOMPARE(f.arguments().contains(QStringLiteral("--dry-run")), !reloaded);
    // Retention stays busy until its reload has listed what is left.
    QCOMPARE(loadedWhileApplying, reloaded);
    QCOMPARE(model->snapshots().size(), reloaded ? 2 : 0);
    QVERIFY(!model->loadingSnapshots());
}

void DestinationDetailModelTest::quittingEndsAppliedRetention()
{
    Fixture f;
    auto model = f.model();
    f.script(QStringLiteral("forget.stdout"), Fixture::forgetJson(2));
    model->previewRetention();
    QVERIFY(Fixture::waitFor([&] { return !model->applyingRetention(); }));
    f.script(QStringLiteral("forget.sleep"), "60");
    model->applyRetentionNow();
    QVERIFY(Fixture::waitFor([&] { return QFile::exists(f.fake.filePath(QStringLiteral("sleep.pid"))); }));
    QElapsedTimer quitting;
    quitting.start();
    Workers::beyondViews().stopAndWait();
    QVERIFY2(quitting.elapsed() < 10000, qPrintable(QString::number(quitting.elapsed())));
}

void DestinationDetailModelTest::retentionTexts()
{
    Fixture f;
    f.destination.retention = { 0, 0, 0, 0 };
    auto model = f.model();
    QCOMPARE(model->retentionDialogTitle(), QStringLiteral("Remove 0 Snapshots"));
    QCOMPARE(model->removalDialogTitle(), QStringLiteral("Remove \"Studio NAS\"?"));
    QCOMPARE(model->retentionDialogMessage(),
        QStringLiteral(
            "Snapshots from this computer outside the policy (keep 0 daily, 0 weekly, 0 monthly, 0 yearly) are "
            "deleted from the repository, and the data only they used is pruned. This can't be undone."));
    // A policy that keeps nothing is refused before restic runs.
    model->previewRetention();
    QVERIFY(Fixture::waitFor([&] { return !model->applyingRetention(); }));
    QCOMPARE(model->retentionMessage().value_or(QString()),
        QStringLiteral("Choose at least one retained snapshot before applying retention."));
    QVERIFY(!f.resticRan());
}

void DestinationDetailModelTest::removalWithUndo()
{
    Fixture f;
    for (int round = 0; round < 2; ++round) {
        auto model = f.model();
        model->removeDestination();
        QVERIFY(!f.store->destination(f.destination.id));
        QVERIFY(!f.credentials.secret(CredentialRole::repoPassword, f.destination.credentialID));
        QCOMPARE(f.deletions, round + 1);
        QCOMPARE(f.reconciled, 2 * round + 1);
        QVERIFY(f.undo.canUndo());
        QCOMPARE(f.undo.undoText(), QStringLiteral("Remove Destination"));
        f.undo.undo();
        QVERIFY(f.store->destination(f.destination.id));
        QCOMPARE(f.credentials.secret(CredentialRole::repoPassword, f.destination.credentialID).value_or(QString()),
            QStringLiteral("pw"));
        QCOMPARE(f.reconciled, 2 * round + 2);
        QVERIFY(!f.undo.canRedo());
        QVERIFY(!f.undo.canUndo());
    }
    QVERIFY(f.alerts.isEmpty());
}

void DestinationDetailModelTest::removalWithoutUndo()
{
    Fixture f;
    DestinationDetailModel::Services services = f.services();
    services.undoStack = nullptr;
    DestinationDetailModel model(f.destination, std::move(services), {}, [&] { ++f.deletions; });
    model.removeDestination();
    QVERIFY(!f.store->destination(f.destination.id));
    QCOMPARE(f.deletions, 1);
    QCOMPARE(f.undo.count(), 0);
}

void DestinationDetailModelTest::failedRemovalChangesNothing()
{
    Fixture f;
    auto model = f.model();
    // Changed behind the application's back: the store refuses to write.
    test::writeFile(f.store->filePath(), "[]");
    model->removeDestination();
    QVERIFY(model->operationError().has_value());
    QCOMPARE(f.deletions, 0);
    QCOMPARE(f.reconciled, 0);
    QCOMPARE(f.undo.count(), 0);
    QVERIFY(f.credentials.secret(CredentialRole::repoPassword, f.destination.credentialID));
}

void DestinationDetailModelTest::failedUndoAlerts()
{
    Fixture f;
    auto model = f.model();
    model->removeDestination();
    const QByteArray written = test::readFile(f.store->filePath());
    test::writeFile(f.store->filePath(), "[{");
    f.undo.undo();
    QVERIFY(Fixture::waitFor([&] { return f.alerts.size() == 1; }));
    QCOMPARE(f.reconciled, 1);
    // The undo is offered again, with what it needs to put the destination back.
    QVERIFY(f.undo.canUndo());
    QVERIFY(!f.undo.canRedo());
    test::writeFile(f.store->filePath(), written);
    f.undo.undo();
    QVERIFY(f.store->destination(f.destination.id));
    QVERIFY(f.credentials.secret(CredentialRole::repoPassword, f.destination.credentialID));
    QCOMPARE(f.reconciled, 2);
    QVERIFY(!f.undo.canUndo());
}

void DestinationDetailModelTest::history()
{
    Fixture f;
    auto model = f.model();
    model->poll();
    QVERIFY(model->records().isEmpty());
    QCOMPARE(model->lastCompleteBackupText(), QStringLiteral("Not yet backed up"));

    const Date base = Date::fromUnix(1767366245);
    BackupRecord legacy(f.destination.id, base.addingSeconds(-7200));
    legacy.outcome = BackupRecord::Outcome::complete;
    legacy.finishedAt = base.addingSeconds(-7000);
    f.writeRecord(legacy);
    model->poll();
    QTRY_COMPARE(model->records().size(), 1);
    QVERIFY(model->usedOtherSettings(model->records().first()));
    QCOMPARE(model->lastCompleteBackupText(),
        QStringLiteral("None with the current folders and exclusions (the last with earlier settings finished ")
            + Format::dateTime(*legacy.finishedAt) + u')');

    BackupRecord older = legacy;
    older.id = newUuid();
    older.scope = f.destination.backupScope();
    older.startedAt = base.addingSeconds(-3600);
    older.finishedAt = base.addingSeconds(-3500);
    f.writeRecord(older);
    model->poll();
    QTRY_COMPARE(model->lastCompleteBackupText(QLocale::c()), Format::dateTime(*older.finishedAt, QLocale::c()));
    QVERIFY(!model->usedOtherSettings(older));

    // The newest complete run of these settings decides, even without a finish time.
    BackupRecord unfinished = older;
    unfinished.id = newUuid();
    unfinished.startedAt = base;
    unfinished.finishedAt.reset();
    f.writeRecord(unfinished);
    model->poll();
    QTRY_COMPARE(model->records().size(), 3);
    QCOMPARE(model->lastCompleteBackupText(), QStringLiteral("Not yet backed up"));

    // An incomplete run saved a snapshot: a backup exists, if not a whole one, and its snapshot says so.
    BackupRecord partial = older;
    partial.id = newUuid();
    partial.outcome = BackupRecord::Outcome::incomplete;
    partial.startedAt = base.addingSeconds(60);
    partial.finishedAt = base.addingSeconds(120);
    partial.snapshotID = QStringLiteral("ab").repeated(32);
    f.writeRecord(partial);
    model->poll();
    QTRY_COMPARE(model->lastCompleteBackupText(QLocale::c()),
        QStringLiteral("None complete yet; the latest, incomplete, ")
            + Format::dateTime(*partial.finishedAt, QLocale::c()));
    QVERIFY(model->snapshotIncomplete(*partial.snapshotID));
    QVERIFY(!model->snapshotIncomplete(QStringLiteral("cd").repeated(32)));

    BackupRecord running(f.destination.id, base);
    QCOMPARE(DestinationDetailModel::resultNote(running),
        QStringLiteral(
            "This run has not recorded a result. It may be active or interrupted; do not treat it as complete."));
    QCOMPARE(DestinationDetailModel::resultNote(older),
        QStringLiteral("Result recorded for the selected sources and exclusions."));
    const QString title = DestinationDetailModel::historyTitle(older, QLocale::c());
    QVERIFY(title.startsWith(QStringLiteral("Started ")) && title.endsWith(QStringLiteral(" \u00b7 complete")));
    QCOMPARE(DestinationDetailModel::protectedTitle(1),
        QStringLiteral("1 protected item skipped (Full Disk Access not in use)"));
    QCOMPARE(DestinationDetailModel::protectedTitle(4),
        QStringLiteral("4 protected items skipped (Full Disk Access not in use)"));
}

void DestinationDetailModelTest::failedHistoryReadKeepsTheList()
{
    Fixture f;
    BackupRecord record(f.destination.id, Date::fromUnix(1767366245));
    f.writeRecord(record);
    auto model = f.model();
    model->poll();
    QTRY_COMPARE(model->records().size(), 1);
    QDir(f.historyDirectory()).removeRecursively();
    test::writeFile(f.historyDirectory(), "not a folder");
    model->poll();
    QTRY_VERIFY(model->operationError().has_value());
    QCOMPARE(model->records().size(), 1);
    QFile::remove(f.historyDirectory());
    model->poll();
    QTRY_VERIFY(model->records().isEmpty());
    QVERIFY(model->operationError().has_value());
}

void DestinationDetailModelTest::listIsReadAgain_data()
{
    // A record of another process, by its outcome and the times it ended and pruned, relative
    // to the list's read ("+" after it, "-" before it, "ahead" dated after the clock), or what a
    // browse or a restore failed with.
    QTest::addColumn<QString>("event");
    QTest::addColumn<bool>("reloads");
    QTest::newRow("a backup ended since") << "complete +" << true;
    QTest::newRow("an incomplete backup ended since") << "incomplete +" << true;
    QTest::newRow("its retention ended since") << "complete - +" << true;
    QTest::newRow("a failed run ended since") << "failed +" << false;
    QTest::newRow("a backup ended before") << "complete - -" << false;
    QTest::newRow("a backup dated ahead") << "complete ahead" << false;
    QTest::newRow("a browse finds a snapshot gone")
        << "gone Fatal: failed to find snapshot: no matching ID found for prefix \"d63340c0\"" << true;
    QTest::newRow("a restore finds a snapshot gone")
        << "gone failed to load snapshot 11111111: open /r/snapshots/1111: no such file or directory" << true;
    QTest::newRow("a restore fails otherwise") << "gone Fatal: wrong password or no key found" << false;
    QTest::newRow("another process let go") << "busy" << true;
}

void DestinationDetailModelTest::listIsReadAgain()
{
    QFETCH(QString, event);
    QFETCH(bool, reloads);
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(2));
    auto model = f.model();
    const Date before = Date::now().addingSeconds(-1);
    test::LockHolder other;
    QDir().mkpath(f.home.path() + QStringLiteral("/locks"));
    if (event == u"busy")
        QVERIFY(other.hold(
            FileLock::repositoryLockPath(f.destination.repository, f.home.path() + QStringLiteral("/locks"))));
    model->start();
    QVERIFY(Fixture::waitFor([&] { return !model->loadingSnapshots(); }));
    QCOMPARE(model->snapshots().size(), event == u"busy" ? 0 : 2);
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(1));

    const QStringList words = event.split(u' ');
    if (words.first() == u"busy") {
        QCOMPARE(model->snapshotError().value_or(QString()), FileLock::busyMessage());
        model->poll(); // still held: nothing to read yet
        QVERIFY(Fixture::waitFor([&] { return !model->readingHistory(); }));
        QVERIFY(!model->loadingSnapshots());
        other.release();
        model->poll();
    } else if (words.first() == u"gone") {
        model->snapshotMayBeGone(event.mid(5));
    } else {
        const auto at = [&](const QString &word) {
            return word == u"ahead" ? Date::now().addingSeconds(3600) : word == u"+" ? Date::now() : before;
        };
        BackupRecord record(f.destination.id, before.addingSeconds(-60));
        record.outcome = *outcomeFromString(words.at(0));
        record.finishedAt = at(words.at(1));
        if (words.size() > 2)
            record.prunedAt = at(words.at(2));
        record.scope = f.destination.backupScope();
        f.writeRecord(record);
        model->poll();
    }
    QVERIFY(Fixture::waitFor([&] { return !model->readingHistory() && !model->loadingSnapshots(); }));
    QCOMPARE(model->snapshots().size(), reloads ? 1 : 2);
}

void DestinationDetailModelTest::finishedBackupReloadsSnapshots_data()
{
    QTest::addColumn<int>("exit");
    QTest::addColumn<bool>("reloads");
    QTest::newRow("finished") << 0 << true;
    QTest::newRow("failed") << 1 << false;
}

void DestinationDetailModelTest::finishedBackupReloadsSnapshots()
{
    QFETCH(int, exit);
    QFETCH(bool, reloads);
    Fixture f;
    QDir().mkpath(f.destination.sources.first());
    f.script(QStringLiteral("backup.stdout"), test::readData(QStringLiteral("restic/backup1-json-v.jsonl")));
    f.script(QStringLiteral("backup.exit"), QByteArray::number(exit));
    f.script(QStringLiteral("backup.stderr"), exit ? QByteArray("Fatal: unable to open repository\n") : QByteArray());
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(1));
    auto model = f.model();
    int loads = 0;
    bool wasLoading = false;
    connect(model.get(), &DestinationDetailModel::changed, this, [&] {
        if (model->loadingSnapshots() && !wasLoading)
            ++loads;
        wasLoading = model->loadingSnapshots();
    });
    QSignalSpy ended(&model->runner(), &BackupRunner::runEnded);
    model->backUpNow();
    QVERIFY(model->isBusy());
    QVERIFY(ended.wait(10000));
    QVERIFY(Fixture::waitFor([&] { return !model->loadingSnapshots(); }));
    QTest::qWait(50);
    QCOMPARE(loads, reloads ? 1 : 0);
    QCOMPARE(model->snapshots().size(), reloads ? 1 : 0);
}

void DestinationDetailModelTest::publishedActions()
{
    Fixture f;
    f.fileAccessGranted = false;
    auto model = f.model();
    f.fileAccessGranted = true;
    QVERIFY(!model->fullDiskAccessGranted()); // found once, when the pane's state was made
    f.fileAccessWanted = true;
    QVERIFY(model->fullDiskAccessWanted()); // read on every use

    DestinationActions actions = model->actions();
    QCOMPARE(actions.name, QStringLiteral("Studio NAS"));
    QVERIFY(actions.canBackUp && !actions.isBusy);
    actions.edit();
    QCOMPARE(f.edits, 1);
    actions.remove();
    QVERIFY(model->confirmingDelete());
    QVERIFY(f.store->destination(f.destination.id)); // only asks
    actions.refreshSnapshots();
    QVERIFY(model->loadingSnapshots());
    QVERIFY(Fixture::waitFor([&] { return !model->loadingSnapshots(); }));
    actions.testConnection();
    QVERIFY(model->testing());
    QVERIFY(Fixture::waitFor([&] { return !model->testing(); }));
    actions.applyRetention();
    QVERIFY(model->applyingRetention());
    QVERIFY(Fixture::waitFor([&] { return !model->applyingRetention(); }));

    f.destination.sources.clear();
    auto empty = f.model();
    QVERIFY(!empty->actions().canBackUp);
    empty->actions().backUpNow();
    QVERIFY(!empty->isBusy());
}

QTEST_GUILESS_MAIN(DestinationDetailModelTest)
#include "DestinationDetailModelTest.moc"

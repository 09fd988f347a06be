#include "shell/MainWindowModel.h"
#include "FakePlatform.h"
#include "LockHolder.h"
#include "ShellFixture.h"
#include "config/UserDefaults.h"
#include "operations/NotificationPermission.h"

#include <QSignalSpy>
#include <QtTest>

using namespace vellmir;

class MainWindowModelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void selectionFollowsTheStore();
    void bannerFollowsTheSeal_data();
    void bannerFollowsTheSeal();
    void reloadsWhenAnotherProcessWrites();
    void lockedKeyringListsNothing();
    void enableNotifications_data();
    void enableNotifications();
};

void MainWindowModelTest::selectionFollowsTheStore()
{
    test::ShellFixture f;
    const QList<Destination> pair = f.sealedPair();
    auto store = f.makeStore();
    MainWindowModel model(*store);
    QSignalSpy selection(&model, &MainWindowModel::selectionChanged);

    QVERIFY(!model.selection());
    model.select(pair.at(1).id);
    QCOMPARE(model.selection(), std::optional<QUuid>(pair.at(1).id));
    QCOMPARE(model.selectedDestination()->name, QStringLiteral("Offsite"));
    model.select(pair.at(1).id);
    QCOMPARE(selection.count(), 1);

    // An id the store does not list is the overview.
    model.select(QUuid::createUuid());
    QVERIFY(!model.selection());
    QCOMPARE(selection.count(), 2);

    // The selected destination removed: back to the overview.
    model.select(pair.at(0).id);
    store->remove(pair.at(0), f.credentials);
    QVERIFY(!model.selection());
    QCOMPARE(model.destinations().size(), 1);
    QCOMPARE(selection.count(), 4);
}

void MainWindowModelTest::bannerFollowsTheSeal_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("reviewable");
    QTest::newRow("sealed") << "sealed" << QString() << false;
    QTest::newRow("changed outside") << "changed" << MainWindowModel::changedOutsideTitle() << true;
    QTest::newRow("another computer") << "moved" << MainWindowModel::fromAnotherComputerTitle() << true;
    QTest::newRow("keyring locked") << "locked" << MainWindowModel::unavailableTitle() << false;
}

void MainWindowModelTest::bannerFollowsTheSeal()
{
    QFETCH(QString, situation);
    QFETCH(QString, title);
    QFETCH(bool, reviewable);
    test::ShellFixture f;
    const QList<Destination> pair = f.sealedPair();
    auto otherKeys = std::make_shared<test::MemorySealKeyStore>();
    auto store = f.makeStore(situation == QLatin1String("moved") ? otherKeys : f.keys);
    MainWindowModel model(*store);
    QSignalSpy banner(&model, &MainWindowModel::bannerChanged);
    if (situation == QLatin1String("changed"))
        f.changeOutside(pair);
    if (situation == QLatin1String("locked"))
        f.keys->failReads = true;
    model.reload();

    if (title.isEmpty()) {
        QVERIFY(!model.banner());
        return;
    }
    QVERIFY(model.banner());
    QCOMPARE(model.banner()->title, title);
    QCOMPARE(model.banner()->reviewable, reviewable);
    QVERIFY(!model.banner()->text.isEmpty());
    if (situation != QLatin1String("moved"))
        QCOMPARE(banner.count(), 1);
    // Until the change is settled the window lists what the store still trusts.
    if (situation == QLatin1String("changed"))
        QCOMPARE(model.destinations(), pair);
}

void MainWindowModelTest::reloadsWhenAnotherProcessWrites()
{
    test::ShellFixture f;
    const QList<Destination> pair = f.sealedPair();
    auto store = f.makeStore();
    MainWindowModel model(*store);
    model.watch(f.folder);
    QSignalSpy listed(&model, &MainWindowModel::destinationsChanged);

    // Another process's store: a write through it is sealed, so it is trusted here as well.
    auto other = f.makeStore();
    Destination third = test::SealFixture::destination(
        QStringLiteral("Third"), Destination::Kind::local, QStringLiteral("/srv/third"));
    f.storeSecrets(third);
    other->upsert(third);
    QTRY_COMPARE(model.destinations().size(), 3);
    QVERIFY(!model.banner());
    QVERIFY(listed.count() >= 1);

    // A write in place, not by a rename, is noticed too.
    const QByteArray sealed = test::readFile(f.destinationsPath);
    {
        QList<Destination> list = f.readDestinations();
        list.append(test::SealFixture::destination(
            QStringLiteral("Intruder"), Destination::Kind::sftp, QStringLiteral("sftp:evil:/x")));
        QFile file(f.destinationsPath);
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Truncate));
        file.write(json::pretty(Destination::listToJson(list)));
    }
    QTRY_VERIFY(model.banner());
    QCOMPARE(model.banner()->title, MainWindowModel::changedOutsideTitle());

    // Other files share the folder (the history index, the audit log): their changes read nothing.
    QTRY_VERIFY(!model.isReloading());
    QSignalSpy reads(&model, &MainWindowModel::readFinished);
    writeFileAtomically(f.folder + QStringLiteral("/history.index"), "index");
    QTest::qWait(3 * MainWindowModel::reloadDelay.count());
    QCOMPARE(reads.count(), 0);

    // A read held up (here by another process's lock) leaves this thread free; what it finds
    // is published when it ends.
    test::LockHolder holder;
    QVERIFY(holder.hold(store->lockPath()));
    writeFileAtomically(f.destinationsPath, sealed);
    QTRY_VERIFY(model.isReloading());
    QVERIFY(model.banner());
    holder.release();
    QTRY_VERIFY(!model.banner());
    QCOMPARE(model.destinations().size(), 3);

    // A folder that does not exist yet is created so it can be watched from the first launch.
    test::TestHome fresh;
    const QString folder = fresh.dataDirectory();
    model.watch(folder);
    QVERIFY(QFileInfo(folder).isDir());
}

void MainWindowModelTest::lockedKeyringListsNothing()
{
    test::ShellFixture f;
    f.sealedPair();
    auto store = f.makeStore();
    MainWindowModel model(*store);
    QVERIFY(!model.loadError());
    f.keys->failReads = true;
    model.reload(); // must not throw out of the watcher's slot
    QVERIFY(store->errorMessage());
    // The banner carries the reason; the same sentence is not repeated as a load error.
    QVERIFY(model.banner());
    QVERIFY(model.banner()->text.endsWith(QStringLiteral("The keyring is locked.")));
    QVERIFY(!model.loadError());
    QVERIFY(model.destinations().isEmpty());

    f.keys->failReads = false;
    model.reload();
    QVERIFY(!model.banner());
    QVERIFY(!model.loadError());
    QCOMPARE(model.destinations().size(), 2);
}

void MainWindowModelTest::enableNotifications_data()
{
    QTest::addColumn<bool>("serverAnswers");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("authorized");
    QTest::newRow("server") << true << MainWindowModel::notificationsEnabledMessage() << true;
    QTest::newRow("no server") << false << NotificationPermission::noServerMessage() << false;
}

void MainWindowModelTest::enableNotifications()
{
    QFETCH(bool, serverAnswers);
    QFETCH(QString, message);
    QFETCH(bool, authorized);
    test::TestHome home;
    test::FakeNotifier notifier;
    notifier.available = serverAnswers;
    UserDefaults defaults(home.path() + QStringLiteral("/Vellmir.conf"));
    QCOMPARE(MainWindowModel::enableNotifications(notifier, defaults), message);
    QCOMPARE(NotificationPermission::isAuthorized(defaults), authorized);
    // Asking never shows a notification of its own.
    QVERIFY(notifier.calls.isEmpty());
}

QTEST_GUILESS_MAIN(MainWindowModelTest)
#include "MainWindowModelTest.moc"

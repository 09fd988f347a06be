#include "config/DestinationStore.h"
#include "DestinationStoreHelper.h"
#include "FileSealKeyStore.h"
#include "FileSecretStorage.h"
#include "SealFixture.h"
#include "config/DestinationWriter.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <csignal>

using namespace vellmir;
using test::SealFixture;

namespace {

using Removed = DestinationStore::Removed;

template <typename F> QString errorOf(F &&operation)
{
    try {
        operation();
    } catch (const Error &error) {
        return error.message();
    }
    return QStringLiteral("(no error)");
}

std::unique_ptr<DestinationStore> makeStore(const SealFixture &f)
{
    return std::make_unique<DestinationStore>(f.destinationsPath, f.credentials, f.keys, f.userDefaultsPath);
}

Destination local(const QString &name)
{
    return SealFixture::destination(name, Destination::Kind::local, QStringLiteral("/srv/") + name);
}

Destination b2(const QString &name)
{
    return SealFixture::destination(name, Destination::Kind::backblazeB2, QStringLiteral("b2:bucket:") + name);
}

// Fails to delete one role's items, as a keyring might halfway through a removal.
class PartlyFailingStorage : public SecretStorage {
public:
    PartlyFailingStorage(std::shared_ptr<SecretStorage> inner, CredentialRole failing)
        : m_inner(std::move(inner))
        , m_suffix(u'.' + CredentialRoles::toString(failing))
    {
    }
    std::optional<QString> password(const QString &service, const QString &account) const override
    {
        return m_inner->password(service, account);
    }
    QMap<QString, QString> passwords(const QString &service, const QStringList &accounts) const override
    {
        return m_inner->passwords(service, accounts);
    }
    void set(const QString &secret, const QString &service, const QString &account) override
    {
        m_inner->set(secret, service, account);
    }
    void remove(const QString &service, const QString &account) override
    {
        if (account.endsWith(m_suffix))
            throw Error(QStringLiteral("Keyring error: The item could not be deleted."));
        m_inner->remove(service, account);
    }

private:
    std::shared_ptr<SecretStorage> m_inner;
    QString m_suffix;
};

QByteArray waitForLine(QProcess &process)
{
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(10000))
            return process.readAllStandardError();
    }
    return process.readLine().trimmed();
}

QString helperPath()
{
    return QStringLiteral(STORE_HELPER);
}

// The newest save number in a list the save loop wrote, after checking that the list is
// whole: slot i at position i, holding one of the last three saves. The last slot may be
// missing while the loop removes and restores it.
qint64 checkSaveSequence(const QList<Destination> &list)
{
    qint64 newest = -1;
    for (const Destination &destination : list)
        newest = std::max(newest, test::saveNumber(destination));
    const qint64 whole = std::min<qint64>(test::saveSlots, newest + 1);
    const bool lastSlotOut = list.size() == test::saveSlots - 1 && newest % test::saveSlots == test::saveSlots - 2;
    if (list.size() != whole && !lastSlotOut)
        throw std::runtime_error("the list has the wrong length");
    for (qsizetype i = 0; i < list.size(); ++i) {
        const qint64 k = test::saveNumber(list.at(i));
        if (k < newest - test::saveSlots + 1 || k % test::saveSlots != i
            || list.at(i).id != test::slotDestination(k).id)
            throw std::runtime_error("a slot holds the wrong save");
    }
    return newest;
}

} // namespace

class DestinationStoreTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void noFileGivesEmptyListAndFirstSeal()
    {
        SealFixture f;
        const auto store = makeStore(f);
        QVERIFY(store->destinations().isEmpty());
        QVERIFY(!store->errorMessage());
        QVERIFY(store->integrity() == ConfigIntegrity::valid());
        QVERIFY(QFileInfo::exists(f.sealPath()));
        QVERIFY(!QFileInfo::exists(f.destinationsPath));
        QCOMPARE(store->lockPath(), f.destinationsPath + QStringLiteral(".lock"));
    }

    void upsertAppendsNewAndKeepsPositionOfKnown()
    {
        SealFixture f;
        const auto store = makeStore(f);
        const Destination a = local("a"), b = b2("b"), c = local("c");
        for (const Destination &d : { a, b, c }) {
            f.storeSecrets(d);
            store->upsert(d);
        }
        QSignalSpy listSpy(store.get(), &DestinationStore::destinationsChanged);
        QSignalSpy integritySpy(store.get(), &DestinationStore::integrityChanged);
        QSignalSpy errorSpy(store.get(), &DestinationStore::errorMessageChanged);

        Destination renamed = b;
        renamed.name = QStringLiteral("Renamed");
        store->upsert(renamed);
        QCOMPARE(store->destinations(), (QList<Destination> { a, renamed, c }));
        QCOMPARE(store->destination(b.id), std::optional<Destination>(renamed));
        QVERIFY(!store->destination(newUuid()));
        QCOMPARE(listSpy.count(), 1);
        QCOMPARE(integritySpy.count(), 0);
        QCOMPARE(errorSpy.count(), 0);

        // The file holds exactly the bytes the seal covers, and other processes read the same.
        QCOMPARE(test::readFile(f.destinationsPath), Destination::encodeFile(store->destinations()));
        QVERIFY(f.seal.verify() == ConfigIntegrity::valid());
        QCOMPARE(makeStore(f)->destinations(), store->destinations());

        // Saving the same again changes nothing anyone can observe.
        store->upsert(renamed);
        QCOMPARE(listSpy.count(), 1);
    }

    void observersMayCallBackIntoTheStore()
    {
        // Observers run after the lock is released; a reload from a slot must not wait on it.
        SealFixture f;
        const auto store = makeStore(f);
        int reloads = 0;
        connect(store.get(), &DestinationStore::destinationsChanged, store.get(), [&] {
            store->reload();
            ++reloads;
        });
        const Destination a = local("a");
        f.storeSecrets(a);
        store->upsert(a);
        QCOMPARE(reloads, 1);
        QCOMPARE(store->destinations(), QList<Destination> { a });
    }

    void duplicateIdsUpsertFirstAndRemoveAll()
    {
        SealFixture f;
        const auto store = makeStore(f);
        const Destination a = local("a"), b = local("b");
        Destination twin = a;
        twin.name = QStringLiteral("Twin");
        f.storeSecrets(a);
        f.storeSecrets(b);
        // A file like this can only come from outside; the user kept it in the review.
        f.writeDestinations({ a, twin, b });
        f.seal.seal();
        store->reload();
        QCOMPARE(store->destinations().size(), 3);

        Destination updated = a;
        updated.name = QStringLiteral("Updated");
        store->upsert(updated);
        QCOMPARE(f.readDestinations(), (QList<Destination> { updated, twin, b }));

        store->remove(a, f.credentials);
        QCOMPARE(f.readDestinations(), QList<Destination> { b });
        QCOMPARE(store->destinations(), QList<Destination> { b });
    }

    void staleExpectedCopyIsRefused_data()
    {
        QTest::addColumn<bool>("changeElsewhere");
        QTest::addColumn<bool>("deleteElsewhere");
        QTest::addColumn<bool>("passExpected");
        QTest::addColumn<bool>("refused");
        QTest::newRow("changed in another window") << true << false << true << true;
        QTest::newRow("deleted in another window") << false << true << true << true;
        QTest::newRow("unchanged") << false << false << true << false;
        QTest::newRow("no expected copy skips the check") << true << false << false << false;
    }

    void staleExpectedCopyIsRefused()
    {
        QFETCH(bool, changeElsewhere);
        QFETCH(bool, deleteElsewhere);
        QFETCH(bool, passExpected);
        QFETCH(bool, refused);
        SealFixture f;
        const auto store = makeStore(f);
        const Destination loaded = local("a");
        f.storeSecrets(loaded);
        store->upsert(loaded);

        const auto otherWindow = makeStore(f);
        if (changeElsewhere) {
            Destination theirs = loaded;
            theirs.name = QStringLiteral("Theirs");
            otherWindow->upsert(theirs, loaded);
        }
        if (deleteElsewhere)
            otherWindow->remove(loaded, f.credentials);

        Destination mine = loaded;
        mine.name = QStringLiteral("Mine");
        const std::optional<Destination> expected = passExpected ? std::optional(loaded) : std::nullopt;
        const auto before = f.snapshotFiles();
        if (refused) {
            QCOMPARE(errorOf([&] { store->upsert(mine, expected); }), DestinationStore::conflictMessage());
            QCOMPARE(f.snapshotFiles(), before);
        } else {
            store->upsert(mine, expected);
            QCOMPARE(f.readDestinations(), QList<Destination> { mine });
        }
    }

    void removeThenRestoreBringsBackIdCredentialsAndSecrets()
    {
        SealFixture f;
        const auto store = makeStore(f);
        const Destination offsite = b2("offsite"), pictures = local("pictures");
        f.storeSecrets(offsite);
        f.storeSecrets(pictures);
        store->upsert(offsite);
        store->upsert(pictures);
        const QMap<QString, QString> environment = f.credentials.resticEnvironment(offsite);

        const Removed removed = store->remove(offsite, f.credentials);
        QCOMPARE(removed.destination, offsite);
        QCOMPARE(removed.secrets.keys(), credentialRoles(offsite.kind));
        QCOMPARE(removed.secrets.value(CredentialRole::b2AccountKey), QStringLiteral("b2AccountKey-of-offsite"));
        QVERIFY(!removed.warning);
        QCOMPARE(store->destinations(), QList<Destination> { pictures });
        QCOMPARE(f.secrets->count(), 1); // only the pictures password is left
        QVERIFY(f.seal.verify() == ConfigIntegrity::valid());

        // A destination that took the name meanwhile keeps it alone: the undo says why it is refused.
        Destination taker = local(QStringLiteral("taker"));
        taker.name = offsite.name.toUpper();
        store->upsert(taker);
        QCOMPARE(errorOf([&] { store->restore(removed, f.credentials); }),
            QStringLiteral("“offsite” cannot be put back, because a destination named “OFFSITE” now exists."));
        QCOMPARE(store->destinations(), (QList<Destination> { pictures, taker }));
        store->remove(taker, f.credentials);

        // It goes back where it stood, not to the end.
        store->restore(removed, f.credentials);
        QCOMPARE(store->destinations(), (QList<Destination> { offsite, pictures }));
        QCOMPARE(f.credentials.resticEnvironment(offsite), environment);
        QVERIFY(f.seal.verify() == ConfigIntegrity::valid());
    }

    void keyringRemovalFailureStillReturnsRemoved()
    {
        SealFixture f;
        const auto store = makeStore(f);
        const Destination offsite = b2("offsite");
        f.storeSecrets(offsite);
        store->upsert(offsite);
        const QMap<QString, QString> environment = f.credentials.resticEnvironment(offsite);

        const CredentialsStore flaky(std::make_shared<PartlyFailingStorage>(f.secrets, CredentialRole::b2AccountID));
        const Removed removed = store->remove(offsite, flaky);
        QCOMPARE(removed.warning,
            std::optional<QString>(
                QStringLiteral("The destination was removed, but some of its keyring items could not be deleted: "
                               "Keyring error: The item could not be deleted.")));
        QCOMPARE(removed.secrets.size(), 3);
        QVERIFY(store->destinations().isEmpty());
        QVERIFY(f.readDestinations().isEmpty());
        // Deletion went on past the failure: the password is gone, the failing item stays.
        QVERIFY(!f.credentials.secret(CredentialRole::repoPassword, offsite.credentialID));
        QVERIFY(f.credentials.secret(CredentialRole::b2AccountID, offsite.credentialID));
        QVERIFY(!f.credentials.secret(CredentialRole::b2AccountKey, offsite.credentialID));

        store->restore(removed, f.credentials);
        QCOMPARE(store->destinations(), QList<Destination> { offsite });
        QCOMPARE(f.credentials.resticEnvironment(offsite), environment);
        QVERIFY(f.seal.verify() == ConfigIntegrity::valid());
    }

    void removeChangesNothingWhenSecretsCannotBeRead()
    {
        SealFixture f;
        const auto store = makeStore(f);
        const Destination a = local("a");
        f.storeSecrets(a);
        store->upsert(a);
        const auto before = f.snapshotFiles();
        f.secrets->failReads = true;
        QCOMPARE(
            errorOf([&] { store->remove(a, f.credentials); }), QStringLiteral("Keyring error: The keyring is locked."));
        f.secrets->failReads = false;
        QCOMPARE(f.snapshotFiles(), before);
        QCOMPARE(store->destinations(), QList<Destination> { a });
        QCOMPARE(f.secrets->count(), 1);
    }

    void removeKeepsSecretsAnotherDestinationUses()
    {
        SealFixture f;
        const auto store = makeStore(f);
        const Destination a = local("a");
        Destination sharing = local("sharing");
        sharing.credentialID = a.credentialID;
        f.storeSecrets(a);
        store->upsert(a);
        store->upsert(sharing);
        const Removed removed = store->remove(a, f.credentials);
        QVERIFY(!removed.warning);
        QCOMPARE(store->destinations(), QList<Destination> { sharing });
        QCOMPARE(
            f.credentials.secret(CredentialRole::repoPassword, a.credentialID), QStringLiteral("repoPassword-of-a"));
    }

    void outsideEditRefusesEveryWrite_data()
    {
        QTest::addColumn<QString>("operation");
        for (const char *operation : { "upsert", "remove", "restore", "setChangesWithoutApproval", "save" })
            QTest::newRow(operation) << QString::fromLatin1(operation);
    }

    void outsideEditRefusesEveryWrite()
    {
        QFETCH(QString, operation);
        SealFixture f;
        const auto store = makeStore(f);
        const Destination a = local("a"), b = b2("b"), c = local("c");
        for (const Destination &d : { a, b, c }) {
            f.storeSecrets(d);
            store->upsert(d);
        }
        const Removed removed = store->remove(c, f.credentials);

        Destination edited = a;
        edited.name = QStringLiteral("Edited by hand");
        f.writeDestinations({ edited, b });
        QSignalSpy integritySpy(store.get(), &DestinationStore::integrityChanged);
        store->reload();
        QVERIFY(store->integrity() == ConfigIntegrity::changed());
        QCOMPARE(integritySpy.count(), 1);
        QVERIFY(!store->fromAnotherComputer());
        QCOMPARE(store->destinations(), (QList<Destination> { a, b }));
        QVERIFY(!store->errorMessage());

        const auto before = f.snapshotFiles();
        const QString message = errorOf([&] {
            if (operation == QStringLiteral("upsert"))
                store->upsert(local("new"));
            else if (operation == QStringLiteral("remove"))
                store->remove(b, f.credentials);
            else if (operation == QStringLiteral("restore"))
                store->restore(removed, f.credentials);
            else if (operation == QStringLiteral("setChangesWithoutApproval"))
                store->setChangesWithoutApproval(true);
            else
                DestinationWriter(f.credentials)
                    .save(local("new"), { { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("pw") } }, *store);
        });
        QCOMPARE(message, DestinationStore::outsideChangeMessage());
        QCOMPARE(f.snapshotFiles(), before);
        QVERIFY(store->integrity() == ConfigIntegrity::changed());
        QCOMPARE(store->destinations(), (QList<Destination> { a, b }));
        QVERIFY(!store->policy().changesWithoutApproval);
    }

    void folderFromAnotherComputerListsNothing()
    {
        SealFixture f;
        const auto first = makeStore(f);
        const Destination a = local("a");
        f.storeSecrets(a);
        first->upsert(a);

        DestinationStore elsewhere(
            f.destinationsPath, f.credentials, std::make_shared<test::MemorySealKeyStore>(), f.userDefaultsPath);
        QVERIFY(elsewhere.integrity() == ConfigIntegrity::changed());
        QVERIFY(elsewhere.fromAnotherComputer());
        QVERIFY(elsewhere.destinations().isEmpty());
        QVERIFY(!elsewhere.errorMessage());
    }

    void unreachableKeyringEmptiesTheListUntilItAnswers()
    {
        SealFixture f;
        const auto store = makeStore(f);
        const Destination a = local("a");
        f.storeSecrets(a);
        store->upsert(a);
        store->setChangesWithoutApproval(true);

        f.keys->failReads = true;
        const QString message = errorOf([&] { store->reload(); });
        QVERIFY2(
            message.startsWith(QStringLiteral("Vellmir could not reach its protected keyring: ")), qPrintable(message));
        QCOMPARE(
            store->errorMessage(), std::optional<QString>(QStringLiteral("Could not read destinations: ") + message));
        QVERIFY(store->integrity() == ConfigIntegrity::unavailable(message));
        QVERIFY(store->destinations().isEmpty());
        QVERIFY(!store->policy().changesWithoutApproval);
        QCOMPARE(errorOf([&] { store->upsert(a); }), message);
        // A store made now carries the bare sentence.
        QCOMPARE(makeStore(f)->errorMessage(), std::optional<QString>(message));

        f.keys->failReads = false;
        store->reload();
        QCOMPARE(store->destinations(), QList<Destination> { a });
        QVERIFY(store->policy().changesWithoutApproval);
        QVERIFY(!store->errorMessage());
        QVERIFY(store->integrity() == ConfigIntegrity::valid());
    }

    void policySwitchIsSealedAndPublishedOnce()
    {
        SealFixture f;
        const auto store = makeStore(f);
        QSignalSpy spy(store.get(), &DestinationStore::policyChanged);
        store->setChangesWithoutApproval(true);
        QVERIFY(store->policy().changesWithoutApproval);
        QCOMPARE(spy.count(), 1);
        QVERIFY(f.seal.verify() == ConfigIntegrity::valid());
        QVERIFY(makeStore(f)->policy().changesWithoutApproval);

        store->setChangesWithoutApproval(true);
        QCOMPARE(spy.count(), 1);
        store->setChangesWithoutApproval(false);
        QCOMPARE(spy.count(), 2);
        QVERIFY(!f.seal.current().policy.changesWithoutApproval);
    }

    void saveWaitsForAnotherProcessHoldingTheLock()
    {
        SealFixture f;
        const auto store = makeStore(f);
        const QString marker = f.home.path() + QStringLiteral("/released");
        QProcess holder;
        holder.start(helperPath(), { QStringLiteral("hold-lock"), store->lockPath(), marker, QStringLiteral("1000") });
        QVERIFY(holder.waitForStarted());
        QCOMPARE(waitForLine(holder), QByteArray("locked"));

        const Destination saved
            = DestinationWriter(f.credentials)
                  .save(local("a"), { { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("pw") } }, *store);
        // The holder creates the marker before it lets go; the save can only have written after.
        QVERIFY(QFileInfo::exists(marker));
        QCOMPARE(store->destinations(), QList<Destination> { saved });
        QVERIFY(holder.waitForFinished());
        QCOMPARE(holder.exitCode(), 0);
    }

    void killedChangesNeverTearTheConfiguration()
    {
        // Another process saves, removes, restores and switches the policy in a loop and is
        // killed at a random moment, sixty times over. Each time both files must be whole and
        // the configuration must verify as the app's own, old or new; the next run goes on.
        test::TestHome home;
        const QString destinations = home.dataDirectory() + QStringLiteral("/destinations.json");
        const QString keyFile = home.path() + QStringLiteral("/seal-key");
        const QString secretsFolder = home.path() + QStringLiteral("/secrets");
        const QString defaults = home.path() + QStringLiteral("/.config/Vellmir/Vellmir.conf");
        const CredentialsStore credentials(std::make_shared<test::FileSecretStorage>(secretsFolder));
        const auto keys = std::make_shared<test::FileSealKeyStore>(keyFile);
        const ConfigSeal seal(destinations, keys, credentials, defaults);
        QVERIFY(seal.verify() == ConfigIntegrity::valid());

        qint64 newest = -1;
        int pendingLeft = 0;
        for (int round = 0; round < 60; ++round) {
            QProcess child;
            QElapsedTimer started;
            started.start();
            child.start(helperPath(), { QStringLiteral("save-loop"), destinations, keyFile, secretsFolder, defaults });
            QVERIFY(child.waitForStarted());
            // The first round's line also shows that the change after the last kill worked.
            const QByteArray first = waitForLine(child);
            QVERIFY2(first.startsWith("saved "), first.constData());
            // Somewhere in the next round, however long a round takes on this disk.
            QThread::usleep(QRandomGenerator::global()->bounded(std::max<qint64>(1000, started.nsecsElapsed() / 1000)));
            ::kill(child.processId(), SIGKILL);
            QVERIFY(child.waitForFinished());

            const QByteArray bytes = test::readFile(destinations);
            QVERIFY2(!bytes.isEmpty(), "destinations.json is empty");
            QList<Destination> onDisk;
            qint64 now = -1;
            try {
                onDisk = Destination::decodeFile(bytes);
                now = checkSaveSequence(onDisk);
            } catch (const std::exception &error) {
                QFAIL(qPrintable(QStringLiteral("destinations.json is torn: ") + errorDescription(error)));
            }
            QVERIFY(now >= newest);
            newest = now;
            // Secrets go in before the file names them.
            for (const Destination &d : onDisk)
                QCOMPARE(credentials.secret(CredentialRole::repoPassword, d.credentialID),
                    std::optional<QString>(test::slotPassword(test::saveNumber(d))));

            const ConfigIntegrity verdict = seal.verify();
            QVERIFY2(verdict.isValid(), qPrintable(verdict.debugText()));
            if (QFileInfo::exists(seal.pendingSealPath()))
                ++pendingLeft;
        }
        // After the last kill a store of this process still writes, and the result verifies.
        const auto store = std::make_unique<DestinationStore>(destinations, credentials, keys, defaults);
        QVERIFY(!store->errorMessage());
        // and removes what a kill before a rename left behind.
        test::writeFile(destinations + QStringLiteral(".~Ab12Cd"), "{");
        test::writeFile(seal.sealPath() + QStringLiteral(".~Ab12Cd"), "{");
        // A copy the user made is theirs.
        test::writeFile(destinations + QStringLiteral(".backup"), "{");
        store->setChangesWithoutApproval(true);
        QVERIFY(seal.verify() == ConfigIntegrity::valid());
        QCOMPARE(QDir(home.dataDirectory()).entryList({ QStringLiteral("*.~??????") }, QDir::Files | QDir::Hidden),
            QStringList {});
        QVERIFY(QFileInfo::exists(destinations + QStringLiteral(".backup")));
        qInfo("%lld saves; %d kills left a pending seal behind", newest + 1, pendingLeft);
    }
};

QTEST_GUILESS_MAIN(DestinationStoreTest)
#include "DestinationStoreTest.moc"

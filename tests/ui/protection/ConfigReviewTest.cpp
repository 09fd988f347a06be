#include "protection/ConfigReview.h"
#include "ConfigReviewFixture.h"
#include "config/FileLock.h"

#include <QSignalSpy>
#include <QtTest>
#include <atomic>
#include <latch>
#include <thread>

using namespace vellmir;

namespace {

// The fixture's key, read through a counter that makes every read after the first `allowed`
// fail, to break the store's reload that follows a seal operation.
class CountingKeys : public SealKeyStore {
public:
    explicit CountingKeys(std::shared_ptr<SealKeyStore> inner)
        : m_inner(std::move(inner))
    {
    }
    std::optional<SymmetricKey> key() const override
    {
        if (allowed >= 0 && reads >= allowed)
            throw SealKeyError::unavailable(SealKeyError::Status::locked, QStringLiteral("The keyring is locked."));
        ++reads;
        return m_inner->key();
    }
    SymmetricKey store(const SymmetricKey &key) override { return m_inner->store(key); }

    mutable int reads = 0;
    int allowed = -1;

private:
    std::shared_ptr<SealKeyStore> m_inner;
};

} // namespace

class ConfigReviewTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void listsTheDifferences();
    void failedComparisonShowsOneLine();
    void keepAsksFirstAndSealsOnlyWhenConfirmed();
    void keepSealsOnlyWhatWasShown_data();
    void keepSealsOnlyWhatWasShown();
    void keepFromAnotherComputerTrustsTheSettings();
    void keepFailureStaysOpenAndReleasesTheLock();
    void undo_data();
    void undo();
    void undoWithoutTrustedConfigurationFails();
    void reloadFailureAfterUndoStillNamesTheRemoved();
    void actionsWaitForTheLock_data();
    void actionsWaitForTheLock();
};

void ConfigReviewTest::listsTheDifferences()
{
    test::ConfigReviewFixture f;
    f.changeOutside();
    QVERIFY(!f.store->integrity().isValid());
    ConfigReview review(*f.store);
    QVERIFY(!review.fromAnotherComputer());
    QVERIFY(review.changes().isEmpty());
    review.load();
    QCOMPARE(
        review.changes(), QStringList { QStringLiteral("Added destination “Intruder”, backing up to sftp:evil:/x.") });
}

void ConfigReviewTest::failedComparisonShowsOneLine()
{
    test::ConfigReviewFixture f;
    f.changeOutside();
    // A policy file that no longer decodes makes the comparison itself fail.
    writeFileAtomically(f.policyPath(), "{ not json");
    ConfigReview review(*f.store);
    review.load();
    QCOMPARE(review.changes(), QStringList { ConfigReview::compareFailedLine() });

    // Undo still works: it rewrites the policy from the seal.
    QSignalSpy dismissed(&review, &ConfigReview::dismissRequested);
    review.undo();
    QCOMPARE(dismissed.count(), 1);
    QVERIFY(!review.errorMessage());
    QVERIFY(f.store->integrity().isValid());
    QCOMPARE(f.store->destinations().size(), 2);
}

void ConfigReviewTest::keepAsksFirstAndSealsOnlyWhenConfirmed()
{
    test::ConfigReviewFixture f;
    f.changeOutside();
    ConfigReview review(*f.store);
    review.load();
    QSignalSpy dismissed(&review, &ConfigReview::dismissRequested);
    const auto before = f.snapshotFiles();

    review.requestKeep();
    QVERIFY(review.confirmingKeep());
    review.cancelKeep();
    QVERIFY(!review.confirmingKeep());
    QCOMPARE(f.snapshotFiles(), before);
    QCOMPARE(dismissed.count(), 0);

    review.requestKeep();
    review.keep();
    QVERIFY(!review.confirmingKeep());
    QCOMPARE(dismissed.count(), 1);
    QVERIFY(!review.errorMessage());
    QVERIFY(f.store->integrity().isValid());
    QCOMPARE(f.store->destinations().size(), 3);
    QCOMPARE(f.store->destinations().constLast().name, QStringLiteral("Intruder"));
    // Computed once; the sheet does not refresh it.
    QCOMPARE(review.changes().size(), 1);
}

void ConfigReviewTest::keepSealsOnlyWhatWasShown_data()
{
    QTest::addColumn<QString>("listed");
    QTest::addColumn<QString>("later");
    QTest::newRow("added destination, its folders edited") << QStringLiteral("Intruder") << QStringLiteral("sources");
    QTest::newRow("added destination, its password replaced")
        << QStringLiteral("Intruder") << QStringLiteral("password");
    QTest::newRow("changed destination, its folders edited") << QStringLiteral("Pictures") << QStringLiteral("sources");
}

// A change inside a destination the sheet already lists leaves the lines as they are; keeping
// must still seal nothing the user has not seen.
void ConfigReviewTest::keepSealsOnlyWhatWasShown()
{
    QFETCH(QString, listed);
    QFETCH(QString, later);
    test::ConfigReviewFixture f;
    if (listed == QLatin1String("Intruder")) {
        f.changeOutside();
    } else {
        QList<Destination> list = f.pair;
        list.first().schedule = Destination::Schedule::daily;
        f.writeDestinations(list);
        f.makeStore(f.keys);
    }
    ConfigReview review(*f.store);
    review.load();
    const QStringList shown = review.changes();

    QList<Destination> list = f.readDestinations();
    for (Destination &d : list) {
        if (d.name != listed)
            continue;
        if (later == QLatin1String("sources"))
            d.sources.append(QStringLiteral("/etc"));
        else
            f.credentials.setSecret(QStringLiteral("another"), CredentialRole::repoPassword, d.credentialID);
    }
    f.writeDestinations(list);
    const auto changedAgain = f.snapshotFiles();

    QSignalSpy dismissed(&review, &ConfigReview::dismissRequested);
    review.keep();
    QCOMPARE(dismissed.count(), 0);
    QCOMPARE(review.errorMessage().value_or(QString()), ConfigReview::changedAgainMessage());
    QVERIFY(f.snapshotFiles() == changedAgain);
    QVERIFY(!f.store->integrity().isValid());
    QCOMPARE(review.changes(), shown);

    // What is shown now is what a second keep seals.
    review.keep();
    QCOMPARE(dismissed.count(), 1);
    QVERIFY(f.store->integrity().isValid());
}

void ConfigReviewTest::keepFromAnotherComputerTrustsTheSettings()
{
    test::ConfigReviewFixture f;
    f.moveToAnotherComputer();
    ConfigReview review(*f.store);
    QVERIFY(review.fromAnotherComputer());
    review.load();
    // Every stored field is listed; only the start is this test's business.
    const QStringList changes = review.changes();
    QCOMPARE(changes.size(), 2);
    QVERIFY(
        changes.at(0).startsWith(QStringLiteral("“Pictures”\nBacking up to: /srv/a\nFolders: /home/ana/Documents\n")));
    QVERIFY(changes.at(1).startsWith(
        QStringLiteral("“Offsite”\nBacking up to: b2:bucket:vellmir\nFolders: /home/ana/Documents\n")));

    QSignalSpy variant(&review, &ConfigReview::fromAnotherComputerChanged);
    QSignalSpy dismissed(&review, &ConfigReview::dismissRequested);
    review.keep();
    QCOMPARE(dismissed.count(), 1);
    QVERIFY(!review.fromAnotherComputer());
    QCOMPARE(variant.count(), 1);
    QVERIFY(f.store->integrity().isValid());
    QCOMPARE(f.store->destinations().size(), 2);
}

void ConfigReviewTest::keepFailureStaysOpenAndReleasesTheLock()
{
    test::ConfigReviewFixture f;
    f.changeOutside();
    ConfigReview review(*f.store);
    review.load();
    QSignalSpy dismissed(&review, &ConfigReview::dismissRequested);
    f.secrets->failReads = true;
    review.keep();
    QCOMPARE(dismissed.count(), 0);
    QVERIFY(review.errorMessage());
    QVERIFY(!review.errorMessage()->isEmpty());
    QVERIFY(!f.store->integrity().isValid());
    // Released in every case: taking it without waiting succeeds.
    {
        FileLock lock(f.store->lockPath(), false);
    }

    // A later failure replaces the message; nothing clears it.
    f.secrets->failReads = false;
    QFile::remove(f.sealPath());
    review.undo();
    QCOMPARE(*review.errorMessage(), QStringLiteral("There is no trusted configuration to go back to."));
}

void ConfigReviewTest::undo_data()
{
    QTest::addColumn<QStringList>("replaced");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<QString>("result");

    QTest::newRow("nothing removed") << QStringList() << true << QString();
    QTest::newRow("one removed") << QStringList { QStringLiteral("Offsite") } << false
                                 << QStringLiteral("Removed Offsite because its stored password or keys were "
                                                   "replaced. Its backups are untouched; add it again with "
                                                   "vellmir add-destination and its kind and repository, without "
                                                   "initialize.");
    QTest::newRow("two removed") << QStringList { QStringLiteral("Pictures"), QStringLiteral("Offsite") } << false
                                 << QStringLiteral("Removed Pictures, Offsite because its stored password or keys "
                                                   "were replaced. Its backups are untouched; add it again with "
                                                   "vellmir add-destination and its kind and repository, without "
                                                   "initialize.");
}

void ConfigReviewTest::undo()
{
    QFETCH(QStringList, replaced);
    QFETCH(bool, closes);
    QFETCH(QString, result);

    test::ConfigReviewFixture f;
    const QByteArray sealedFile = test::readFile(f.destinationsPath);
    f.changeOutside();
    if (!replaced.isEmpty())
        f.replaceSecrets(replaced);
    ConfigReview review(*f.store);
    review.load();
    QSignalSpy dismissed(&review, &ConfigReview::dismissRequested);
    review.undo();

    QVERIFY(!review.errorMessage());
    QCOMPARE(dismissed.count(), closes ? 1 : 0);
    QCOMPARE(review.result().value_or(QString()), result);
    QVERIFY(f.store->integrity().isValid());
    QCOMPARE(f.store->destinations().size(), 2 - replaced.size());
    if (replaced.isEmpty())
        QCOMPARE(test::readFile(f.destinationsPath), sealedFile);
    for (const Destination &d : std::as_const(f.store->destinations()))
        QVERIFY(!replaced.contains(d.name));
}

void ConfigReviewTest::undoWithoutTrustedConfigurationFails()
{
    test::ConfigReviewFixture f;
    f.changeOutside();
    QFile::remove(f.sealPath());
    ConfigReview review(*f.store);
    QSignalSpy dismissed(&review, &ConfigReview::dismissRequested);
    const auto before = f.snapshotFiles();
    review.undo();
    QCOMPARE(dismissed.count(), 0);
    QCOMPARE(*review.errorMessage(), QStringLiteral("There is no trusted configuration to go back to."));
    QVERIFY(!review.result());
    QCOMPARE(f.snapshotFiles(), before);
}

void ConfigReviewTest::reloadFailureAfterUndoStillNamesTheRemoved()
{
    // How many key reads the undo itself makes, measured on an identical configuration.
    int undoReads = 0;
    {
        test::ConfigReviewFixture probe;
        probe.replaceSecrets({ QStringLiteral("Offsite") });
        auto keys = std::make_shared<CountingKeys>(probe.keys);
        probe.sealWithKeys(keys).undo();
        undoReads = keys->reads;
    }

    test::ConfigReviewFixture f;
    f.replaceSecrets({ QStringLiteral("Offsite") });
    auto keys = std::make_shared<CountingKeys>(f.keys);
    f.makeStore(keys);
    ConfigReview review(*f.store);
    QSignalSpy dismissed(&review, &ConfigReview::dismissRequested);
    keys->reads = 0;
    keys->allowed = undoReads;
    review.undo();

    QCOMPARE(dismissed.count(), 0);
    QVERIFY(review.errorMessage());
    QVERIFY(review.errorMessage()->contains(QStringLiteral("The keyring is locked.")));
    // The undo took effect; the user still learns what it removed.
    QCOMPARE(review.result().value_or(QString()), ConfigReview::removedSentence({ QStringLiteral("Offsite") }));
    QCOMPARE(f.readDestinations().size(), 1);
}

void ConfigReviewTest::actionsWaitForTheLock_data()
{
    QTest::addColumn<bool>("keep");
    QTest::newRow("keep") << true;
    QTest::newRow("undo") << false;
}

void ConfigReviewTest::actionsWaitForTheLock()
{
    QFETCH(bool, keep);
    test::ConfigReviewFixture f;
    f.changeOutside();
    ConfigReview review(*f.store);
    review.load();
    QSignalSpy dismissed(&review, &ConfigReview::dismissRequested);

    // Another holder (its own descriptor, so it excludes like another process) keeps the lock
    // for a moment after the action starts waiting.
    std::latch held(1);
    std::atomic<bool> released = false;
    std::thread holder([&] {
        FileLock lock(f.store->lockPath(), false);
        held.count_down();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        released = true;
    });
    held.wait();
    if (keep)
        review.keep();
    else
        review.undo();
    const bool wasReleased = released;
    holder.join();

    QVERIFY(wasReleased);
    QVERIFY(!review.errorMessage());
    QCOMPARE(dismissed.count(), 1);
    QVERIFY(f.store->integrity().isValid());
    QCOMPARE(f.store->destinations().size(), keep ? 3 : 2);
}

QTEST_GUILESS_MAIN(ConfigReviewTest)
#include "ConfigReviewTest.moc"

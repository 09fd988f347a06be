#include "ProtectionFixture.h"

#include "kit/Format.h"

#include <QSignalSpy>
#include <QTest>
#include <cmath>
#include <limits>

using namespace vellmir;

namespace {

const QLocale usEnglish(QLocale::English, QLocale::UnitedStates);
const Date jan2 = Date::fromUnix(1767366240); // 2026-01-02 15:04 UTC
const Date jan3 = Date::fromUnix(1767452640); // 2026-01-03 15:04 UTC

UsageMeasurement measurement(Date date, qint64 bytes)
{
    return { newUuid(), date, bytes };
}

} // namespace

class ProtectionDetailsModelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void costAndBudget_data();
    void costAndBudget();
    void measurementCaptions();
    void integrityTextsAndTone_data();
    void integrityTextsAndTone();
    void issueLimitNote_data();
    void issueLimitNote();

    void withoutRecordNothingIsKnown();
    void recordOfAnotherRepositoryReadsEmptyAndNewRepositoryRereadsAtOnce();
    void unreadableRecordKeepsLastRecordAndShowsTheError();
    void pollsEveryFiveSeconds();
    void scanKeepsMessageAndBlocksTheOtherActions();
    void checkAndMeasure_data();
    void checkAndMeasure();
    void missingSecretRecordsNothing();
    void recoveryTest_data();
    void recoveryTest();
};

void ProtectionDetailsModelTest::costAndBudget_data()
{
    QTest::addColumn<QList<qint64>>("usage");
    QTest::addColumn<bool>("hasPreferences");
    QTest::addColumn<double>("rate");
    QTest::addColumn<double>("budget");
    QTest::addColumn<QString>("estimate"); // empty: no estimate
    QTest::addColumn<bool>("warning");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const QList<qint64> twoTB { 2000000000000 };
    QTest::newRow("no measurement, rate set") << QList<qint64> {} << true << 5.0 << 1.0 << QString() << false;
    QTest::newRow("no preferences") << twoTB << false << 0.0 << 0.0 << QString() << false;
    QTest::newRow("rate 0 with a budget") << twoTB << true << 0.0 << 0.01 << QString() << false;
    QTest::newRow("negative rate") << twoTB << true << -5.0 << 1.0 << QString() << false;
    QTest::newRow("rate not a number") << twoTB << true << nan << 1.0 << QString() << false;
    QTest::newRow("budget equal to the estimate") << twoTB << true << 5.0 << 10.0 << "$10.00" << true;
    QTest::newRow("budget above the estimate") << twoTB << true << 5.0 << 10.01 << "$10.00" << false;
    QTest::newRow("budget below the estimate") << twoTB << true << 5.0 << 9.99 << "$10.00" << true;
    QTest::newRow("no budget") << twoTB << true << 5.0 << 0.0 << "$10.00" << false;
    QTest::newRow("budget not a number") << twoTB << true << 5.0 << nan << "$10.00" << false;
    QTest::newRow("only the latest counts")
        << QList<qint64> { 2000000000000, 1000000000000 } << true << 5.0 << 10.0 << "$5.00" << false;
    QTest::newRow("negative bytes count as none") << QList<qint64> { -7 } << true << 5.0 << 0.0 << "$0.00" << false;
    QTest::newRow("cents") << QList<qint64> { 1234567890123 } << true << 6.0 << 0.0 << "$7.41" << false;
}

void ProtectionDetailsModelTest::costAndBudget()
{
    QFETCH(QList<qint64>, usage);
    QFETCH(bool, hasPreferences);
    QFETCH(double, rate);
    QFETCH(double, budget);
    QFETCH(QString, estimate);
    QFETCH(bool, warning);

    test::ProtectionFixture f;
    if (hasPreferences) {
        BackupPreferences preferences;
        preferences.storageRatePerTB = rate;
        preferences.monthlyBudget = budget;
        f.destination.preferences = preferences;
    }
    RepositoryHealth health = f.health();
    for (qint64 bytes : usage)
        health.appendUsage(measurement(jan2, bytes));
    f.writeHealth(health);
    std::unique_ptr<ProtectionDetailsModel> model(f.model());
    model->reload();

    const std::optional<double> monthly = model->estimate();
    QCOMPARE(monthly ? Format::dollars(*monthly, usEnglish) : QString(), estimate);
    QCOMPARE(model->showsBudgetWarning(), warning);
    const std::optional<QString> rateCaption = model->rateCaption(usEnglish);
    QCOMPARE(rateCaption.has_value(), !estimate.isEmpty());
    if (rateCaption)
        QCOMPARE(*rateCaption,
            QStringLiteral("At your entered rate of %1/TB/month. Requests, downloads, taxes and other provider "
                           "charges are additional.")
                .arg(Format::dollars(rate, usEnglish)));
}

void ProtectionDetailsModelTest::measurementCaptions()
{
    test::ProtectionFixture f;
    std::unique_ptr<ProtectionDetailsModel> model(f.model());
    RepositoryHealth health = f.health();
    f.writeHealth(health);
    model->reload();
    QVERIFY(!model->measuredCaption(usEnglish));
    QVERIFY(!model->changeCaption(usEnglish));

    health.appendUsage(measurement(jan2, 5000000000));
    f.writeHealth(health);
    model->reload();
    QCOMPARE(*model->measuredCaption(usEnglish),
        "Measured Jan 2, 2026 3:04 PM. Excludes repository overhead, unreferenced packs, and provider-side "
        "versions.");
    QVERIFY(!model->changeCaption(usEnglish));

    health.appendUsage(measurement(jan3, 4000000000));
    f.writeHealth(health);
    model->reload();
    QVERIFY(model->measuredCaption(usEnglish)->startsWith(u"Measured Jan 3, 2026 "));
    QCOMPARE(*model->changeCaption(usEnglish), "Change since Jan 2, 2026 3:04 PM: -1 GB");

    // Counts at the ends of the 64-bit range neither overflow nor wrap around.
    health.usage = { measurement(jan2, std::numeric_limits<qint64>::max()),
        measurement(jan3, std::numeric_limits<qint64>::min()) };
    f.writeHealth(health);
    model->reload();
    QVERIFY(model->changeCaption(usEnglish)->contains(u": -"));
}

void ProtectionDetailsModelTest::integrityTextsAndTone_data()
{
    QTest::addColumn<int>("succeeded"); // -1 absent, 0 false, 1 true
    QTest::addColumn<bool>("checked");
    QTest::addColumn<bool>("dimmed");
    QTest::newRow("passed") << 1 << true << true;
    QTest::newRow("failed") << 0 << true << false;
    QTest::newRow("outcome absent") << -1 << true << false;
    QTest::newRow("never checked") << -1 << false << false;
}

void ProtectionDetailsModelTest::integrityTextsAndTone()
{
    QFETCH(int, succeeded);
    QFETCH(bool, checked);
    QFETCH(bool, dimmed);
    test::ProtectionFixture f;
    RepositoryHealth health = f.health();
    if (succeeded >= 0)
        health.integritySucceeded = succeeded == 1;
    if (checked)
        health.lastIntegrityCheck = jan2;
    health.integrityMessage = QStringLiteral("Check failed: pack 1 damaged");
    f.writeHealth(health);
    std::unique_ptr<ProtectionDetailsModel> model(f.model());
    model->reload();
    QCOMPARE(
        model->lastCheckText(usEnglish), checked ? QStringLiteral("Jan 2, 2026 3:04 PM") : QStringLiteral("Never"));
    QVERIFY(model->integrityMessageTone() == (dimmed ? StatusTone::secondary : StatusTone::warning));
}

void ProtectionDetailsModelTest::issueLimitNote_data()
{
    QTest::addColumn<int>("issues");
    QTest::addColumn<bool>("note");
    QTest::newRow("99") << 99 << false;
    QTest::newRow("100") << 100 << true;
    QTest::newRow("101") << 101 << true;
}

void ProtectionDetailsModelTest::issueLimitNote()
{
    QFETCH(int, issues);
    QFETCH(bool, note);
    test::ProtectionFixture f;
    for (int index = 0; index < issues; ++index)
        f.heldScan->result.issues.append(QStringLiteral("Unreadable: /x/%1").arg(index));
    f.heldScan->release();
    std::unique_ptr<ProtectionDetailsModel> model(f.model());
    QVERIFY(!model->showsIssueLimitNote());
    model->scan();
    QTRY_VERIFY(model->audit().has_value());
    QCOMPARE(model->showsIssueLimitNote(), note);
}

void ProtectionDetailsModelTest::withoutRecordNothingIsKnown()
{
    test::ProtectionFixture f;
    std::unique_ptr<ProtectionDetailsModel> model(f.model());
    model->start();
    QVERIFY(model->health() == RepositoryHealth {});
    QCOMPARE(model->lastVerifiedRestoreText(usEnglish), QStringLiteral("Not yet tested"));
    QVERIFY(!model->verifiedSelectionText());
    QVERIFY(!model->message());
    QVERIFY(!model->audit());
    QVERIFY(!model->latestMeasurement());
}

void ProtectionDetailsModelTest::recordOfAnotherRepositoryReadsEmptyAndNewRepositoryRereadsAtOnce()
{
    test::ProtectionFixture f;
    RepositoryHealth health = f.health();
    health.lastVerifiedRestore = jan2;
    health.restoredSelection = QStringLiteral("/s/sample.txt");
    f.writeHealth(health);

    std::unique_ptr<ProtectionDetailsModel> model(f.model());
    model->start();
    QCOMPARE(model->lastVerifiedRestoreText(usEnglish), QStringLiteral("Jan 2, 2026 3:04 PM"));
    QCOMPARE(*model->verifiedSelectionText(), QStringLiteral("Verified selection: /s/sample.txt"));

    // The pane's destination now names another repository: no waiting for the next poll.
    Destination moved = f.destination;
    moved.repository += QStringLiteral("-moved");
    model->setDestination(moved);
    QVERIFY(model->health() == RepositoryHealth {});
    QCOMPARE(model->lastVerifiedRestoreText(usEnglish), QStringLiteral("Not yet tested"));

    // Other edits do not re-read (the record on disk changed meanwhile, the shown one stays).
    health.repository = moved.repository;
    f.writeHealth(health);
    Destination renamed = moved;
    renamed.name = QStringLiteral("Renamed");
    model->setDestination(renamed);
    QVERIFY(model->health() == RepositoryHealth {});
    model->reload();
    QVERIFY(model->health() == health);
}

void ProtectionDetailsModelTest::unreadableRecordKeepsLastRecordAndShowsTheError()
{
    test::ProtectionFixture f;
    RepositoryHealth health = f.health();
    health.lastIntegrityCheck = jan2;
    f.writeHealth(health);
    std::unique_ptr<ProtectionDetailsModel> model(f.model());
    model->start();
    QVERIFY(model->health() == health);

    f.breakHealth();
    QSignalSpy messages(model.get(), &ProtectionDetailsModel::messageChanged);
    model->reload();
    QVERIFY(model->message().has_value());
    QVERIFY2(model->message()->contains(uuidText(f.destination.id)), qPrintable(*model->message()));
    QVERIFY(model->health() == health);
    QCOMPARE(messages.count(), 1);

    // A good read afterwards brings the record back and leaves the message as it was.
    const QString shown = *model->message();
    health.lastIntegrityCheck = jan3;
    f.writeHealth(health);
    model->reload();
    QVERIFY(model->health() == health);
    QCOMPARE(model->message(), std::optional<QString>(shown));
}

void ProtectionDetailsModelTest::pollsEveryFiveSeconds()
{
    test::ProtectionFixture f;
    std::unique_ptr<ProtectionDetailsModel> model(f.model());
    model->start();
    QVERIFY(model->isPolling());
    RepositoryHealth health = f.health();
    health.lastIntegrityCheck = jan2;
    f.writeHealth(health);
    QSignalSpy changes(model.get(), &ProtectionDetailsModel::healthChanged);
    QVERIFY(changes.wait(7000));
    QVERIFY(model->health() == health);

    model->stop();
    QVERIFY(!model->isPolling());
}

void ProtectionDetailsModelTest::scanKeepsMessageAndBlocksTheOtherActions()
{
    test::ProtectionFixture f;
    f.writeHealth(f.health());
    f.breakHealth();
    f.heldScan->result.readableFiles = 12;
    f.heldScan->result.excludedEntries = 3;
    std::unique_ptr<ProtectionDetailsModel> model(f.model());
    model->reload();
    const std::optional<QString> message = model->message();
    QVERIFY(message);

    QSignalSpy working(model.get(), &ProtectionDetailsModel::workingChanged);
    model->scan();
    QVERIFY(model->isWorking());
    // Nothing else starts meanwhile: restic is never run.
    model->check();
    model->measure();
    model->testRecovery();
    model->scan();
    QCOMPARE(working.count(), 1);
    QCOMPARE(model->message(), message);
    QVERIFY(!model->audit());

    f.heldScan->release();
    QTRY_VERIFY(!model->isWorking());
    QCOMPARE(model->audit()->readableFiles, 12);
    QCOMPARE(model->audit()->excludedEntries, 3);
    QCOMPARE(model->message(), message);
    QCOMPARE(working.count(), 2);
}

void ProtectionDetailsModelTest::checkAndMeasure_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QByteArray>("stdout");
    QTest::addColumn<QByteArray>("stderr");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("message"); // empty: none
    QTest::addColumn<QString>("integrityMessage"); // for a check

    QTest::newRow("check passes") << "check" << QByteArray("no errors were found\n") << QByteArray() << 0 << QString()
                                  << RepositoryHealthStore::checkSucceededMessage();
    QTest::newRow("check fails") << "check" << QByteArray() << QByteArray("pack 1 damaged\n") << 1
                                 << "Integrity check failed. Review the recorded result."
                                 << "Check failed: pack 1 damaged\n";
    QTest::newRow("measure") << "stats" << QByteArray("{\"total_size\":5000000000,\"total_file_count\":3}")
                             << QByteArray() << 0 << QString() << QString();
    QTest::newRow("measure fails") << "stats" << QByteArray() << QByteArray("Fatal: wrong password\n") << 1
                                   << "Could not measure repository data. Fatal: wrong password" << QString();
    QTest::newRow("measure without a size") << "stats" << QByteArray("{\"total_file_count\":3}") << QByteArray() << 0
                                            << "Could not measure repository data. " << QString();
}

void ProtectionDetailsModelTest::checkAndMeasure()
{
    QFETCH(QString, action);
    QFETCH(QByteArray, stdout);
    QFETCH(QByteArray, stderr);
    QFETCH(int, exit);
    QFETCH(QString, message);
    QFETCH(QString, integrityMessage);

    test::ProtectionFixture f;
    RepositoryHealth before = f.health();
    before.appendUsage(measurement(jan2, 4000000000));
    f.writeHealth(before);
    f.script(action + QStringLiteral(".stdout"), stdout);
    f.script(action + QStringLiteral(".stderr"), stderr);
    f.script(action + QStringLiteral(".exit"), QByteArray::number(exit));

    std::unique_ptr<ProtectionDetailsModel> model(f.model());
    // An earlier outcome goes away as the action starts.
    f.breakHealth();
    model->reload();
    QVERIFY(model->message());
    f.writeHealth(before);

    if (action == u"check")
        model->check();
    else
        model->measure();
    QVERIFY(model->isWorking());
    QVERIFY(!model->message());
    QTRY_VERIFY_WITH_TIMEOUT(!model->isWorking(), 15000);
    QCOMPARE(model->message().value_or(QString()), message);

    // The record was re-read right after the action, failures included.
    const RepositoryHealth &health = model->health();
    if (action == u"check") {
        QVERIFY(health.lastIntegrityCheck.has_value());
        QCOMPARE(health.integritySucceeded, std::optional<bool>(exit == 0));
        QCOMPARE(health.integrityMessage.value_or(QString()), integrityMessage);
        QCOMPARE(health.usage, before.usage);
    } else if (message.isEmpty()) {
        QCOMPARE(health.usage.size(), 2);
        QCOMPARE(model->latestMeasurement()->bytes, 5000000000);
        QCOMPARE(model->previousMeasurement()->bytes, 4000000000);
    } else {
        QVERIFY(health == before);
    }
}

void ProtectionDetailsModelTest::missingSecretRecordsNothing()
{
    test::ProtectionFixture f;
    f.destination.credentialID = newUuid(); // no password stored under this one
    f.writeHealth(f.health());
    std::unique_ptr<ProtectionDetailsModel> model(f.model());
    model->check();
    QTRY_VERIFY(!model->isWorking());
    QVERIFY(model->message().has_value());
    QVERIFY2(model->message()->contains(u"password", Qt::CaseInsensitive), qPrintable(*model->message()));
    QVERIFY(model->health() == f.health());
}

void ProtectionDetailsModelTest::recoveryTest_data()
{
    QTest::addColumn<bool>("hasSnapshot");
    QTest::addColumn<QString>("message");
    QTest::newRow("restored") << true << ProtectionDetailsModel::recoveryTestedMessage();
    QTest::newRow("no snapshot") << false << "Create a backup before testing recovery.";
}

void ProtectionDetailsModelTest::recoveryTest()
{
    QFETCH(bool, hasSnapshot);
    QFETCH(QString, message);
    test::ProtectionFixture f;
    if (hasSnapshot)
        f.scriptSnapshotWithSample();
    else
        f.script(QStringLiteral("snapshots.stdout"), "[]");
    std::unique_ptr<ProtectionDetailsModel> model(f.model());
    model->start();
    QCOMPARE(model->lastVerifiedRestoreText(usEnglish), QStringLiteral("Not yet tested"));

    model->testRecovery();
    QVERIFY(model->isWorking());
    QTRY_VERIFY_WITH_TIMEOUT(!model->isWorking(), 15000);
    QCOMPARE(model->message().value_or(QString()), message);
    // Shown at once, without waiting for the poll.
    QCOMPARE(model->health().lastVerifiedRestore.has_value(), hasSnapshot);
    if (hasSnapshot) {
        QCOMPARE(*model->verifiedSelectionText(), QStringLiteral("Verified selection: /s/sample.txt"));
        QVERIFY(model->lastVerifiedRestoreText(usEnglish) != u"Not yet tested");
    }
    QVERIFY(f.samples().isEmpty());
}

QTEST_GUILESS_MAIN(ProtectionDetailsModelTest)
#include "ProtectionDetailsModelTest.moc"

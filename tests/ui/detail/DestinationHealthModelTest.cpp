#include "HealthFixture.h"
#include "config/FileLock.h"

#include <QSignalSpy>
#include <QTest>

using namespace vellmir;
using Outcome = BackupRecord::Outcome;
using Schedule = Destination::Schedule;

Q_DECLARE_METATYPE(vellmir::Destination::Schedule)

namespace {

const QLocale usEnglish(QLocale::English, QLocale::UnitedStates);

// "c" complete, "i" incomplete, "f" failed, "x" cancelled, "r" running, each with the age of
// its finish in seconds ("-" for none): "c:3600 f:-" lists the newest first.
QList<BackupRecord> records(test::HealthFixture &f, const QString &spec)
{
    QList<BackupRecord> list;
    const QStringList items = spec.split(u' ', Qt::SkipEmptyParts);
    for (qsizetype index = 0; index < items.size(); ++index) {
        const QString &item = items[index];
        const QStringList parts = item.split(u':');
        const Outcome outcome = parts[0] == u"c" ? Outcome::complete
            : parts[0] == u"i"                   ? Outcome::incomplete
            : parts[0] == u"f"                   ? Outcome::failed
            : parts[0] == u"x"                   ? Outcome::cancelled
                                                 : Outcome::running;
        std::optional<double> age;
        if (parts[1] != u"-")
            age = parts[1].toDouble();
        // Starts far enough apart that the history lists them in the order given.
        list.append(f.record(outcome, age, age.value_or(0) + 1 + double(index) * 1e6));
    }
    return list;
}

} // namespace

class DestinationHealthModelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void lastCompleteAndOverdue_data();
    void lastCompleteAndOverdue();
    void lines_data();
    void lines();
    void countsAgreeInNumber_data();
    void countsAgreeInNumber();
    void verifiedRestore();
    void pollsOnlyTheCurrentSettings();
    void newSettingsRestartThePollAtOnce();
    void aReadErrorShowsUntilBothReadsSucceed();
    void pollsEveryThreeSecondsWhileStarted();
    void backUpNowAndCancel();
    void withoutFoldersNothingRuns();
};

void DestinationHealthModelTest::lastCompleteAndOverdue_data()
{
    QTest::addColumn<Schedule>("schedule");
    QTest::addColumn<QString>("records");
    QTest::addColumn<double>("lastCompleteAge"); // -1: absent
    QTest::addColumn<bool>("overdue");

    QTest::newRow("hourly at the interval") << Schedule::hourly << "c:3600" << 3600.0 << true;
    QTest::newRow("hourly a second before") << Schedule::hourly << "c:3599" << 3599.0 << false;
    QTest::newRow("daily at the interval") << Schedule::daily << "c:86400" << 86400.0 << true;
    QTest::newRow("daily a second before") << Schedule::daily << "c:86399" << 86399.0 << false;
    QTest::newRow("daily after an hour") << Schedule::daily << "c:3600" << 3600.0 << false;
    QTest::newRow("manual never") << Schedule::manual << "c:9999999" << 9999999.0 << false;
    QTest::newRow("never completed") << Schedule::hourly << "f:10 x:20" << -1.0 << false;
    QTest::newRow("no records") << Schedule::hourly << "" << -1.0 << false;
    QTest::newRow("newest complete has no finish") << Schedule::hourly << "c:- c:99999" << -1.0 << false;
    QTest::newRow("running newest, older complete") << Schedule::hourly << "r:- c:7200" << 7200.0 << true;
    QTest::newRow("failures after a complete") << Schedule::daily << "f:10 i:20 c:300" << 300.0 << false;
    QTest::newRow("complete dated ahead") << Schedule::hourly << "c:-172800 c:7200" << 7200.0 << true;
}

void DestinationHealthModelTest::lastCompleteAndOverdue()
{
    QFETCH(Schedule, schedule);
    QFETCH(QString, records);
    QFETCH(double, lastCompleteAge);
    QFETCH(bool, overdue);
    test::HealthFixture f;
    const std::optional<Date> last = DestinationHealthModel::lastComplete(::records(f, records), f.now);
    if (lastCompleteAge < 0)
        QVERIFY(!last);
    else
        QVERIFY(last == f.now.addingSeconds(-lastCompleteAge));
    QCOMPARE(DestinationHealthModel::overdue(schedule, last, f.now), overdue);
}

void DestinationHealthModelTest::lines_data()
{
    QTest::addColumn<Schedule>("schedule");
    QTest::addColumn<bool>("withFolders");
    QTest::addColumn<QString>("records");
    QTest::addColumn<QString>("backup");
    QTest::addColumn<QString>("attempt"); // empty: no line
    QTest::addColumn<bool>("overdue");
    QTest::addColumn<QString>("nextDue"); // empty: no line

    const QString orangeHint
        = QStringLiteral("No complete backup yet. Back up now, or check that the systemd user timer is active.");
    QTest::newRow("manual, never") << Schedule::manual << true << ""
                                   << "Not yet backed up"
                                   << "" << false << "";
    QTest::newRow("hourly, never") << Schedule::hourly << true << "f:60" << orangeHint
                                   << "Latest attempt: failed. Open history for details." << false << "";
    QTest::newRow("no folders") << Schedule::daily << false << ""
                                << "No folders selected"
                                << "" << false << "";
    QTest::newRow("manual, old backup") << Schedule::manual << true << "c:864000"
                                        << "Last complete backup: Dec 23, 2025 3:04 PM"
                                        << "" << false << "";
    QTest::newRow("hourly, overdue") << Schedule::hourly << true << "c:7200"
                                     << "Last complete backup: Jan 2, 2026 1:04 PM"
                                     << "" << true << "Next due: Jan 2, 2026 2:04 PM";
    QTest::newRow("hourly, timer refused") << Schedule::hourly << true << "c:60"
                                           << "Last complete backup: Jan 2, 2026 3:03 PM"
                                           << "" << false << "Automatic backups are off";
    QTest::newRow("daily, in time, running")
        << Schedule::daily << true << "r:- c:60"
        << "Last complete backup: Jan 2, 2026 3:03 PM"
        << "Latest attempt: running. Open history for details." << false << "Next due: Jan 3, 2026 3:03 PM";
    QTest::newRow("running, repository free") << Schedule::manual << true << "r:- c:60"
                                              << "Last complete backup: Jan 2, 2026 3:03 PM"
                                              << "Latest attempt: failed. Open history for details." << false << "";
    QTest::newRow("cancelled") << Schedule::manual << true << "x:5 c:60"
                               << "Last complete backup: Jan 2, 2026 3:03 PM"
                               << "Latest attempt: cancelled. Open history for details." << false << "";
    QTest::newRow("hourly, a backup dated ahead")
        << Schedule::hourly << true << "c:-172800 c:7200"
        << "Last complete backup: Jan 2, 2026 1:04 PM A backup is dated Jan 4, 2026 3:04 PM, in the future, and does "
           "not count for the schedule: check the system clock."
        << "" << true << "Next due: Jan 2, 2026 2:04 PM";
    QTest::newRow("incomplete") << Schedule::manual << true << "i:5"
                                << "No complete backup yet; the latest, incomplete, Jan 2, 2026 3:04 PM"
                                << "Latest attempt: incomplete. Open history for details." << false << "";
}

void DestinationHealthModelTest::lines()
{
    QFETCH(Schedule, schedule);
    QFETCH(bool, withFolders);
    QFETCH(QString, records);
    QFETCH(QString, backup);
    QFETCH(QString, attempt);
    QFETCH(bool, overdue);
    QFETCH(QString, nextDue);

    test::HealthFixture f;
    f.destination.schedule = schedule;
    f.automaticBackupsOff = QString::fromLatin1(QTest::currentDataTag()).endsWith(QLatin1String("refused"));
    if (!withFolders)
        f.destination.sources.clear();
    for (const BackupRecord &record : ::records(f, records))
        f.write(record);
    // A run elsewhere holds the repository, so a "running" record is live; with the
    // repository free, it is a run that died and the row shows it finished.
    std::unique_ptr<FileLock> live;
    if (!QString::fromLatin1(QTest::currentDataTag()).endsWith(QLatin1String("free")))
        live = FileLock::repository(f.destination.repository, f.dir.filePath(QStringLiteral("locks")));
    std::unique_ptr<DestinationHealthModel> model(f.model());
    model->poll();
    QVERIFY(!model->errorMessage());
    // Not even before the worker has finished it does a run whose process is gone read as running.
    if (!attempt.contains(u"running"))
        QVERIFY(!model->latestAttemptLine().value_or(DestinationHealthModel::Line {}).text.contains(u"running"));

    // A run that died is finished on a worker: the row says so once it has.
    QTRY_COMPARE(model->latestAttemptLine().value_or(DestinationHealthModel::Line {}).text, attempt);
    QCOMPARE(model->backupLine(usEnglish).text, backup);
    const StatusTone tone = backup.contains(u"future")     ? StatusTone::warning
        : model->lastComplete()                            ? StatusTone::normal
        : backup.startsWith(u'N') && backup.contains(u'.') ? StatusTone::warning
                                                           : StatusTone::secondary;
    QVERIFY(model->backupLine(usEnglish).tone == tone);
    QCOMPARE(model->latestAttemptLine().value_or(DestinationHealthModel::Line {}).text, attempt);
    if (model->latestAttemptLine())
        QVERIFY(model->latestAttemptLine()->tone
            == (attempt.contains(QStringLiteral("running")) ? StatusTone::secondary : StatusTone::warning));
    QCOMPARE(model->overdueLine().has_value(), overdue);
    if (overdue) {
        QCOMPARE(model->overdueLine()->text, QStringLiteral("Backup is overdue"));
        QVERIFY(model->overdueLine()->tone == StatusTone::warning);
    }
    QCOMPARE(model->nextDueLine(usEnglish).value_or(DestinationHealthModel::Line {}).text, nextDue);
}

void DestinationHealthModelTest::countsAgreeInNumber_data()
{
    QTest::addColumn<int>("folders");
    QTest::addColumn<int>("exclusions");
    QTest::addColumn<QString>("expected");
    QTest::newRow("none") << 0 << 0 << "0 selected folders \u00b7 0 exclusions";
    QTest::newRow("one each") << 1 << 1 << "1 selected folder \u00b7 1 exclusion";
    QTest::newRow("two and none") << 2 << 0 << "2 selected folders \u00b7 0 exclusions";
    QTest::newRow("many") << 1234 << 2 << "1234 selected folders \u00b7 2 exclusions";
}

void DestinationHealthModelTest::countsAgreeInNumber()
{
    QFETCH(int, folders);
    QFETCH(int, exclusions);
    QFETCH(QString, expected);
    test::HealthFixture f;
    f.destination.sources.clear();
    f.destination.excludes.clear();
    for (int i = 0; i < folders; ++i)
        f.destination.sources.append(QStringLiteral("/data/%1").arg(i));
    for (int i = 0; i < exclusions; ++i)
        f.destination.excludes.append(QStringLiteral("*.%1").arg(i));
    std::unique_ptr<DestinationHealthModel> model(f.model());
    QCOMPARE(model->countsLine().text, expected);
}

void DestinationHealthModelTest::verifiedRestore()
{
    test::HealthFixture f;
    std::unique_ptr<DestinationHealthModel> model(f.model());
    model->poll();
    QCOMPARE(model->verifiedRestoreLine(usEnglish).text, QStringLiteral("Last verified restore: Not yet tested"));

    f.writeVerifiedRestore(f.now.addingSeconds(-86400));
    model->poll();
    QCOMPARE(model->verifiedRestoreLine(usEnglish).text, QStringLiteral("Last verified restore: Jan 1, 2026 3:04 PM"));

    // A record written for another repository address counts as none.
    Destination moved = f.destination;
    moved.repository += QStringLiteral("-moved");
    model->setDestination(moved);
    model->poll();
    QCOMPARE(model->verifiedRestoreLine(usEnglish).text, QStringLiteral("Last verified restore: Not yet tested"));
}

void DestinationHealthModelTest::pollsOnlyTheCurrentSettings()
{
    test::HealthFixture f;
    BackupRecord current = f.record(Outcome::complete, 60);
    BackupRecord other = f.record(Outcome::failed, 10);
    other.scope = QStringLiteral("0123");
    BackupRecord unscoped = f.record(Outcome::failed, 5);
    unscoped.scope.reset();
    for (const BackupRecord &record : { current, other, unscoped })
        f.write(record);
    std::unique_ptr<DestinationHealthModel> model(f.model());
    model->poll();
    QCOMPARE(model->records().size(), 1);
    QCOMPARE(model->records().first().id, current.id);
    QVERIFY(!model->latestAttemptLine());
}

void DestinationHealthModelTest::newSettingsRestartThePollAtOnce()
{
    test::HealthFixture f;
    f.destination.schedule = Schedule::hourly;
    f.write(f.record(Outcome::complete, 60));
    std::unique_ptr<DestinationHealthModel> model(f.model());
    model->start();
    QVERIFY(model->lastComplete());

    Destination edited = f.destination;
    edited.sources.append(QStringLiteral("/data/more"));
    QSignalSpy changed(model.get(), &DestinationHealthModel::changed);
    model->setDestination(edited);
    QCOMPARE(changed.count(), 1); // read at once, not after the next interval
    QVERIFY(model->records().isEmpty());
    // The backups made before the change are not denied.
    QVERIFY(model->backupLine(usEnglish).text.startsWith(
        QStringLiteral("No complete backup with the current folders and exclusions yet; the last with earlier "
                       "settings finished ")));
    QVERIFY(model->backupLine(usEnglish).text.endsWith(
        QStringLiteral(". Back up now, or check that the systemd user timer is active.")));
    QVERIFY(model->isPolling());

    // A rename keeps the settings: no new read is needed, the lines just follow.
    Destination renamed = edited;
    renamed.name = QStringLiteral("Renamed");
    model->setDestination(renamed);
    QCOMPARE(changed.count(), 2);
    QCOMPARE(model->destination().name, QStringLiteral("Renamed"));
}

void DestinationHealthModelTest::aReadErrorShowsUntilBothReadsSucceed()
{
    test::HealthFixture f;
    f.writeVerifiedRestore(f.now);
    std::unique_ptr<DestinationHealthModel> model(f.model());
    model->poll();
    QVERIFY(model->health().lastVerifiedRestore);

    QFile::remove(f.healthFile());
    QDir().mkpath(f.healthFile()); // a folder where the record belongs cannot be read
    f.write(f.record(Outcome::complete, 60));
    model->poll();
    QVERIFY(model->errorMessage());
    QVERIFY(!model->errorMessage()->isEmpty());
    // What was read before stays; the records read in this cycle are shown.
    QVERIFY(model->health().lastVerifiedRestore);
    QCOMPARE(model->records().size(), 1);

    QVERIFY(QDir(f.healthFile()).removeRecursively());
    model->poll();
    QVERIFY(!model->errorMessage());
    QVERIFY(!model->health().lastVerifiedRestore);

    // Damaged history and health records hide nothing: they are set aside and the row names them.
    test::writeFile(f.historyDirectory() + QStringLiteral("/damaged.json"), "{\"id\":");
    test::writeFile(f.healthFile(), "{ not json");
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("set aside")));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("set aside")));
    model->poll();
    QCOMPARE(model->records().size(), 1);
    QCOMPARE(model->errorMessage(),
        std::optional(QStringLiteral("A damaged history record was set aside: ") + f.historyDirectory()
            + QStringLiteral("/damaged.json.damaged. A damaged health record was set aside: ") + f.healthFile()
            + QStringLiteral(".damaged")));
}

void DestinationHealthModelTest::pollsEveryThreeSecondsWhileStarted()
{
    test::HealthFixture f;
    QVERIFY(QDir().mkpath(f.historyDirectory())); // made by the first record of any run
    QVERIFY(QDir().mkpath(f.dir.filePath(QStringLiteral("requests"))));
    std::unique_ptr<DestinationHealthModel> model(f.model());
    QSignalSpy changed(model.get(), &DestinationHealthModel::changed);
    model->start();
    QCOMPARE(changed.count(), 1);
    QVERIFY(model->records().isEmpty());
    // The row of another destination over the same folders.
    const Destination mine = f.destination;
    f.destination.id = newUuid();
    std::unique_ptr<DestinationHealthModel> other(f.model());
    f.destination = mine;
    other->start();
    QSignalSpy otherChanged(other.get(), &DestinationHealthModel::changed);

    // A run recorded by another view or process shows at once, well before the next cycle,
    // and only in its own destination's row.
    f.write(f.record(Outcome::failed, 1));
    QVERIFY(changed.wait(1500));
    QCOMPARE(model->records().size(), 1);
    QCOMPARE(otherChanged.count(), 0);
    // So does a backup request set aside in the requests folder.
    test::writeFile(f.dir.filePath(QStringLiteral("requests/request-") + uuidText(mine.id) + ".json.damaged"), "x");
    QVERIFY(changed.wait(1500));
    QVERIFY(model->errorMessage().value_or(QString()).contains(QStringLiteral("backup request was set aside")));

    model->stop();
    QVERIFY(!model->isPolling());
    QVERIFY(!changed.wait(3500));
}

void DestinationHealthModelTest::backUpNowAndCancel()
{
    test::HealthFixture f;
    f.setScript(QStringLiteral("sleep"), "30");
    f.setScript(QStringLiteral("term-exit"), "1");
    std::unique_ptr<DestinationHealthModel> model(f.model());
    QSignalSpy busy(model.get(), &DestinationHealthModel::busyChanged);
    model->backUpNow();
    QVERIFY(model->isBusy());
    QTRY_VERIFY_WITH_TIMEOUT(f.resticStarted(), 10000);
    model->backUpNow(); // ignored while busy
    model->cancel();
    QTRY_VERIFY_WITH_TIMEOUT(!model->isBusy(), 10000);
    QVERIFY(busy.count() >= 2);

    // Busy until the record holds the outcome, which the row shows as soon as it is not.
    QCOMPARE(model->latestAttemptLine().value_or(DestinationHealthModel::Line {}).text,
        QStringLiteral("Latest attempt: cancelled. Open history for details."));
    QCOMPARE(model->records().size(), 1);
}

void DestinationHealthModelTest::withoutFoldersNothingRuns()
{
    test::HealthFixture f;
    f.destination.sources.clear();
    std::unique_ptr<DestinationHealthModel> model(f.model());
    QVERIFY(!model->canBackUp());
    model->backUpNow();
    QVERIFY(!model->isBusy());
    QVERIFY(!f.resticStarted());
}

QTEST_MAIN(DestinationHealthModelTest)
#include "DestinationHealthModelTest.moc"

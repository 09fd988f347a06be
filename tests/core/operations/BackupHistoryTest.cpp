#include "operations/BackupHistory.h"
#include "TestSupport.h"
#include "operations/FolderReader.h"
#include "operations/HistoryIndex.h"
#include "util/AtomicFile.h"
#include "util/Json.h"
#include "util/Uuid.h"

#include <QDir>
#include <QSet>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

using namespace vellmir;

namespace {

const Date now { 800000000 };

Destination makeDestination(Destination::Schedule schedule)
{
    Destination destination;
    destination.id = newUuid();
    destination.name = QStringLiteral("Disk");
    destination.repository = QStringLiteral("/srv/backup");
    destination.sources = { QStringLiteral("/home/ann/Documents") };
    destination.schedule = schedule;
    return destination;
}

void store(const BackupHistory &history, const BackupRecord &record)
{
    writeFileAtomically(history.filePath(record.id), record.encoded());
}

// Records written from a compact description, newest or oldest first alike:
// "outcome:started:finished[:old]" with times as seconds relative to `now`, finished empty
// when absent, and "old" for a record of an earlier scope. Entries are separated by ";".
void storeRecords(const BackupHistory &history, const Destination &destination, const QString &description)
{
    for (const QString &entry : description.split(u';', Qt::SkipEmptyParts)) {
        const QStringList parts = entry.split(u':');
        BackupRecord record(destination.id, now.addingSeconds(parts.at(1).toDouble()));
        record.outcome = *outcomeFromString(parts.at(0));
        if (!parts.at(2).isEmpty())
            record.finishedAt = now.addingSeconds(parts.at(2).toDouble());
        record.scope = parts.size() > 3 ? QStringLiteral("0123") : destination.backupScope();
        store(history, record);
    }
}

BackupRecord fullRecord()
{
    BackupRecord record(newUuid(), Date { 761234567.25 });
    record.finishedAt = Date { 761234600.125 };
    record.outcome = BackupRecord::Outcome::incomplete;
    record.snapshotID = QStringLiteral("4f2a9c1e");
    record.issues = { QStringLiteral("could not read /home/ann/a"), QStringLiteral("second \"issue\"") };
    record.maintenance = QStringLiteral("Kept 12 snapshots.");
    record.prunedAt = Date { 761234700.5 };
    record.accessGranted = true;
    record.bytesAdded = 9007199254740993; // above 2^53: must stay an exact integer
    record.scope = QStringLiteral("ab12");
    record.skippedProtected = QStringList { QStringLiteral("~/Library/Mail") };
    return record;
}

// The outlines of every record of the destination: none was made with this one's scope.
QList<BackupRecord> allOutlines(const BackupHistory &history, const QUuid &destination)
{
    Destination unmatched;
    unmatched.id = destination;
    unmatched.repository = QStringLiteral("/nowhere");
    return history.outlines({ unmatched }).value(destination);
}

// Whether the listings that go through the history index agree with the one that reads every
// file: newest() in full and first, and outlines() field by field.
bool indexAgrees(const BackupHistory &history, const QUuid &destination)
{
    const QList<BackupRecord> records = history.records(destination);
    if (history.newest(destination, -1) != records || history.newest(destination, 1) != records.mid(0, 1))
        return false;
    const QList<BackupRecord> outlines = allOutlines(history, destination);
    if (outlines.size() != records.size())
        return false;
    for (qsizetype i = 0; i < records.size(); ++i) {
        const BackupRecord &a = records.at(i);
        const BackupRecord &b = outlines.at(i);
        if (a.id != b.id || a.startedAt != b.startedAt || a.finishedAt != b.finishedAt || a.outcome != b.outcome
            || a.scope != b.scope || a.prunedAt != b.prunedAt || a.destinationID != b.destinationID)
            return false;
    }
    return true;
}

// Sets the folder's modification time an hour back, as between two passes.
void quieten(const QString &folder)
{
    const timespec times[2] = { { 0, UTIME_OMIT }, { QDateTime::currentSecsSinceEpoch() - 3600, 0 } };
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(folder).constData(), times, 0) == 0);
}

} // namespace

class BackupHistoryTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void recordCodingRoundTripsAndLeavesAbsentFieldsOut()
    {
        const BackupRecord full = fullRecord();
        const QByteArray bytes = full.encoded();
        QVERIFY(!bytes.contains('\n') && !bytes.contains("\": ") && !bytes.contains(", \""));
        QVERIFY(bytes.contains("\"bytesAdded\":9007199254740993"));
        QVERIFY(bytes.contains("\"startedAt\":761234567.25"));
        QVERIFY(bytes.contains("\"outcome\":\"incomplete\""));
        QVERIFY(BackupRecord::decoded(bytes, QStringLiteral("x")) == full);
        QCOMPARE(json::parseObject(bytes).size(), 13);

        BackupRecord minimal(full.destinationID, Date { 1 });
        const QJsonObject object = json::parseObject(minimal.encoded());
        QStringList keys = object.keys();
        keys.sort();
        QCOMPARE(keys,
            (QStringList { "accessGranted", "bytesAdded", "destinationID", "id", "issues", "outcome", "startedAt" }));
        QCOMPARE(object.value("outcome").toString(), QStringLiteral("running"));
        QCOMPARE(object.value("id").toString(), uuidText(minimal.id));
        QVERIFY(uuidText(minimal.id) == uuidText(minimal.id).toUpper());
        QVERIFY(BackupRecord::decoded(minimal.encoded(), QStringLiteral("x")) == minimal);
    }

    void recordDecoding_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value"); // JSON text; empty removes the key
        QTest::addColumn<bool>("decodes");
        for (const char *key :
            { "id", "destinationID", "startedAt", "outcome", "issues", "accessGranted", "bytesAdded" })
            QTest::addRow("without %s", key) << key << QString() << false;
        for (const char *key : { "finishedAt", "snapshotID", "maintenance", "prunedAt", "scope", "skippedProtected" })
            QTest::addRow("without %s", key) << key << QString() << true;
        test::dataRow("unknown outcome", "outcome", "\"done\"", false);
        test::dataRow("outcome in capitals", "outcome", "\"Complete\"", false);
        test::dataRow("issues not a list", "issues", "\"x\"", false);
        test::dataRow("issue not a text", "issues", "[1]", false);
        test::dataRow("access as text", "accessGranted", "\"true\"", false);
        test::dataRow("fractional bytes", "bytesAdded", "1.5", false);
        test::dataRow("date as text", "startedAt", "\"2025-01-01T00:00:00Z\"", false);
        test::dataRow("id not a UUID", "id", "\"abc\"", false);
        test::dataRow("null required", "issues", "null", false);
        test::dataRow("skipped not a list", "skippedProtected", "\"x\"", false);
        test::dataRow("unknown key ignored", "comment", "{\"a\":1}", true);
        test::dataRow("lower-case UUID read", "id", "\"0f8fad5b-d9cb-469f-a165-70867728950e\"", true);
    }

    void recordDecoding()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(bool, decodes);
        QJsonObject object = fullRecord().toJson();
        if (value.isEmpty())
            object.remove(key);
        else
            object.insert(key, json::parse("[" + value.toUtf8() + "]").array().at(0));
        const QByteArray bytes = json::compact(object);
        if (decodes) {
            BackupRecord::decoded(bytes, QStringLiteral("The record"));
        } else {
            QVERIFY_THROWS_EXCEPTION(JsonError, BackupRecord::decoded(bytes, QStringLiteral("The record")));
        }
    }

    void missingFolderIsAnEmptyHistory()
    {
        test::TestHome home;
        const BackupHistory history;
        QCOMPARE(history.directory(), home.dataDirectory() + QStringLiteral("/history"));
        const Destination destination = makeDestination(Destination::Schedule::hourly);
        QVERIFY(history.records(destination.id).isEmpty());
        QVERIFY(history.isDue(destination, now));
        QVERIFY(history.isPruneDue(destination, now));
        QVERIFY(!QFileInfo::exists(history.directory()));
    }

    void listingKeepsOnlyJsonFilesAndSortsNewestFirst()
    {
        test::TestHome home;
        const BackupHistory history(home.path() + QStringLiteral("/history"));
        const Destination destination = makeDestination(Destination::Schedule::daily);
        QList<BackupRecord> stored;
        for (double started : { 100.0, 300.0, 200.0 }) {
            BackupRecord record(destination.id, Date { started });
            record.finishedAt = Date { 1000 - started }; // plays no part in the order
            store(history, record);
            stored.append(record);
        }
        BackupRecord other(newUuid(), Date { 400 });
        store(history, other);
        const QByteArray copy = stored.first().encoded();
        test::writeFile(history.directory() + QStringLiteral("/copy.txt"), copy);
        test::writeFile(history.directory() + QStringLiteral("/COPY.JSON"), copy);
        test::writeFile(history.directory() + QStringLiteral("/copy.json.tmp"), copy);
        test::writeFile(history.directory() + QStringLiteral("/copy.Json"), copy);
        // A record copied under a second name is one run.
        test::writeFile(history.directory() + QStringLiteral("/copy.json"), copy);
        // What killed writes left is cleared.
        const QString leftover = history.filePath(stored.first().id) + QStringLiteral(".~Ab12Cd");
        test::writeFile(leftover, copy.left(10));
        test::writeFile(HistoryIndex::pathFor(history.directory()) + QStringLiteral(".~Ab12Cd"), "x");

        const QList<BackupRecord> listed = history.records(destination.id);
        QVERIFY(!QFileInfo::exists(leftover));
        QVERIFY(!QFileInfo::exists(HistoryIndex::pathFor(history.directory()) + QStringLiteral(".~Ab12Cd")));
        QCOMPARE(listed.size(), 3);
        QVERIFY(listed.at(0) == stored.at(1));
        QVERIFY(listed.at(1) == stored.at(2));
        QVERIFY(listed.at(2) == stored.at(0));
        QCOMPARE(history.records(other.destinationID).size(), 1);

        // Records without a scope or of an older one belong to the destination, not to its
        // current settings.
        QVERIFY(history.records(destination).isEmpty());
        BackupRecord current(destination.id, Date { 50 });
        current.scope = destination.backupScope();
        store(history, current);
        QCOMPARE(history.records(destination.id).size(), 4);
        const QList<BackupRecord> forSettings = history.records(destination);
        QCOMPARE(forSettings.size(), 1);
        QVERIFY(forSettings.first() == current);
    }

    void equalStartTimesKeepFolderOrder()
    {
        test::TestHome home;
        const BackupHistory history(home.path() + QStringLiteral("/history"));
        const QUuid destination = newUuid();
        QList<QUuid> ids;
        for (int i = 0; i < 6; ++i) {
            BackupRecord record(destination, Date { 500 });
            store(history, record);
        }
        BackupRecord newest(destination, Date { 501 });
        store(history, newest);
        const FolderReader folder(history.directory(), QStringLiteral("history"));
        for (const QByteArray &name : folder.names())
            if (name != uuidText(newest.id).toLatin1() + ".json")
                ids.append(*parseUuid(QString::fromLatin1(name.chopped(5))));
        QList<QUuid> order;
        for (const BackupRecord &record : history.records(destination))
            order.append(record.id);
        QCOMPARE(order.takeFirst(), newest.id);
        QCOMPARE(order, ids);
    }

    void oneBadFileIsSetAsideAndTheRestListed_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty object") << QByteArray("{}");
        QTest::newRow("not JSON") << QByteArray("{\"id\":");
        QTest::newRow("array") << QByteArray("[]");
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("folder named .json") << QByteArray("<folder>");
    }

    void oneBadFileIsSetAsideAndTheRestListed()
    {
        QFETCH(QByteArray, content);
        test::TestHome home;
        const BackupHistory history(home.path() + QStringLiteral("/history"));
        Destination hourly = makeDestination(Destination::Schedule::hourly);
        storeRecords(history, hourly, QStringLiteral("complete:-9000:-8000"));
        QCOMPARE(history.records(hourly).size(), 1);

        const QString bad = history.directory() + QStringLiteral("/bad.json");
        if (content == "<folder>")
            QDir().mkpath(bad);
        else
            test::writeFile(bad, content);
        // A damaged record is renamed out of the listing once; one that cannot be read at all
        // (a folder) stays where it is. Neither hides the others or stops the schedule.
        const bool damaged = content != "<folder>";
        if (damaged)
            QTest::ignoreMessage(
                QtInfoMsg, QRegularExpression(QStringLiteral("bad\\.json.*set aside as bad\\.json\\.damaged")));
        else
            QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("bad\\.json")));
        QCOMPARE(history.records(newUuid()).size(), 0);
        QCOMPARE(QFileInfo::exists(bad), !damaged);
        QCOMPARE(
            history.setAsideRecords(), damaged ? QStringList { QStringLiteral("bad.json.damaged") } : QStringList {});
        QCOMPARE(history.records(hourly).size(), 1);
        QVERIFY(history.isDue(hourly, now));

        // Damaged again under the same name: the earlier copy is kept.
        if (damaged) {
            test::writeFile(bad, "x");
            QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("set aside as bad\\.json\\.damaged-2")));
            QCOMPARE(history.records(hourly).size(), 1);
            QCOMPARE(history.setAsideRecords(), (QStringList { "bad.json.damaged", "bad.json.damaged-2" }));
        }
    }

    // A record names its destination plainly; only the records of the destinations asked about
    // are decoded, so those of destinations long removed cost a read and nothing more.
    void recordsAreFoundWhateverTheirSpelling()
    {
        test::TestHome home;
        const BackupHistory history(home.path() + QStringLiteral("/history"));
        const QUuid asked = newUuid();
        const QUuid other = newUuid();
        const QUuid escaped = newUuid();
        store(history, BackupRecord(asked, Date { 10 }));
        store(history, BackupRecord(escaped, Date { 20 }));
        const QString otherFile = history.directory() + QStringLiteral("/other.json");
        test::writeFile(otherFile, "{\"destinationID\" : \"" + uuidText(other).toUtf8() + "\", \"outcome\": \"?\"}");
        // Written with an escape, the id is only known once the record is decoded.
        const BackupRecord late(escaped, Date { 30 });
        const QByteArray id = uuidText(escaped).toUtf8();
        test::writeFile(history.filePath(late.id),
            late.encoded().replace("\"destinationID\":\"" + id,
                "\"destinationID\":\"\\u00" + QByteArray::number(id.at(0), 16) + id.mid(1)));

        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("other\\.json.*set aside")));
        QCOMPARE(history.records(asked).size(), 1);
        const QHash<QUuid, QList<BackupRecord>> both = history.records(QList<QUuid> { asked, escaped });
        QCOMPARE(both.value(asked).size(), 1);
        QCOMPARE(both.value(escaped).size(), 2);
        QCOMPARE(both.value(escaped).first().id, late.id);
        QVERIFY(history.records(other).isEmpty());
        QVERIFY(!QFileInfo::exists(otherFile));
    }

    void folderThatIsAFileFails()
    {
        test::TestHome home;
        test::writeFile(home.path() + QStringLiteral("/history"), "x");
        const BackupHistory history(home.path() + QStringLiteral("/history"));
        QVERIFY_THROWS_EXCEPTION(Error, history.records(newUuid()));
    }

    void repeatedListingSeesEveryChange()
    {
        test::TestHome home;
        const BackupHistory history(home.path() + QStringLiteral("/history"));
        const QUuid destination = newUuid();
        BackupRecord record(destination, Date { 10 });
        record.snapshotID = QStringLiteral("aaaa");
        store(history, record);
        QCOMPARE(history.records(destination).first().snapshotID, record.snapshotID);
        QCOMPARE(history.records(destination).first().snapshotID, record.snapshotID);

        // Same size, same second: only the file's identity tells the versions apart.
        record.snapshotID = QStringLiteral("bbbb");
        store(history, record);
        QCOMPARE(history.records(destination).first().snapshotID, QStringLiteral("bbbb"));

        BackupRecord second(destination, Date { 20 });
        store(history, second);
        QCOMPARE(history.records(destination).size(), 2);

        // A new file is read at once: this one is damaged, so it is set aside.
        test::writeFile(history.directory() + QStringLiteral("/late.json"), "{}");
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("late\\.json")));
        QCOMPARE(history.records(destination).size(), 2);
        QVERIFY(!QFileInfo::exists(history.directory() + QStringLiteral("/late.json")));

        QFile::remove(history.filePath(second.id));
        QCOMPARE(history.records(destination).size(), 1);
        QVERIFY(history.records(destination).first() == record);

        // A second view of the same folder under another spelling agrees.
        const BackupHistory sameFolder(history.directory() + QStringLiteral("/./"));
        QCOMPARE(sameFolder.records(destination).size(), 1);
        QDir(history.directory()).removeRecursively();
        QVERIFY(history.records(destination).isEmpty());
    }

    void quietFolderStillSeesEveryChange()
    {
        test::TestHome home;
        const BackupHistory history(home.path() + QStringLiteral("/history"));
        const QUuid destination = newUuid();
        // A folder last changed an hour ago, as between two polls of a view.
        auto quiet = [&](const QString &folder) {
            quieten(folder);
            history.records(destination);
            allOutlines(history, destination);
        };
        BackupRecord first(destination, Date { 10 });
        first.snapshotID = QStringLiteral("aaaa");
        store(history, first);
        BackupRecord second(destination, Date { 20 });
        store(history, second);
        quiet(history.directory());
        QCOMPARE(history.records(destination).size(), 2);
        QVERIFY(indexAgrees(history, destination));

        first.snapshotID = QStringLiteral("bbbb");
        store(history, first);
        QCOMPARE(history.records(destination).last().snapshotID, QStringLiteral("bbbb"));
        QVERIFY(indexAgrees(history, destination));

        quiet(history.directory());
        BackupRecord third(destination, Date { 30 });
        store(history, third);
        QCOMPARE(history.records(destination).size(), 3);
        QVERIFY(indexAgrees(history, destination));

        quiet(history.directory());
        QFile::remove(history.filePath(second.id));
        QCOMPARE(history.records(destination).size(), 2);
        QVERIFY(indexAgrees(history, destination));

        quiet(history.directory());
        test::writeFile(history.directory() + QStringLiteral("/bad.json"), "{}");
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("bad\\.json")));
        QCOMPARE(history.records(destination).size(), 2);
        QVERIFY(!QFileInfo::exists(history.directory() + QStringLiteral("/bad.json")));

        // Another folder moved into the place, with the same modification time.
        quiet(history.directory());
        const QString other = home.path() + QStringLiteral("/other");
        const BackupHistory otherHistory(other);
        store(otherHistory, BackupRecord(destination, Date { 40 }));
        const QFileInfo before(history.directory());
        QVERIFY(QDir().rename(history.directory(), home.path() + QStringLiteral("/old")));
        QVERIFY(QDir().rename(other, history.directory()));
        const timespec same[2] = { { 0, UTIME_OMIT }, { before.lastModified().toSecsSinceEpoch(), 0 } };
        ::utimensat(AT_FDCWD, QFile::encodeName(history.directory()).constData(), same, 0);
        QCOMPARE(history.records(destination).size(), 1);
        QVERIFY(indexAgrees(history, destination));

        quiet(history.directory());
        QDir(history.directory()).removeRecursively();
        QVERIFY(history.records(destination).isEmpty());
    }

    void replacementInTheSameClockTickIsSeen()
    {
        // Folder times move in coarse ticks; a listing right after a change must not trust the
        // folder's time alone. Quick renames make a same-tick replacement likely in some round.
        test::TestHome home;
        const BackupHistory history(home.path() + QStringLiteral("/history"));
        const QUuid destination = newUuid();
        BackupRecord record(destination, Date { 10 });
        const QString path = history.filePath(record.id);
        const QString aside = home.path() + QStringLiteral("/aside");
        QDir().mkpath(history.directory());
        for (int round = 0; round < 100; ++round) {
            record.bytesAdded = 1000 + round;
            record.outcome = round % 2 ? BackupRecord::Outcome::failed : BackupRecord::Outcome::complete;
            test::writeFile(aside, record.encoded());
            QVERIFY(::rename(QFile::encodeName(aside).constData(), QFile::encodeName(path).constData()) == 0);
            QCOMPARE(history.records(destination).first().bytesAdded, record.bytesAdded);
            QCOMPARE(history.newest(destination, 1).first().bytesAdded, record.bytesAdded);
            QVERIFY(allOutlines(history, destination).first().outcome == record.outcome);
        }
    }

    // The index beside the folder is a cache: damaged, missing, stale or contradicted by a record
    // file, the files decide, in a process that has not seen it before.
    void indexIsNeverTrustedOverTheFiles_data()
    {
        QTest::addColumn<QString>("damage");
        // "after reading": damaged in place once this process has read the file.
        // "copied", "from elsewhere": a record file written by another program (a sync, a copy).
        for (const char *damage : { "missing", "garbage", "truncated", "flipped", "stale", "edited",
                 "truncated after reading", "table rewritten after reading", "older copy after reading", "copied",
                 "from elsewhere", "appended, flipped", "appended, cut short" })
            QTest::newRow(damage) << QString::fromLatin1(damage);
    }

    void indexIsNeverTrustedOverTheFiles()
    {
        QFETCH(QString, damage);
        test::TestHome home;
        const BackupHistory history(home.path() + QStringLiteral("/history"));
        const Destination destination = makeDestination(Destination::Schedule::daily);
        const Destination other = makeDestination(Destination::Schedule::daily);
        storeRecords(history, destination, QStringLiteral("complete:-90000:-89000;failed:-7200:-7100"));
        storeRecords(history, other, QStringLiteral("complete:-9000:-8000"));
        quieten(history.directory());
        QVERIFY(indexAgrees(history, destination.id));
        const QString index = history.directory() + QStringLiteral(".index");
        QVERIFY(QFileInfo::exists(index));
        const bool afterReading = damage.endsWith(u" after reading");
        if (afterReading) {
            BackupHistory::clearCache();
            QVERIFY(indexAgrees(history, destination.id));
        }

        const bool appended = damage.startsWith(u"appended");
        const qint64 appendedAt = QFileInfo(index).size();
        if (appended) {
            // Our writer adds the record's entry at the end of the index: the damage hits that.
            BackupRecord run(destination.id, now.addingSeconds(-600));
            run.scope = destination.backupScope();
            history.write(run);
        }
        QFile file(index);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        if (damage == u"missing") {
            file.remove();
        } else if (damage == u"garbage") {
            file.resize(0);
            file.write("not an index");
        } else if (damage == u"appended, cut short") {
            file.resize(bytes.size() - 9);
        } else if (damage.startsWith(u"truncated")) {
            file.resize(bytes.size() / 2);
        } else if (damage.startsWith(u"table")) {
            // Where the header ends and the destination table begins.
            file.seek(96);
            file.write(QByteArray(16, '\xff'));
        } else if (damage == u"appended, flipped") {
            // The appended entry's outcome, "running", read as "complete": only its checksum can tell.
            bytes[appendedAt + 112] = char(bytes.at(appendedAt + 112) ^ 1);
            file.seek(0);
            file.write(bytes);
        } else if (damage == u"flipped") {
            // Within the last entry or the bytes after it: only a checksum can tell.
            bytes[bytes.size() - 60] = char(bytes.at(bytes.size() - 60) ^ 0x20);
            file.seek(0);
            file.write(bytes);
        } else if (damage.startsWith(u"older")) {
            // Our writer replaces the index, this process reads the new one, and then the older
            // copy is written over it in place, as restoring the folder from a backup does.
            file.close();
            BackupRecord newest = history.records(destination.id).first();
            newest.outcome = BackupRecord::Outcome::complete;
            history.write(newest);
            QVERIFY(indexAgrees(history, destination.id));
            QVERIFY(file.open(QIODevice::ReadWrite));
            file.write(bytes);
            file.resize(bytes.size());
            // Outlines are not checked against the record files, so only the index can tell.
            QVERIFY(allOutlines(history, destination.id).first().outcome == BackupRecord::Outcome::complete);
        } else if (damage == u"stale") {
            storeRecords(history, destination, QStringLiteral("complete:-3000:-2000"));
            quieten(history.directory());
        } else if (damage == u"copied") {
            QVERIFY(QFile::copy(history.filePath(history.records(destination.id).first().id),
                history.directory() + QStringLiteral("/a copy.json")));
            quieten(history.directory());
        } else if (damage == u"from elsewhere") {
            BackupRecord arrived(destination.id, now.addingSeconds(-600));
            arrived.outcome = BackupRecord::Outcome::complete;
            arrived.finishedAt = now.addingSeconds(-500);
            arrived.scope = destination.backupScope();
            QFile record(history.filePath(arrived.id));
            QVERIFY(record.open(QIODevice::WriteOnly));
            record.write(arrived.encoded());
            record.close();
            quieten(history.directory());
        } else {
            // Rewritten in place, so the folder itself looks unchanged.
            BackupRecord newest = history.records(destination.id).first();
            newest.outcome = BackupRecord::Outcome::complete;
            QFile record(history.filePath(newest.id));
            QVERIFY(record.open(QIODevice::WriteOnly | QIODevice::Truncate));
            record.write(newest.encoded());
        }
        file.close();
        if (!afterReading)
            BackupHistory::clearCache();
        if (appended) // outlines are read from the index alone
            QVERIFY(allOutlines(history, destination.id).first().outcome == BackupRecord::Outcome::running);

        QVERIFY(indexAgrees(history, destination.id));
        QVERIFY(indexAgrees(history, other.id));
        QCOMPARE(
            history.isDue(destination, now), BackupHistory::isDue(destination, history.records(destination.id), now));
        // One run per record, however many files hold it.
        const QList<BackupRecord> listed = history.records(destination.id);
        QSet<QUuid> ids;
        for (const BackupRecord &record : listed)
            ids.insert(record.id);
        QCOMPARE(ids.size(), listed.size());
        QCOMPARE(listed.size(), damage == u"stale" || damage == u"from elsewhere" || appended ? 3 : 2);
    }

    // A name read from the index becomes a path in the folder only when it is one plain name.
    void indexNamesArePlain()
    {
        for (const QByteArray &name : { QByteArray(), QByteArray("."), QByteArray(".."), QByteArray("../x.json"),
                 QByteArray("a/b.json"), QByteArray("/x.json"), QByteArray("x\0.json", 7) })
            QVERIFY2(!HistoryIndex::plainName(name), name.constData());
        QVERIFY(HistoryIndex::plainName("..x.json"));
    }

    // Records written through the history keep its index current without a rebuild; what it
    // says then is what a rebuild from the files says.
    void writtenRecordsKeepTheIndexCurrent()
    {
        test::TestHome home;
        const BackupHistory history(home.path() + QStringLiteral("/history"));
        const Destination destination = makeDestination(Destination::Schedule::daily);
        const Destination other = makeDestination(Destination::Schedule::daily);
        storeRecords(history, destination, QStringLiteral("complete:-90000:-89000"));
        quieten(history.directory());
        history.outlines({ destination });

        BackupRecord run(destination.id, now.addingSeconds(-3000));
        run.scope = destination.backupScope();
        history.write(run);
        history.write(BackupRecord(other.id, now.addingSeconds(-100)));
        run.outcome = BackupRecord::Outcome::complete;
        run.finishedAt = now.addingSeconds(-2900);
        run.prunedAt = now.addingSeconds(-2900);
        history.write(run);
        BackupRecord older(destination.id, now.addingSeconds(-50000));
        older.outcome = BackupRecord::Outcome::failed;
        older.scope = QStringLiteral("0123");
        history.write(older);
        // A record the index held before these writes, written again: its entry is replaced.
        BackupRecord first = history.records(destination.id).last();
        first.outcome = BackupRecord::Outcome::failed;
        history.write(first);

        const auto listed = [&] {
            return std::tuple(history.records(destination.id), allOutlines(history, destination.id),
                history.outlines({ destination }).value(destination.id), history.records(other.id),
                history.isPruneDue(destination, now), history.anyRunning(other.id));
        };
        const auto written = listed();
        QCOMPARE(std::get<0>(written).size(), 3);
        QVERIFY(std::get<0>(written).last().outcome == BackupRecord::Outcome::failed);
        QCOMPARE(std::get<0>(written).first(), run);
        QCOMPARE(std::get<2>(written).size(), 1);
        QVERIFY(std::get<5>(written));
        QVERIFY(QFile::remove(history.directory() + QStringLiteral(".index")));
        BackupHistory::clearCache();
        QVERIFY(listed() == written);
    }

    // A folder changed less than the settle time before it was read may change again within the
    // same clock tick of its stamp: its index is not trusted later.
    void folderReadBeforeItSettledIsReadAgain()
    {
        test::TestHome home;
        const QString folder = home.path() + QStringLiteral("/history");
        BackupRecord record(newUuid(), Date { 10 });
        store(BackupHistory(folder), record);
        const Date changed = Date::fromUnix(double(QFileInfo(folder).lastModified().toMSecsSinceEpoch()) / 1000);
        const BackupHistory history(folder, [&] { return changed.addingSeconds(0.5); });
        QVERIFY(allOutlines(history, record.destinationID).first().outcome == BackupRecord::Outcome::running);

        // A change the folder's stamp does not show.
        record.outcome = BackupRecord::Outcome::complete;
        QFile file(history.filePath(record.id));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(record.encoded());
        file.close();
        QVERIFY(allOutlines(history, record.destinationID).first().outcome == BackupRecord::Outcome::complete);

        // Still unsettled, the folder is read once for all the destinations of one call.
        int reads = 0;
        const BackupHistory counted(folder, [&] {
            ++reads;
            return changed.addingSeconds(0.5);
        });
        Destination recorded = makeDestination(Destination::Schedule::daily);
        recorded.id = record.destinationID;
        const auto outlines = counted.outlines({ recorded, makeDestination(Destination::Schedule::daily),
            makeDestination(Destination::Schedule::hourly) });
        QCOMPARE(outlines.size(), 1);
        QCOMPARE(reads, 1);
    }

    void isDue_data()
    {
        QTest::addColumn<int>("schedule");
        QTest::addColumn<QString>("records");
        QTest::addColumn<bool>("due");
        const int hourly = int(Destination::Schedule::hourly);
        const int daily = int(Destination::Schedule::daily);
        const int manual = int(Destination::Schedule::manual);

        QTest::newRow("no records") << hourly << "" << true;
        QTest::newRow("manual with old records") << manual << "complete:-900000:-899000" << false;
        QTest::newRow("only an older scope") << hourly << "complete:-700:-600:old" << true;
        QTest::newRow("running, started 30 min ago") << hourly << "running:-1800:" << false;
        QTest::newRow("running, started an hour ago") << hourly << "running:-3600:" << true;
        QTest::newRow("cancelled newest, 59 min") << daily << "cancelled:-3600:-3540;complete:-99000:-98000" << false;
        QTest::newRow("spacing 3599.9 s") << hourly << "complete:-3700:-3599.9" << false;
        QTest::newRow("spacing 3600 s") << hourly << "complete:-3700:-3600" << true;
        QTest::newRow("daily success 86399 s ago") << daily << "complete:-86500:-86399" << false;
        QTest::newRow("daily success 86400 s ago") << daily << "complete:-86500:-86400" << true;
        QTest::newRow("daily success 25 h, one failure 2 h")
            << daily << "complete:-90100:-90000;failed:-7300:-7200" << true;
        QTest::newRow("daily success 23 h, one failure 2 h")
            << daily << "complete:-82900:-82800;failed:-7300:-7200" << false;
        QTest::newRow("daily success 25 h, two failures and a running")
            << daily << "complete:-90100:-90000;failed:-50000:-49000;incomplete:-20000:-19000;running:-7200:" << true;
        QTest::newRow("daily success 25 h, three failures, newest 2 h")
            << daily << "complete:-90100:-90000;failed:-50000:-49000;incomplete:-20000:-19000;failed:-7300:-7200"
            << false;
        QTest::newRow("three failures, newest 86399 s")
            << daily << "complete:-190000:-189000;failed:-100000:-99000;failed:-95000:-94000;failed:-86500:-86399"
            << false;
        QTest::newRow("three failures, newest 86400 s")
            << daily << "complete:-190000:-189000;failed:-100000:-99000;failed:-95000:-94000;failed:-86500:-86400"
            << true;
        QTest::newRow("three failures without any success, newest 2 h")
            << daily << "failed:-100000:-99000;failed:-95000:-94000;failed:-7300:-7200" << false;
        QTest::newRow("two failures without any success, newest 2 h")
            << daily << "failed:-95000:-94000;failed:-7300:-7200" << true;
        QTest::newRow("failures before the success do not count")
            << daily
            << "failed:-300000:-299000;failed:-290000:-289000;failed:-280000:-279000;"
               "complete:-82900:-82800;failed:-7300:-7200"
            << false;
        QTest::newRow("hourly, only cancelled, newest 61 min")
            << hourly << "cancelled:-9000:-8000;cancelled:-3700:-3660" << true;
        QTest::newRow("complete without finish, 70 min") << hourly << "complete:-4200:" << true;
        QTest::newRow("complete without finish, 50 min") << hourly << "complete:-3000:" << false;
        QTest::newRow("hourly back-off, newest 3600 s")
            << hourly << "failed:-9000:-8000;failed:-7000:-6000;failed:-3700:-3600" << true;
        // Made while the clock was two days ahead: as if it had not happened.
        QTest::newRow("hourly success 2 h, one dated two days ahead")
            << hourly << "complete:-7300:-7200;complete:172700:172800" << true;
    }

    void isDue()
    {
        QFETCH(int, schedule);
        QFETCH(QString, records);
        QFETCH(bool, due);
        test::TestHome home;
        const BackupHistory history(home.path() + QStringLiteral("/history"));
        const Destination destination = makeDestination(Destination::Schedule(schedule));
        storeRecords(history, destination, records);
        QCOMPARE(history.isDue(destination, now), due);
    }

    void isPruneDue_data()
    {
        QTest::addColumn<QList<double>>("prunedAgo"); // seconds before now; -1: not pruned
        QTest::addColumn<bool>("olderScope");
        QTest::addColumn<bool>("due");
        QTest::newRow("never pruned") << QList<double> { -1, -1 } << false << true;
        QTest::newRow("3 days ago, older scope") << QList<double> { 259200 } << true << false;
        QTest::newRow("604799 s ago") << QList<double> { 604799 } << false << false;
        QTest::newRow("604800 s ago") << QList<double> { 604800 } << false << true;
        QTest::newRow("latest counts") << QList<double> { 900000, 100, 700000 } << false << false;
        QTest::newRow("dated ahead counts for nothing") << QList<double> { 700000, -172800 } << false << true;
    }

    void isPruneDue()
    {
        QFETCH(QList<double>, prunedAgo);
        QFETCH(bool, olderScope);
        QFETCH(bool, due);
        test::TestHome home;
        const BackupHistory history(home.path() + QStringLiteral("/history"));
        const Destination destination = makeDestination(Destination::Schedule::daily);
        for (double ago : prunedAgo) {
            BackupRecord record(destination.id, now.addingSeconds(-1000000));
            record.outcome = BackupRecord::Outcome::complete;
            if (ago != -1)
                record.prunedAt = now.addingSeconds(-ago);
            record.scope = olderScope ? QStringLiteral("old") : destination.backupScope();
            store(history, record);
        }
        if (olderScope)
            QVERIFY(history.records(destination).isEmpty());
        QCOMPARE(history.isPruneDue(destination, now), due);
    }
};

QTEST_GUILESS_MAIN(BackupHistoryTest)
#include "BackupHistoryTest.moc"

#include "operations/BackupRequests.h"
#include "TestSupport.h"
#include "operations/OperationError.h"
#include "util/AtomicFile.h"
#include "util/Json.h"
#include "util/Uuid.h"

#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

using namespace vellmir;

namespace {

void setModified(const QString &path, qint64 unixSeconds)
{
    const timespec times[2] = { { unixSeconds, 0 }, { unixSeconds, 0 } };
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);
}

QString writeScript(const QString &folder, const QByteArray &body)
{
    const QString path = folder + QStringLiteral("/systemctl");
    test::writeFile(path, "#!/bin/sh\n" + body + "\n");
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace

class BackupRequestsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void enqueueReusesThePendingRequest()
    {
        test::TestHome home;
        const BackupRequests queue;
        QCOMPARE(queue.directory(), home.dataDirectory() + QStringLiteral("/requests"));
        QVERIFY(queue.pending().isEmpty());
        QVERIFY(!QFileInfo::exists(queue.directory()));

        const QUuid destination = newUuid();
        const Date now = Date::fromUnix(1740816000.75); // 2025-03-01T08:00:00.75Z
        const BackupRequests::Request first = queue.enqueue(destination, now);
        const BackupRequests::Request second = queue.enqueue(destination, now.addingSeconds(90));
        QVERIFY(first == second);
        QVERIFY(first.requestedAt == Date::fromUnix(1740816000));
        QCOMPARE(entries(queue.directory()), QStringList { "request-" + uuidText(destination) + ".json" });
        QCOMPARE(test::readFile(queue.requestFilePath(destination)),
            "{\"destinationID\":\"" + uuidText(destination).toLatin1() + "\",\"id\":\"" + uuidText(first.id).toLatin1()
                + "\",\"requestedAt\":\"2025-03-01T08:00:00Z\"}");
        const QList<BackupRequests::Request> pending = queue.pending();
        QCOMPARE(pending.size(), 1);
        QVERIFY(pending.first() == first);

        // Once answered, the next request for the destination is a new one under the same name.
        queue.complete(first, { first.id, destination, std::nullopt, QStringLiteral("complete"), std::nullopt });
        QVERIFY(queue.pending().isEmpty());
        const BackupRequests::Request third = queue.enqueue(destination, now);
        QVERIFY(third.id != first.id);
        QCOMPARE(entries(queue.directory()),
            QStringList({ "request-" + uuidText(destination) + ".json", "result-" + uuidText(first.id) + ".json" }));
    }

    void enqueueCreatesTheFolderWithItsParents()
    {
        test::TestHome home;
        const BackupRequests queue(home.path() + QStringLiteral("/a/b/requests"));
        queue.enqueue(newUuid(), Date::now());
        QCOMPARE(queue.pending().size(), 1);
        QVERIFY(QFileInfo::exists(home.path() + QStringLiteral("/a/b/requests.lock")));
    }

    void pendingIsOldestFirstAndReadsOnlyRequestFiles()
    {
        test::TestHome home;
        const BackupRequests queue(home.path() + QStringLiteral("/requests"));
        const QUuid a = newUuid(), b = newUuid(), c = newUuid();
        const BackupRequests::Request late = queue.enqueue(a, Date { 3000 });
        const BackupRequests::Request early = queue.enqueue(b, Date { 1000 });
        const BackupRequests::Request middle = queue.enqueue(c, Date { 2000 });
        const QByteArray copy = test::readFile(queue.requestFilePath(a));
        for (const char *name : { "request-x.txt", "other.json", "Request-x.json", "request-x.JSON" })
            test::writeFile(queue.directory() + u'/' + QLatin1String(name), copy + "garbage");
        QList<BackupRequests::Request> expected { early, middle, late };
        QVERIFY(queue.pending() == expected);
    }

    void damagedRequestFileIsSetAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        const QByteArray ids = "\"id\":\"0F8FAD5B-D9CB-469F-A165-70867728950E\","
                               "\"destinationID\":\"7C9E6679-7425-40DE-944B-E07FC1F90AE7\"";
        QTest::newRow("fractional seconds") << "{" + ids + ",\"requestedAt\":\"2025-03-01T08:00:00.5Z\"}";
        QTest::newRow("missing requestedAt") << "{" + ids + "}";
        QTest::newRow("zone offset") << "{" + ids + ",\"requestedAt\":\"2025-03-01T09:00:00+01:00\"}";
        QTest::newRow("seconds since 2001") << "{" + ids + ",\"requestedAt\":762508800}";
        test::dataRow("bad UUID",
            QByteArray("{\"id\":\"x\",\"destinationID\":\"7C9E6679-7425-40DE-944B-E07FC1F90AE7\","
                       "\"requestedAt\":\"2025-03-01T08:00:00Z\"}"));
        QTest::newRow("not JSON") << QByteArray("{");
        // Neither waited on nor followed.
        QTest::newRow("a FIFO in its place") << QByteArray("FIFO");
        QTest::newRow("a link in its place") << QByteArray("link");
    }

    void damagedRequestFileIsSetAside()
    {
        // One damaged file must not stop the queue of every destination: it is kept under
        // another name, and its destination can be asked for again.
        QFETCH(QByteArray, content);
        test::TestHome home;
        const BackupRequests queue(home.path() + QStringLiteral("/requests"));
        const BackupRequests::Request good = queue.enqueue(newUuid(), Date { 1000 });
        const QUuid damaged = newUuid();
        const QString path = queue.requestFilePath(damaged);
        const QString users = home.path() + QStringLiteral("/notes.txt");
        test::writeFile(users, "the user's own");
        const bool special = content == "FIFO" || content == "link";
        if (content == "FIFO")
            QCOMPARE(::mkfifo(path.toUtf8().constData(), 0600), 0);
        else if (content == "link")
            QVERIFY(QFile::link(users, path));
        else
            test::writeFile(path, content);
        QTest::ignoreMessage(
            QtInfoMsg, QRegularExpression(QStringLiteral("It was set aside as request-.*\\.json\\.damaged\\.$")));
        QVERIFY(queue.pending() == QList<BackupRequests::Request> { good });
        if (!special)
            QCOMPARE(test::readFile(path + BackupRequests::setAsideSuffix()), content);
        QCOMPARE(
            queue.setAsideRequests(damaged), QStringList { QFileInfo(path).fileName() + QStringLiteral(".damaged") });
        const BackupRequests::Request again = queue.enqueue(damaged, Date { 2000 });
        QVERIFY(queue.pending() == (QList<BackupRequests::Request> { good, again }));
        QCOMPARE(test::readFile(users), QByteArray("the user's own"));
    }

    void wellFormedRequestWithExtraKeysReads()
    {
        test::TestHome home;
        const BackupRequests queue(home.path() + QStringLiteral("/requests"));
        test::writeFile(queue.directory() + QStringLiteral("/request-x.json"),
            "{\"id\":\"0f8fad5b-d9cb-469f-a165-70867728950e\",\"destinationID\":\"7C9E6679-7425-40DE-944B-"
            "E07FC1F90AE7\","
            "\"requestedAt\":\"2025-03-01T08:00:00Z\",\"note\":1}");
        const QList<BackupRequests::Request> pending = queue.pending();
        QCOMPARE(pending.size(), 1);
        QCOMPARE(uuidText(pending.first().id), QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E"));
        QCOMPARE(pending.first().requestedAt.iso8601(), QStringLiteral("2025-03-01T08:00:00Z"));
    }

    void resultCodingLeavesAbsentFieldsOut()
    {
        test::TestHome home;
        const BackupRequests queue(home.path() + QStringLiteral("/requests"));
        const BackupRequests::Request request = queue.enqueue(newUuid(), Date::now());
        const BackupRequests::Result bare { request.id, request.destinationID, std::nullopt, "failed", std::nullopt };
        queue.complete(request, bare);
        const QByteArray text = test::readFile(queue.resultFilePath(request.id));
        QVERIFY(!text.contains("recordID") && !text.contains("message") && !text.contains("null"));
        QVERIFY(queue.result(request.id) == bare);

        const BackupRequests::Result full { request.id, request.destinationID, newUuid(), "complete",
            QStringLiteral("Backed up “Disk”.") };
        writeFileAtomically(queue.resultFilePath(request.id), json::compact(full.toJson()));
        QVERIFY(queue.result(request.id) == full);
        QVERIFY(!queue.result(newUuid()));
        test::writeFile(queue.resultFilePath(request.id), "{\"requestID\":1}");
        QVERIFY_THROWS_EXCEPTION(JsonError, queue.result(request.id));
    }

    void staleResultsAreRemoved_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("age");
        QTest::addColumn<bool>("kept");
        QTest::newRow("exactly seven days") << "result-A.json" << qint64(604800) << true;
        QTest::newRow("a second older") << "result-B.json" << qint64(604801) << false;
        QTest::newRow("any extension") << "result-C.txt" << qint64(604801) << false;
        QTest::newRow("no extension") << "result-" << qint64(700000) << false;
        QTest::newRow("fresh") << "result-D.json" << qint64(10) << true;
        QTest::newRow("not a result") << "results.json" << qint64(900000) << true;
        QTest::newRow("old request") << "request-E.json" << qint64(900000) << true;
    }

    void staleResultsAreRemoved()
    {
        QFETCH(QString, name);
        QFETCH(qint64, age);
        QFETCH(bool, kept);
        test::TestHome home;
        const BackupRequests queue(home.path() + QStringLiteral("/requests"));
        const QString path = queue.directory() + u'/' + name;
        test::writeFile(path, "{}");
        const qint64 now = 1740816000;
        setModified(path, now - age);
        queue.removeStaleResults(Date::fromUnix(double(now)));
        QCOMPARE(QFileInfo::exists(path), kept);
    }

    void completeClearsStaleResults()
    {
        test::TestHome home;
        const BackupRequests queue(home.path() + QStringLiteral("/requests"));
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const QString old = queue.directory() + QStringLiteral("/result-old.json");
        const QString recent = queue.directory() + QStringLiteral("/result-recent.json");
        test::writeFile(old, "{}");
        test::writeFile(recent, "{}");
        setModified(old, now - 8 * 86400);
        setModified(recent, now - 6 * 86400);
        const BackupRequests::Request request = queue.enqueue(newUuid(), Date::now());
        queue.complete(request, { request.id, request.destinationID, std::nullopt, "complete", std::nullopt });
        QVERIFY(!QFileInfo::exists(old));
        QVERIFY(QFileInfo::exists(recent));
        QVERIFY(QFileInfo::exists(queue.resultFilePath(request.id)));
    }

    void completeThatCannotWriteLeavesTheRequestPending()
    {
        test::TestHome home;
        const BackupRequests queue(home.path() + QStringLiteral("/requests"));
        const BackupRequests::Request request = queue.enqueue(newUuid(), Date::now());
        QDir().mkpath(queue.resultFilePath(request.id)); // a folder where the result should go
        QVERIFY_THROWS_EXCEPTION(
            Error, queue.complete(request, { request.id, request.destinationID, {}, "complete", {} }));
        QVERIFY(queue.pending() == QList<BackupRequests::Request> { request });
    }

    void cancelWithdrawsOnlyItsOwnRequest()
    {
        test::TestHome home;
        const BackupRequests queue(home.path() + QStringLiteral("/requests"));
        const QUuid destination = newUuid();
        const BackupRequests::Request first = queue.enqueue(destination, Date { 100 });
        queue.cancel(first);
        QVERIFY(queue.pending().isEmpty());
        queue.cancel(first); // already gone: nothing happens

        // The first request was answered elsewhere and another agent queued a new one: a late
        // cancel or complete of the first must not take the second away.
        const BackupRequests::Request second = queue.enqueue(destination, Date { 200 });
        queue.cancel(first);
        queue.complete(first, { first.id, destination, std::nullopt, "complete", std::nullopt });
        QVERIFY(queue.pending() == QList<BackupRequests::Request> { second });
        queue.cancel(second);
        QVERIFY(queue.pending().isEmpty());

        // A damaged request file stands for no request and goes with a cancel.
        test::writeFile(queue.requestFilePath(destination), "{");
        queue.cancel(second);
        QVERIFY(queue.pending().isEmpty());

        const BackupRequests nowhere(home.path() + QStringLiteral("/missing/requests"));
        nowhere.cancel(second);
        nowhere.removeStaleResults(Date::now());
    }

    void twoProcessesEnqueueingAtOnceShareOneRequest()
    {
        test::TestHome home;
        const QString folder = home.path() + QStringLiteral("/requests");
        QStringList destinations;
        for (int i = 0; i < 40; ++i)
            destinations.append(uuidText(newUuid()));
        const QString start = QString::number(QDateTime::currentMSecsSinceEpoch() + 400);
        QProcess one, two;
        for (QProcess *process : { &one, &two }) {
            process->setProgram(QStringLiteral(VELLMIR_ENQUEUE_HELPER));
            process->setArguments(QStringList { folder, start } + destinations);
            process->start();
        }
        for (QProcess *process : { &one, &two }) {
            QVERIFY(process->waitForFinished(30000));
            QVERIFY2(process->exitCode() == 0, process->readAllStandardError().constData());
        }
        const QByteArray first = one.readAllStandardOutput();
        const QByteArray second = two.readAllStandardOutput();
        QCOMPARE(first.count('\n'), qsizetype(destinations.size()));
        QCOMPARE(first, second);

        const BackupRequests queue(folder);
        const QList<BackupRequests::Request> pending = queue.pending();
        QCOMPARE(pending.size(), destinations.size());
        for (const BackupRequests::Request &request : pending)
            QVERIFY(first.contains(uuidText(request.destinationID).toLatin1() + ' ' + uuidText(request.id).toLatin1()));
    }

    void kickScheduler_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("message"); // empty: success
        test::dataRow("starts the service",
            QByteArray("[ \"$(readlink /proc/$$/fd/0)\" = /dev/null ] || exit 9\n"
                       "[ \"$*\" = \"--user start --no-block vellmir-scheduler.service\" ] || exit 8\n"
                       "echo starting"),
            QString());
        const QString prefix = QStringLiteral("The background agent could not be started (");
        // Not registered is the reason only when systemd says it has no such unit.
        QTest::newRow("no user manager")
            << QByteArray("echo 'Failed to connect to bus: No medium found' >&2\nexit 1")
            << "The background agent could not be started: no systemd user manager answered (Failed to connect to "
               "bus: No medium found).";
        QTest::newRow("a session bus without a user manager")
            << QByteArray("echo 'Failed to start x.service: Process org.freedesktop.systemd1 exited with status 1' "
                          ">&2\nexit 1")
            << "The background agent could not be started: no systemd user manager answered (Failed to start "
               "x.service: Process org.freedesktop.systemd1 exited with status 1).";
        QTest::newRow("both streams, trimmed")
            << QByteArray("echo\necho '  Unit not found.'\necho 'see journal  ' >&2\nexit 5")
            << prefix
                + "Unit not found.\nsee journal). It is registered only while a destination has an hourly or daily "
                  "schedule.";
        QTest::newRow("silent failure") << QByteArray("exit 4") << prefix + "systemctl exit 4).";
        QTest::newRow("killed") << QByteArray("kill -9 $$") << prefix + "systemctl ended by signal 9).";
        QTest::newRow("invalid UTF-8 repaired")
            << QByteArray("printf 'bad \\377 byte'\nexit 1") << prefix + QString::fromUtf8("bad \xEF\xBF\xBD byte).");
        QTest::newRow("a descendant keeps the pipe open") << QByteArray("sleep 3 &\nexit 0") << QString();
    }

    void kickScheduler()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, message);
        test::TestHome home;
        const BackupRequests queue(home.path() + QStringLiteral("/requests"), writeScript(home.path(), script), 2000);
        if (message.isEmpty()) {
            queue.kickScheduler();
            return;
        }
        try {
            queue.kickScheduler();
            QFAIL("the kick should fail");
        } catch (const OperationError &error) {
            QCOMPARE(error.message(), message);
        }
    }

    void kickSchedulerFailsWithoutSystemctlOrWhenItHangs()
    {
        test::TestHome home;
        const QString prefix = QStringLiteral("The background agent could not be started (");
        const QString missing = home.path() + QStringLiteral("/no/systemctl");
        try {
            BackupRequests(home.path(), missing).kickScheduler();
            QFAIL("a missing systemctl must fail");
        } catch (const OperationError &error) {
            QVERIFY2(error.message().startsWith(prefix + missing + QStringLiteral(": ")), qPrintable(error.message()));
        }
        const BackupRequests hanging(home.path(), writeScript(home.path(), "exec sleep 30"), 300);
        try {
            hanging.kickScheduler();
            QFAIL("a hanging systemctl must fail");
        } catch (const OperationError &error) {
            QCOMPARE(error.message(), prefix + "systemctl did not finish within 0.3 seconds).");
        }
    }
};

QTEST_GUILESS_MAIN(BackupRequestsTest)
#include "BackupRequestsTest.moc"

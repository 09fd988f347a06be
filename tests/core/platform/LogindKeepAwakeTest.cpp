#include "platform/LogindKeepAwake.h"
#include "PrivateBus.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QThread>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace vellmir;

namespace {
// logind's manager, reduced to Inhibit: hands out the write end of a pipe and keeps the read
// end, which reports a hang-up once every copy of the write end is closed.
class FakeLogind : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    ~FakeLogind() override
    {
        if (readEnd >= 0)
            ::close(readEnd);
    }

    QStringList request;
    int readEnd = -1;
    int answerDelayMs = 0; // logind asking polkit first

public Q_SLOTS:
    QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who, const QString &why, const QString &mode)
    {
        QThread::msleep(answerDelayMs);
        request = { what, who, why, mode };
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return {};
        readEnd = ends[0];
        QDBusUnixFileDescriptor descriptor(ends[1]); // takes a copy
        ::close(ends[1]);
        return descriptor;
    }
};

bool released(int readEnd)
{
    pollfd entry { readEnd, POLLIN, 0 };
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLHUP);
}
} // namespace

class LogindKeepAwakeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void holdsTheLockUntilReleased()
    {
        test::PrivateBus bus;
        QThread thread;
        thread.start();
        FakeLogind logind;
        logind.moveToThread(&thread);
        QDBusConnection service = bus.connect();
        QVERIFY(service.registerObject(
            QStringLiteral("/org/freedesktop/login1"), &logind, QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService(QStringLiteral("org.freedesktop.login1")));

        // A slow answer does not hold up the backup that asks.
        logind.answerDelayMs = 1000;
        LogindKeepAwake keepAwake(bus.connect());
        {
            QElapsedTimer asking;
            asking.start();
            const std::unique_ptr<KeepAwakeHold> hold = keepAwake.hold(QStringLiteral("Backing up Photos"));
            QVERIFY(asking.elapsed() < 500);
            QTRY_VERIFY(hold->isActive());
            QCOMPARE(logind.request, QStringList({ "sleep:idle", "Vellmir", "Backing up Photos", "block" }));
            QVERIFY(logind.readEnd >= 0);
            QTest::qWait(20);
            QVERIFY(!released(logind.readEnd));
        }
        QTRY_VERIFY(released(logind.readEnd));

        // An early release() lets go at once and the destructor does nothing more.
        LogindInhibitor inhibitor(bus.connect(), QStringLiteral("Backing up Work"));
        QTRY_VERIFY(inhibitor.isActive());
        inhibitor.release();
        QVERIFY(!inhibitor.isActive());
        QTRY_VERIFY(released(logind.readEnd));

        service.unregisterObject(QStringLiteral("/org/freedesktop/login1"));
        thread.quit();
        thread.wait();
    }

    void withoutLogindNothingIsHeld()
    {
        test::PrivateBus bus;
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^Vellmir keep-awake: could not keep")));
        LogindKeepAwake keepAwake(bus.connect());
        QVERIFY(!keepAwake.hold(QStringLiteral("Backing up Photos"))->isActive());

        LogindKeepAwake noBus { QDBusConnection(QStringLiteral("never-connected")) };
        QVERIFY(!noBus.hold(QStringLiteral("Backing up Photos"))->isActive());
    }
};

QTEST_GUILESS_MAIN(LogindKeepAwakeTest)
#include "LogindKeepAwakeTest.moc"

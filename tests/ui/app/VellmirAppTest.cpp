#include "shell/VellmirApp.h"
#include "ShellFixture.h"
#include "config/FileLock.h"
#include "shell/MainWindow.h"
#include "shell/MainWindowModel.h"
#include "util/Uuid.h"

#include <QAction>
#include <QCloseEvent>
#include <QDialog>
#include <QLabel>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <mutex>
#include <thread>

using namespace vellmir;

namespace {

// Sets or clears environment variables for one case and puts them back afterwards.
class ScopedEnvironment {
public:
    void set(const char *name, const QString &value)
    {
        remember(name);
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value.toUtf8());
    }
    ~ScopedEnvironment()
    {
        for (const auto &[name, value] : m_saved) {
            if (value)
                qputenv(name.constData(), *value);
            else
                qunsetenv(name.constData());
        }
    }

private:
    void remember(const char *name)
    {
        m_saved.emplace_back(QByteArray(name),
            qEnvironmentVariableIsSet(name) ? std::optional<QByteArray>(qgetenv(name)) : std::nullopt);
    }
    std::vector<std::pair<QByteArray, std::optional<QByteArray>>> m_saved;
};

} // namespace

class VellmirAppTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void launchReconcilesTheScheduler_data();
    void launchReconcilesTheScheduler();
    void launchLeavesTheScheduleWhenSettingsAreUnreadable();
    void launchReconcileStepsAsideForANewerOne();
    void desktopReachable_data();
    void desktopReachable();
    void windowedModeWithoutADisplayExits_data();
    void windowedModeWithoutADisplayExits();
    void quitEndsTheLoopOverASheetThatRefusesToClose_data();
    void quitEndsTheLoopOverASheetThatRefusesToClose();
};

void VellmirAppTest::launchReconcilesTheScheduler_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("throws");
    // How the store is read: before the application is made, in the background once the window
    // shows, or (the application's own way) begun before Qt starts, the reconcile following it.
    QTest::addColumn<QString>("read");
    // Whether the last reconcile left a sentence, shown until this one answers.
    QTest::addColumn<bool>("standIn");
    const QString sentence = QStringLiteral("Automatic backups could not be turned on: no user manager.");
    QTest::newRow("nothing to say") << QString() << false << "before" << false;
    QTest::newRow("a sentence") << sentence << false << "before" << false;
    QTest::newRow("a throw") << QStringLiteral("systemctl vanished") << true << "before" << false;
    QTest::newRow("read after the window shows") << QString() << false << "background" << false;
    QTest::newRow("read and reconcile begun at launch") << sentence << false << "begun" << false;
    QTest::newRow("the last sentence until this one answers") << QString() << false << "begun" << true;
}

void VellmirAppTest::launchLeavesTheScheduleWhenSettingsAreUnreadable()
{
    test::ShellFixture f;
    f.sealedPair();
    f.keys->failReads = true;
    std::atomic<int> reconciled = 0;
    VellmirApp::Services services;
    services.store = f.makeStore();
    services.reconcile = [&](const QList<Destination> &) -> std::optional<QString> {
        ++reconciled;
        return std::nullopt;
    };
    services.lastSchedule = [](const QList<Destination> &) { return std::optional<QString>(QStringLiteral("stale")); };
    VellmirApp::beginLaunch(services);
    const auto schedule = services.begun->schedule.sentence;
    VellmirApp app(std::move(services));
    app.launch();
    // The empty list of a locked keyring is no reason to turn every scheduled backup off.
    QVERIFY(app.store().errorMessage());
    QCOMPARE(schedule->wait(), std::nullopt);
    QCOMPARE(reconciled.load(), 0);
    QVERIFY(!app.model().schedulerMessage());
    QVERIFY(app.window().isVisible());
}

void VellmirAppTest::launchReconcileStepsAsideForANewerOne()
{
    test::ShellFixture f;
    f.sealedPair();
    std::atomic<int> launchReconciles = 0;
    VellmirApp::Services services;
    services.store = f.makeStore();
    services.reconcile = [&](const QList<Destination> &) -> std::optional<QString> {
        ++launchReconciles;
        return QStringLiteral("from the launch");
    };
    // The launch's read waits for the settings' lock while a window reconciles a list of its own.
    auto held = std::make_unique<FileLock>(DestinationStore::lockPath(f.destinationsPath), false);
    VellmirApp::beginLaunch(services);
    const auto schedule = services.begun->schedule.sentence;
    test::ShellFixture g;
    g.sealedPair();
    const std::unique_ptr<DestinationStore> otherStore = g.makeStore();
    MainWindowModel other(*otherStore);
    QWidget window;
    VellmirApp::reviewPresenter(other,
        [](const QList<Destination> &) { return std::optional<QString>(QStringLiteral("from the window")); })(&window);
    window.findChild<QDialog *>()->reject();
    QCOMPARE(other.schedulerMessage(), std::optional<QString>(QStringLiteral("from the window")));

    held.reset();
    QCOMPARE(schedule->wait(), std::nullopt);
    QCOMPARE(launchReconciles.load(), 0);
}

void VellmirAppTest::launchReconcilesTheScheduler()
{
    QFETCH(QString, answer);
    QFETCH(bool, throws);
    QFETCH(QString, read);
    QFETCH(bool, standIn);
    test::ShellFixture f;
    const QList<Destination> pair = f.sealedPair();
    QList<QList<Destination>> reconciled;
    std::mutex reconciling; // the launch reconciles on a thread of its own
    const auto calls = [&] {
        const std::lock_guard lock(reconciling);
        return reconciled;
    };
    VellmirApp::Services services;
    if (read == "before") {
        services.store = f.makeStore();
    } else {
        services.store = std::make_unique<DestinationStore>(
            DestinationStore::Unread {}, f.destinationsPath, f.credentials, f.keys, f.userDefaultsPath);
        services.watchedFolder = QFileInfo(f.destinationsPath).absolutePath();
    }
    std::atomic<bool> answering = !standIn;
    const auto answerAtLast = qScopeGuard([&] { answering = true; });
    services.reconcile = [&](const QList<Destination> &destinations) -> std::optional<QString> {
        while (!answering)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::lock_guard lock(reconciling);
        reconciled.append(destinations);
        if (throws)
            throw Error(answer);
        return answer.isNull() ? std::nullopt : std::optional<QString>(answer);
    };
    const QString last = QStringLiteral("Automatic backups are off: the last reconcile failed.");
    if (standIn)
        services.lastSchedule = [&](const QList<Destination> &) { return std::optional<QString>(last); };
    if (read == "begun")
        VellmirApp::beginLaunch(services);
    VellmirApp app(std::move(services));
    app.launch();
    QVERIFY(app.window().isVisible());
    if (standIn) {
        QTRY_COMPARE(app.model().schedulerMessage(), std::optional<QString>(last));
        answering = true;
    }
    // A list not read yet is not an empty one.
    QVERIFY(!app.window().findChild<QWidget *>(QStringLiteral("emptyOverview"))->isVisible());
    // Never with the empty list of a store not read yet: that would turn every schedule off.
    QTRY_COMPARE(calls(), QList<QList<Destination>> { pair });
    QTRY_COMPARE(app.store().destinations(), pair);
    // Rows that arrive once the window shows are shown all the same.
    for (const Destination &destination : pair) {
        const auto *row = app.window().findChild<QWidget *>(QStringLiteral("healthRow-") + uuidText(destination.id));
        QVERIFY(row && row->isVisible());
    }
    QTRY_COMPARE(app.model().schedulerMessage(), answer.isNull() ? std::nullopt : std::optional<QString>(answer));
    // The notification switch is not wired when no action was given.
    QVERIFY(!app.window().enableNotificationsAction()->isEnabled());
}

void VellmirAppTest::desktopReachable_data()
{
    QTest::addColumn<QString>("wayland");
    QTest::addColumn<QString>("display");
    QTest::addColumn<bool>("reachable");
    QTest::newRow("nothing") << QString() << QString() << false;
    QTest::newRow("empty values") << QString("") << QString("") << false;
    QTest::newRow("local X without socket") << QString() << QStringLiteral(":7391") << false;
    // Nothing takes connections there: answered at once, never waited for.
    QTest::newRow("X by host, nothing listening") << QString() << QStringLiteral("localhost:7391") << false;
    QTest::newRow("wayland socket missing") << QStringLiteral("wayland-7391") << QString() << false;
    QTest::newRow("wayland socket present") << QStringLiteral("socket") << QString() << true;
    QTest::newRow("wayland socket by path") << QStringLiteral("<dir>/socket") << QString() << true;
    // As X servers listen where /tmp/.X11-unix is not shared (a container, a private /tmp).
    QTest::newRow("local X on the abstract socket only") << QString() << QStringLiteral(":<n>") << true;
}

void VellmirAppTest::desktopReachable()
{
    QFETCH(QString, wayland);
    QFETCH(QString, display);
    QFETCH(bool, reachable);
    QTemporaryDir runtime;
    QLocalServer server;
    QVERIFY(server.listen(runtime.filePath(QStringLiteral("socket"))));
    // A display number of this process's own, in the namespace every process of the machine shares.
    const QString number = QString::number(7000 + QCoreApplication::applicationPid() % 50000);
    QLocalServer xServer;
    xServer.setSocketOptions(QLocalServer::AbstractNamespaceOption);
    if (display.contains(QStringLiteral("<n>")))
        QVERIFY(xServer.listen(QStringLiteral("/tmp/.X11-unix/X") + number));
    ScopedEnvironment environment;
    environment.set("XDG_RUNTIME_DIR", runtime.path());
    environment.set("WAYLAND_DISPLAY", wayland.replace(QStringLiteral("<dir>"), runtime.path()));
    environment.set("DISPLAY", display.replace(QStringLiteral("<n>"), number));
    QCOMPARE(VellmirApp::desktopReachable(), reachable);
}

void VellmirAppTest::windowedModeWithoutADisplayExits_data()
{
    QTest::addColumn<QString>("display");
    QTest::newRow("none") << QString();
    // What a closed "ssh -X" forwarding leaves: a display nobody answers on.
    QTest::newRow("not answering") << QStringLiteral("localhost:7391");
}

void VellmirAppTest::windowedModeWithoutADisplayExits()
{
    // The built executable with no arguments and no display: a sentence and status 1, no abort.
    QFETCH(QString, display);
    test::TestHome home;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    if (!display.isEmpty())
        environment.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(VELLMIR_APP), QStringList {});
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    QCOMPARE(process.readAllStandardError(), VellmirApp::noDesktopMessage().toUtf8() + '\n');
    QVERIFY(process.readAllStandardOutput().isEmpty());
}

void VellmirAppTest::quitEndsTheLoopOverASheetThatRefusesToClose_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("the Quit command") << "command";
    QTest::newRow("Ctrl+Q in the sheet") << "keys";
    // What a signal's watcher posts.
    QTest::newRow("a quit posted from another thread") << "posted";
    // The last window closed, or the session manager ending the session.
    QTest::newRow("Qt's own quit") << "qt";
}

void VellmirAppTest::quitEndsTheLoopOverASheetThatRefusesToClose()
{
    // A restore sheet refuses to close while its restore runs: quitting must end the loop all
    // the same, and never be dropped.
    QFETCH(QString, how);
    test::ShellFixture f;
    f.sealedPair();
    VellmirApp::Services services;
    services.store = f.makeStore();
    VellmirApp app(std::move(services));
    app.launch();
    class RefusingSheet : public QDialog {
    public:
        using QDialog::QDialog;
        void reject() override { }

    protected:
        void closeEvent(QCloseEvent *event) override { event->ignore(); }
    };
    auto *sheet = new RefusingSheet(&app.window());
    sheet->setWindowModality(Qt::WindowModal);
    sheet->open();
    QVERIFY(QTest::qWaitForWindowExposed(sheet));
    QTimer::singleShot(0, &app, [&] {
        if (how == "command")
            app.window().findChild<QAction *>(QStringLiteral("quitAction"))->trigger();
        else if (how == "keys")
            QTest::keyClick(sheet, Qt::Key_Q, Qt::ControlModifier);
        else if (how == "qt")
            QCoreApplication::quit();
        else
            std::thread([] { QMetaObject::invokeMethod(qApp, &VellmirApp::quit, Qt::QueuedConnection); }).join();
    });
    QTimer::singleShot(5000, [] { QCoreApplication::exit(1); });
    QCOMPARE(QApplication::exec(), 0);
}

QTEST_MAIN(VellmirAppTest)
#include "VellmirAppTest.moc"

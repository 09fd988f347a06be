#include "shell/VellmirApp.h"

#include "agent/AgentCLI.h"
#include "config/CredentialsStore.h"
#include "config/DestinationStore.h"
#include "config/UserDefaults.h"
#include "detail/DestinationDetail.h"
#include "detail/DestinationDetailModel.h"
#include "operations/BackupRunner.h"
#include "operations/Scheduler.h"
#include "platform/DesktopNotifier.h"
#include "platform/DesktopSession.h"
#include "platform/KeyringStore.h"
#include "protection/ConfigReviewView.h"
#include "protection/ProtectionDetails.h"
#include "shell/MainWindow.h"
#include "shell/MainWindowModel.h"
#include "util/AppPaths.h"
#include "util/Error.h"
#include "util/Log.h"
#include "util/ShutdownSignals.h"

#include <QApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace vellmir {

namespace {

// What a ConnectingToDisplay in effect does with Qt's messages; only the main thread sets it.
struct DisplayConnectionGuard {
    QString sentence;
    int status = 1;
    QtMessageHandler previous = nullptr;
};
DisplayConnectionGuard displayConnectionGuard;

void connectingMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtFatalMsg) {
        if (!displayConnectionGuard.sentence.isEmpty())
            std::fprintf(stderr, "%s\n", displayConnectionGuard.sentence.toUtf8().constData());
        std::fflush(stderr);
        ::_exit(displayConnectionGuard.status);
    }
    if (context.category && QByteArray(context.category).startsWith("qt.qpa"))
        return;
    if (displayConnectionGuard.previous)
        displayConnectionGuard.previous(type, context, message);
}

// Reconciles run one at a time. The count lets the launch's own, which runs on a worker, step
// aside when a newer list was applied first, and keep its sentence from overwriting a newer one.
std::mutex reconcileMutex;
unsigned reconcileCount = 0;

// Brings the scheduler in line and returns its sentence. Reconciling reports its own failures
// as a sentence; anything else it throws still only concerns the schedule, so it becomes one
// too, never an exception out of a slot or out of the launch. The caller holds reconcileMutex.

std::optional<QString> reconciledLocked(const VellmirApp::Reconcile &reconcile, const QList<Destination> &destinations)
{
    ++reconcileCount;
    try {
        return reconcile(destinations);
    } catch (const std::exception &error) {
        return errorDescription(error);
    }
}

std::optional<QString> reconciled(const VellmirApp::Reconcile &reconcile, const QList<Destination> &destinations)
{
    const std::lock_guard one(reconcileMutex);
    return reconciledLocked(reconcile, destinations);
}

} // namespace

VellmirApp::VellmirApp(Services services, QObject *parent)
    : QObject(parent)
    , m_services(std::move(services))
    , m_receiver(Receiver<VellmirApp>::make(this))
{
    if (!m_services.begun)
        beginLaunch(m_services);
    m_model = std::make_unique<MainWindowModel>(*m_services.store);
    // Before the window: it then never takes a list not read yet for an empty one, and shows a
    // read that is already in from its first picture on.
    if (!m_services.watchedFolder.isEmpty())
        m_model->watch(m_services.watchedFolder, m_services.begun->read);
    m_window = std::make_unique<MainWindow>(*m_model);
    m_window->setDetailFactory(detailFactory(*m_window, m_services.reconcile, m_services.credentials));
    m_window->setReviewPresenter(reviewPresenter(*m_model, m_services.reconcile));
    if (m_services.enableNotifications)
        m_window->setNotificationSwitch(m_services.enableNotifications);
    if (m_services.installCommand)
        m_window->setCommandInstaller(m_services.installCommand);
    qApp->installEventFilter(this);
}

VellmirApp::~VellmirApp()
{
    m_receiver->close();
    // The window and its rows refer to the model, the model to the store.
    m_window.reset();
    m_model.reset();
}

VellmirApp::Services VellmirApp::systemServices()
{
    Services services;
    services.credentials = CredentialsStore(std::make_shared<KeyringStore>());
    // Read in the background once the model watches the folder, so the window shows at once.
    services.store = std::make_unique<DestinationStore>(DestinationStore::Unread {}, *services.credentials);
    services.reconcile = [](const QList<Destination> &destinations) -> std::optional<QString> {
        UserDefaults defaults;
        return Scheduler(defaults).reconcile(destinations);
    };
    services.lastSchedule = [](const QList<Destination> &destinations) -> std::optional<QString> {
        UserDefaults defaults;
        return Scheduler(defaults).lastSentence(destinations);
    };
    services.enableNotifications = [] {
        DesktopNotifier notifier;
        UserDefaults defaults;
        return MainWindowModel::enableNotifications(notifier, defaults);
    };
    services.installCommand = &AgentCLI::installForCurrentUser;
    services.watchedFolder = QFileInfo(AppPaths::destinationsFile()).absolutePath();
    return services;
}

MainWindow::DetailFactory VellmirApp::detailFactory(
    MainWindow &window, Reconcile reconcile, std::optional<CredentialsStore> credentials)
{
    return [&window, reconcile, credentials](
               const Destination &destination, const MainWindow::DetailActions &actions) -> QWidget * {
        MainWindowModel &model = window.model();
        DestinationDetailModel::Services services
            = DestinationDetailModel::standardServices(&model.store(), window.undoStack(), &window);
        if (credentials)
            services.credentials = *credentials;
        if (actions.runner)
            services.runner = actions.runner;
        services.reconcile = [&model, reconcile](const QList<Destination> &destinations) -> std::optional<QString> {
            if (!reconcile)
                return std::nullopt;
            // The pane calls this from a button's slot.
            const std::optional<QString> sentence = reconciled(reconcile, destinations);
            model.setSchedulerMessage(sentence);
            return sentence;
        };
        auto *pane = new DestinationDetail(
            new DestinationDetailModel(destination, std::move(services), actions.onEdit, actions.onDeleted),
            RestoreServices::standard());
        pane->setProtectionPanel(new ProtectionDetails(destination));
        return pane;
    };
}

MainWindow::ReviewPresenter VellmirApp::reviewPresenter(MainWindowModel &model, Reconcile reconcile)
{
    return [&model, reconcile](QWidget *window) {
        auto *review = new ConfigReviewView(model.store(), window);
        review->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(review, &QDialog::finished, &model, [&model, reconcile] {
            model.reload();
            // Settings that could not be read are no list to schedule by: an empty one would
            // turn every scheduled backup off.
            if (!reconcile || model.store().errorMessage())
                return;
            model.setSchedulerMessage(reconciled(reconcile, model.destinations()));
        });
        review->open();
    };
}

void VellmirApp::beginLaunch(Services &services)
{
    const ConfigSeal &seal = services.store->seal();
    Begun begun;
    begun.read = MainWindowModel::prepareRead(seal);
    begun.schedule.sentence = std::make_shared<Handoff<std::optional<std::optional<QString>>>>();
    begun.thread = std::make_unique<Workers>();
    {
        const std::lock_guard one(reconcileMutex);
        begun.schedule.seen = reconcileCount;
    }
    begun.thread->start(
        [seal, read = begun.read, reconcile = services.reconcile, schedule = begun.schedule](std::stop_token stop) {
            MainWindowModel::readInto(seal, read, stop);
            // Settings that could not be read leave an empty or stale list, which would turn
            // scheduled backups off: the schedule stays as it is until they can be read. A list
            // applied since, by the window, was reconciled already.
            const DestinationStore::Loaded loaded = *read.loaded->value();
            std::optional<std::optional<QString>> sentence;
            if (reconcile && !loaded.failure && loaded.pending.destinations && !stop.stop_requested()) {
                const std::lock_guard one(reconcileMutex);
                if (reconcileCount == schedule.seen)
                    sentence = reconciledLocked(reconcile, *loaded.pending.destinations);
            }
            schedule.sentence->set(sentence);
        });
    services.begun = std::move(begun);
}

void VellmirApp::launch()
{
    // A read that is in by now is in the window's first picture.
    m_model->takeBegunRead();
    const Schedule schedule = m_services.begun->schedule;
    // Until the launch's reconcile answers, the overview says what the last one left, as the
    // rows do; where it fails again, the sentence then stays as it was.
    const auto sayWhatIsKnown = [this, schedule] {
        if (const auto sentence = schedule.sentence->value())
            showAnswer(schedule.seen, *sentence);
        else if (m_services.lastSchedule && !store().errorMessage())
            m_model->setSchedulerMessage(m_services.lastSchedule(store().destinations()));
    };
    if (m_model->awaitingFirstRead()) {
        auto connection = std::make_shared<QMetaObject::Connection>();
        *connection = connect(m_model.get(), &MainWindowModel::readFinished, this, [sayWhatIsKnown, connection] {
            disconnect(*connection);
            sayWhatIsKnown();
        });
    } else {
        sayWhatIsKnown();
    }
    if (!schedule.sentence->value())
        schedule.sentence->whenSet([receiver = m_receiver, schedule] {
            receiver->post([schedule, value = *schedule.sentence->value()](
                               VellmirApp *app) { app->showAnswer(schedule.seen, value); });
        });
    m_scheduleWatch.setInterval(std::chrono::seconds(5));
    connect(&m_scheduleWatch, &QTimer::timeout, this, &VellmirApp::followOtherReconciles);
    m_scheduleWatch.start();
    m_window->show();
}

void VellmirApp::followOtherReconciles()
{
    // A destination added or changed by `vellmir` is scheduled by that command: what it could
    // not register shows here as soon as it tells the settings, not at the next launch. A
    // sentence of the window's own reconciles stands until the next one.
    if (!m_services.lastSchedule || store().errorMessage() || m_model->awaitingFirstRead())
        return;
    const std::optional<QString> &shown = m_model->schedulerMessage();
    if (shown && shown != m_followedSentence)
        return;
    const std::optional<QString> sentence = m_services.lastSchedule(store().destinations());
    m_followedSentence = sentence;
    m_model->setSchedulerMessage(sentence);
}

void VellmirApp::quit()
{
    QCoreApplication::exit(0);
}

QKeySequence VellmirApp::quitKeys()
{
    const QKeySequence desktop(QKeySequence::Quit);
    return desktop.isEmpty() ? QKeySequence(Qt::CTRL | Qt::Key_Q) : desktop;
}

bool VellmirApp::eventFilter(QObject *watched, QEvent *event)
{
    // Qt's own quit (the last window closed, the session manager ending the session) asks every
    // window first and gives up when one refuses: it becomes this application's quit instead.
    if (watched == qApp && event->type() == QEvent::Quit) {
        quit();
        return true;
    }
    if (event->type() == QEvent::KeyPress
        && QKeySequence(static_cast<QKeyEvent *>(event)->keyCombination()) == quitKeys()) {
        quit();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void VellmirApp::showAnswer(unsigned seen, const std::optional<std::optional<QString>> &sentence)
{
    // Only while no reconcile came after it: a newer sentence stands.
    const std::lock_guard one(reconcileMutex);
    if (sentence && reconcileCount == seen + 1)
        m_model->setSchedulerMessage(*sentence);
}

int VellmirApp::main(int argc, char **argv)
{
    if (!desktopReachable()) {
        std::fprintf(stderr, "%s\n", noDesktopMessage().toUtf8().constData());
        return 1;
    }
    QCoreApplication::setOrganizationName(QStringLiteral("Vellmir"));
    QCoreApplication::setApplicationName(QStringLiteral("Vellmir"));
    int status = 1;
    try {
        // The settings are read, and the scheduler brought in line with them, while Qt starts.
        Services services = systemServices();
        beginLaunch(services);
        std::optional<ConnectingToDisplay> connecting(std::in_place, noDesktopMessage(), 1, stalledDisplayMessage(), 1);
        QApplication application(argc, argv);
        connecting.reset();
        QGuiApplication::setApplicationDisplayName(QStringLiteral("Vellmir"));
        // The session ending (SIGTERM at logout) or Ctrl-C in a terminal quits like the Quit command,
        // once the event loop runs if it does not yet: a signal is never lost.
        const std::stop_callback onSignal(ShutdownSignals::install(),
            [] { QMetaObject::invokeMethod(qApp, &VellmirApp::quit, Qt::QueuedConnection); });
        std::optional<VellmirApp> app(std::in_place, std::move(services));
        app->launch();
        status = QApplication::exec();
        // The window goes at once, its sheets and panes with it: each hands what it still runs
        // (a restore, a listing, a check) to the process's workers, asked to stop.
        app.reset();
        // A backup still under way is cancelled as its Cancel button would, so its record says
        // "cancelled" instead of "running" for ever.
        if (!BackupRunner::cancelRunsInProgress(std::chrono::seconds(30))) {
            logText(QStringLiteral("Vellmir: a backup did not end within 30 seconds of quitting; its record may "
                                   "still say it is running."));
            // Waiting on would keep the process for as long as the run hangs: end it without
            // running the statics' destructors, which that run may still use. restic's keeper
            // ends restic when this process is gone.
            std::fflush(nullptr);
            ::_exit(status);
        }
        // Every other job the window started (a restore is cancelled as its Cancel button would)
        // ends before the process's statics go.
        Workers::beyondViews().stopAndWait();
    } catch (const std::exception &error) {
        logText(QStringLiteral("Vellmir: ") + errorDescription(error));
        std::fprintf(stderr, "%s\n", errorDescription(error).toUtf8().constData());
    }
    return status;
}

bool VellmirApp::desktopReachable()
{
    return DesktopSession::reachable(QProcessEnvironment::systemEnvironment());
}

VellmirApp::ConnectingToDisplay::ConnectingToDisplay(
    QString sentence, int status, QString stalledSentence, int stalledStatus)
{
    displayConnectionGuard.sentence = std::move(sentence);
    displayConnectionGuard.status = status;
    displayConnectionGuard.previous = qInstallMessageHandler(connectingMessage);
    m_watch = std::jthread([stalledStatus, stalled = stalledSentence.toUtf8()](std::stop_token stop) {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock lock(mutex);
        wake.wait_for(lock, stop, limit, [] { return false; });
        if (stop.stop_requested())
            return;
        if (!stalled.isEmpty())
            std::fprintf(stderr, "%s\n", stalled.constData());
        std::fflush(stderr);
        ::_exit(stalledStatus);
    });
}

VellmirApp::ConnectingToDisplay::~ConnectingToDisplay()
{
    qInstallMessageHandler(displayConnectionGuard.previous);
    displayConnectionGuard = {};
}

QString VellmirApp::stalledDisplayMessage()
{
    return QStringLiteral("Vellmir could not open its window: the display server (DISPLAY or WAYLAND_DISPLAY) took "
                          "the connection but did not answer within %1 seconds.")
        .arg(ConnectingToDisplay::limit.count());
}

QString VellmirApp::noDesktopMessage()
{
    return QStringLiteral(
        "Vellmir needs a desktop session to open its window, and no display server answered (DISPLAY or "
        "WAYLAND_DISPLAY).");
}

} // namespace vellmir

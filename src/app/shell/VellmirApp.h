#pragma once

#include "config/CredentialsStore.h"
#include "config/Destination.h"
#include "shell/MainWindow.h"
#include "shell/MainWindowModel.h"
#include "util/Handoff.h"
#include "util/Receiver.h"
#include "util/Workers.h"

#include <QKeySequence>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace vellmir {

class DestinationStore;

// The windowed application: one store of destinations for every window, the scheduler brought
// in line with the destinations at launch, and the main window.
//
// Without a status-bar icon there is nothing left to use once the main window closes, so the
// application ends with its last window (Qt's default) rather than staying in the background;
// scheduled backups do not need it running, the systemd user timer starts them.
class VellmirApp : public QObject {
    Q_OBJECT

public:
    // What the application is made of; the defaults are the user's own files, keyring,
    // systemd user manager and notification server. Tests hand in their own.
    // Scheduler::reconcile: nullopt, or the sentence to show.
    using Reconcile = std::function<std::optional<QString>(const QList<Destination> &)>;

    // The sentence of the launch's reconcile, run on a worker: nullopt when it stepped aside (the
    // settings were not usable, or a newer list was applied first). `seen` counts the reconciles
    // before it.
    struct Schedule {
        unsigned seen = 0;
        std::shared_ptr<Handoff<std::optional<std::optional<QString>>>> sentence;
    };
    // What beginLaunch started: the store's first read and the reconcile that follows it, on a
    // thread that is asked to stop when these go.
    struct Begun {
        MainWindowModel::BegunRead read;
        Schedule schedule;
        std::unique_ptr<Workers> thread;
    };

    struct Services {
        std::unique_ptr<DestinationStore> store;
        // The secrets of the store's destinations; nullopt: the keyring.
        std::optional<CredentialsStore> credentials;
        Reconcile reconcile;
        // Scheduler::lastSentence: what the overview says until the launch's reconcile answers.
        Reconcile lastSchedule;
        // The "Enable Backup Notifications" action, returning the sentence to show.
        std::function<QString()> enableNotifications;
        // The "Install Command-Line Tool" action, returning the sentence to show.
        std::function<QString()> installCommand;
        // The folder whose changes by other processes reload the store; empty: none.
        QString watchedFolder;
        // The store's first read and the reconcile that follows it, begun by beginLaunch (while
        // Qt starts) or else by the constructor.
        std::optional<Begun> begun;
    };

    explicit VellmirApp(Services services, QObject *parent = nullptr);
    ~VellmirApp() override;

    static Services systemServices();
    // Begins reading `services`' store on a worker and, once that read is usable, brings the
    // scheduler in line with it there: systemd is asked through processes that nothing need
    // wait for, and both are under way while Qt starts and the window is built.
    static void beginLaunch(Services &services);

    // The destination pane over the window's store, `credentials` (nullopt: the keyring) and undo
    // history, with the protection details in its slot. A removal, or its undo, brings the
    // scheduler in line through `reconcile`, whose sentence the overview shows.
    static MainWindow::DetailFactory detailFactory(
        MainWindow &window, Reconcile reconcile, std::optional<CredentialsStore> credentials = std::nullopt);
    // The review of changed settings as a sheet over the window. Once it closes the store is read
    // again and the scheduler brought in line (an undo may have removed a scheduled destination).
    static MainWindow::ReviewPresenter reviewPresenter(MainWindowModel &model, Reconcile reconcile);

    // What the application delegate does at launch: open the window. The sentence of the
    // reconcile begun with the store's first read reaches the model when it is known.
    void launch();

    DestinationStore &store() const { return *m_services.store; }
    MainWindowModel &model() const { return *m_model; }
    MainWindow &window() const { return *m_window; }

    // The windowed entry: returns the process's exit status once the application ends, or 1 at
    // once, with a sentence on standard error, when no display server can be reached.
    static int main(int argc, char **argv);
    // Ends the application's event loop: the Quit command, Ctrl+Q in any of its windows and the
    // signals that end a session all come here. No window can refuse it, as one can refuse
    // QCoreApplication::quit() (a sheet refuses to close while its restore runs, and Qt then
    // drops the request); main() then closes the window and stops whatever it started.
    static void quit();
    // The keys of the Quit command: the desktop's own, else Ctrl+Q (a platform without a desktop
    // theme names none).
    static QKeySequence quitKeys();

    // Whether a display server can be where the environment points (DesktopSession::reachable).
    static bool desktopReachable();
    static QString noDesktopMessage();

    // Qt ends the process, with an abort, when the display it connects to refuses, and waits for
    // ever on one that takes the connection and never answers (a stalled forwarded display).
    // While one of these exists, that fatal error ends it with `status` instead, after
    // `sentence` (when not empty) on standard error, and Qt's warnings about the connection
    // are left out; a connection still not made after `limit` ends it with `stalledStatus`, after
    // `stalledSentence`. Make the QApplication inside its lifetime, on the main thread.
    class ConnectingToDisplay {
    public:
        static constexpr std::chrono::seconds limit { 10 };
        ConnectingToDisplay(QString sentence, int status, QString stalledSentence, int stalledStatus);
        ~ConnectingToDisplay();
        ConnectingToDisplay(const ConnectingToDisplay &) = delete;
        ConnectingToDisplay &operator=(const ConnectingToDisplay &) = delete;

    private:
        std::jthread m_watch;
    };
    static QString stalledDisplayMessage();

protected:
    // Ctrl+Q in a sheet (the Quit command's shortcut belongs to the main window, which the sheet
    // blocks, so the key reaches the sheet as a plain key press) and Qt's own quit requests.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showAnswer(unsigned seen, const std::optional<std::optional<QString>> &sentence);
    void followOtherReconciles();

    Services m_services;
    std::unique_ptr<MainWindowModel> m_model;
    std::unique_ptr<MainWindow> m_window;
    std::shared_ptr<Receiver<VellmirApp>> m_receiver;
    QTimer m_scheduleWatch;
    std::optional<QString> m_followedSentence;
};

} // namespace vellmir

#pragma once

#include "config/Destination.h"
#include "detail/DestinationActions.h"

#include <QMainWindow>
#include <QMap>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QFrame;
class QLabel;
class QListWidget;
class QPushButton;
class QMenu;
class QSplitter;
class QStackedWidget;
class QUndoStack;
class QVBoxLayout;

namespace vellmir {

class BackupRunner;
class DestinationHealthRow;
class MainWindowModel;
class MessageLabel;

// The main window: a sidebar with the overview and every destination, the overview pane with
// a health row per destination and a banner while the settings on disk are not the ones
// Vellmir wrote, and a detail column for the selected destination. Other views plug in through
// the factory and presenter hooks; of a destination pane the window only knows the actions it
// publishes for the "Destination" menu.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // What the detail pane of a destination may ask of the window.
    struct DetailActions {
        std::function<void()> onEdit;
        // The destination is gone: the sidebar goes back to the overview.
        std::function<void()> onDeleted;
        // The destination's backup runner, the one its overview row shows: a run goes on, and
        // shows, whichever pane or row started it and however often the pane is made anew.
        std::shared_ptr<BackupRunner> runner;
    };
    // Builds the detail pane of one destination; the window owns what it returns.
    using DetailFactory = std::function<QWidget *(const Destination &, const DetailActions &)>;
    // Opens the review of settings changed outside the app, with the window as parent.
    using ReviewPresenter = std::function<void(QWidget *window)>;
    // Runs the "Enable Backup Notifications" action and returns the sentence to show.
    using NotificationSwitch = std::function<QString()>;
    // Installs the `vellmir` command and returns the sentence to show.
    using CommandInstaller = std::function<QString()>;

    // Makes the backup runner of a destination, one for the window's life (or the destination's).
    using RunnerFactory = std::function<std::shared_ptr<BackupRunner>()>;

    // Without a runner factory, runners use the engine's own restic and the default history.
    explicit MainWindow(MainWindowModel &model, RunnerFactory runners = {}, QWidget *parent = nullptr);
    ~MainWindow() override;

    MainWindowModel &model() const { return m_model; }

    // Without a factory the detail column shows a placeholder.
    void setDetailFactory(DetailFactory factory);
    // Without a presenter the banner has no review button.
    void setReviewPresenter(ReviewPresenter presenter);
    void setNotificationSwitch(NotificationSwitch notificationSwitch);
    // Without an installer the install action stays disabled.
    void setCommandInstaller(CommandInstaller installer);

    QAction *enableNotificationsAction() const { return m_enableNotifications; }
    QAction *installCommandAction() const { return m_installCommand; }
    // Checked while the sealed agent policy lets agents change things without asking.
    QAction *changesWithoutApprovalAction() const { return m_changesWithoutApproval; }
    QMenu *destinationMenu() const { return m_destinationMenu; }
    // The window's one undo history (a removed destination comes back through it); Edit > Undo
    // and Redo follow it.
    QUndoStack *undoStack() const { return m_undoStack; }
    // What the shown pane offers the "Destination" menu; nullopt: no pane, or one without actions.
    const std::optional<DestinationActions> &destinationActions() const { return m_destinationActions; }

private:
    void resizeEvent(QResizeEvent *event) override;
    void buildMenus();
    QWidget *buildOverview();
    QWidget *buildBanner();
    void addEmptyTexts(QVBoxLayout *layout);
    void refreshSidebar();
    void refreshSelection();
    void refreshRows();
    void refreshBanner();
    void refreshMessages();
    void showDetail();
    void dropDetail();
    void setDestinationActions(const std::optional<DestinationActions> &actions);
    QWidget *placeholderDetail(const Destination &destination) const;
    std::shared_ptr<BackupRunner> runner(const QUuid &destinationID);

    MainWindowModel &m_model;
    RunnerFactory m_runnerFactory;
    QMap<QUuid, std::shared_ptr<BackupRunner>> m_runners;
    DetailFactory m_detailFactory;
    ReviewPresenter m_reviewPresenter;
    NotificationSwitch m_notificationSwitch;
    CommandInstaller m_commandInstaller;

    QSplitter *m_splitter = nullptr;
    int m_sidebarWanted = 220; // as the user left it; a narrow window narrows it for a while
    QListWidget *m_sidebar = nullptr;
    QStackedWidget *m_content = nullptr;
    QWidget *m_detailHost = nullptr;
    QWidget *m_detail = nullptr;
    std::optional<Destination> m_detailDestination;
    QFrame *m_banner = nullptr;
    QLabel *m_bannerTitle = nullptr;
    MessageLabel *m_bannerText = nullptr;
    QPushButton *m_review = nullptr;
    MessageLabel *m_loadError = nullptr;
    MessageLabel *m_schedulerMessage = nullptr;
    MessageLabel *m_schedulerCommand = nullptr;
    MessageLabel *m_empty = nullptr;
    QLabel *m_emptyHint = nullptr;
    QVBoxLayout *m_rowsLayout = nullptr;
    QMap<QUuid, DestinationHealthRow *> m_rows;
    QAction *m_enableNotifications = nullptr;
    QAction *m_installCommand = nullptr;
    QAction *m_changesWithoutApproval = nullptr;
    QUndoStack *m_undoStack = nullptr;
    QMenu *m_destinationMenu = nullptr;
    QAction *m_backUpNow = nullptr;
    QAction *m_cancelBackup = nullptr;
    QAction *m_edit = nullptr;
    QAction *m_testConnection = nullptr;
    QAction *m_refreshSnapshots = nullptr;
    QAction *m_applyRetention = nullptr;
    QAction *m_remove = nullptr;
    std::optional<DestinationActions> m_destinationActions;
    bool m_syncingSidebar = false;
};

} // namespace vellmir

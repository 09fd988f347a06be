#pragma once

#include "config/Destination.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUuid>
#include <optional>

namespace vellmir {

class DestinationStore;
class Notifier;
class UserDefaults;

// What the main window shows, apart from the widgets: the sidebar's selection (the overview or
// one destination), the banner about settings the application did not write, the scheduler's
// sentence from launch and the outcome of the last notification switch. The store is the one
// of the application; the model follows its signals and reloads it when another process
// rewrites the configuration folder.
class MainWindowModel : public QObject {
    Q_OBJECT

public:
    // The banner shown above the overview while the store does not trust the settings on disk.
    struct Banner {
        QString title;
        QString text;
        // Whether the configuration review can settle it (an unreadable seal cannot).
        bool reviewable = false;
        friend bool operator==(const Banner &, const Banner &) = default;
    };

    explicit MainWindowModel(DestinationStore &store, QObject *parent = nullptr);

    DestinationStore &store() const { return m_store; }
    const QList<Destination> &destinations() const;

    // nullopt: the overview.
    const std::optional<QUuid> &selection() const { return m_selection; }
    // Selects a destination by id; an id the store does not list selects the overview.
    void select(const std::optional<QUuid> &id);
    std::optional<Destination> selectedDestination() const;

    std::optional<Banner> banner() const;
    // Why the destinations could not be read, as the store reported it.
    std::optional<QString> loadError() const;

    // The sentence Scheduler::reconcile returned at launch, if any.
    const std::optional<QString> &schedulerMessage() const { return m_schedulerMessage; }
    void setSchedulerMessage(const std::optional<QString> &message);

    // The "Enable Backup Notifications" action. Returns what the window tells the user.
    static QString enableNotifications(Notifier &notifier, UserDefaults &defaults);
    static QString notificationsEnabledMessage();

    // The sealed agent policy: whether agents' changes run without the approval dialog.
    bool changesWithoutApproval() const;
    // Stores and seals the policy. Returns the store's refusal (the settings were changed
    // outside the app, or could not be checked), or nullopt once it is stored.
    std::optional<QString> setChangesWithoutApproval(bool on);

    // Reads the destinations file afresh; a failure shows as loadError().
    void reload();
    // Reloads shortly after anything in `folder` changes (the destinations file, its seal or
    // the agent policy are replaced by renames, so the folder is what can be watched). The
    // folder is created when missing so there is something to watch from the first launch on.
    void watch(const QString &folder);

    static QString changedOutsideTitle();
    static QString fromAnotherMacTitle();
    static QString unavailableTitle();

Q_SIGNALS:
    void destinationsChanged();
    void selectionChanged();
    void bannerChanged();
    void loadErrorChanged();
    void schedulerMessageChanged();
    void policyChanged();

private:
    void followStore();

    DestinationStore &m_store;
    std::optional<QUuid> m_selection;
    std::optional<QString> m_schedulerMessage;
    QFileSystemWatcher m_watcher;
    QTimer m_reloadTimer;
};

} // namespace vellmir

#pragma once

#include "config/Destination.h"
#include "config/DestinationStore.h"
#include "util/FileStamp.h"
#include "util/Handoff.h"
#include "util/Receiver.h"
#include "util/Workers.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUuid>
#include <chrono>
#include <memory>
#include <optional>

namespace vellmir {

class Notifier;
class UserDefaults;

// What the main window shows, apart from the widgets: the sidebar's selection (the overview or
// one destination), the banner about settings the application did not write, the scheduler's
// sentence from launch and the outcome of the last notification switch. The store is the one
// of the application; the model follows its signals and reloads it when the configuration
// files change, reading on a worker thread so the window never waits for the keyring.
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
    ~MainWindowModel() override;

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

    // Reads the destinations file afresh, on this thread; a failure shows as loadError().
    void reload();
    // The same on a worker thread; the result is published here when it arrives. At most one
    // read runs at a time: asking during one runs one more after it, and a read overtaken by a
    // change the store published meanwhile is dropped for a fresh one.
    void reloadInBackground();
    bool isReloading() const { return m_reloading; }
    // Whether the read that watch() starts has yet to be published: until then an empty list
    // means "not read yet", not "no destinations".
    bool awaitingFirstRead() const { return m_awaitingFirstRead; }
    // A read of the store, possibly begun before the model existed (at launch, while Qt starts):
    // the configuration files as they were before it began, and what it reads.
    struct BegunRead {
        QList<FileStamp> stamps;
        std::shared_ptr<Handoff<DestinationStore::Loaded>> loaded;
    };
    // The files as they are now, and the handoff for a read of the configuration `seal` guards
    // that the caller runs (readInto) on a thread it owns.
    static BegunRead prepareRead(const ConfigSeal &seal);
    // Reads the configuration `seal` guards into `read`; a keyring wait ends once `stop` is
    // requested.
    static void readInto(const ConfigSeal &seal, const BegunRead &read, std::stop_token stop);

    // Reloads shortly after the configuration files in `folder` change: the folder is watched
    // for the renames that replace them, the files themselves for writes in place, and every
    // verifyInterval their size, modification time and inode are compared with those seen at
    // the last read, for changes the watcher missed. The folder is created when
    // missing so there is something to watch from the first launch on. The first read is
    // `begun` when given (published here at once when it is already in), else one started here.
    void watch(const QString &folder, const std::optional<BegunRead> &begun = std::nullopt);
    // Publishes the read under way now when it is in and was not published yet; otherwise it
    // is published once it arrives.
    void takeBegunRead();
    static constexpr std::chrono::milliseconds verifyInterval { 5000 };
    // Renames and writes arrive as several events in a row; one reload after they settle is enough.
    static constexpr std::chrono::milliseconds reloadDelay { 300 };

    static QString changedOutsideTitle();
    static QString nothingTrustedText();
    // "Awaiting review: “A”, “B”." for the destinations in the file that backups leave alone
    // until the change is reviewed; nullopt when there are none.
    std::optional<QString> awaitingReviewText() const;
    static QString fromAnotherComputerTitle();
    static QString unavailableTitle();

Q_SIGNALS:
    void destinationsChanged();
    void selectionChanged();
    void bannerChanged();
    void loadErrorChanged();
    void schedulerMessageChanged();
    void policyChanged();
    // A background read was published, or failed, and no other read follows it at once.
    void readFinished();

private:
    void followStore();
    void watchFiles();
    static QList<FileStamp> stamps(const ConfigSeal &seal);
    void verify();
    // Makes `read` the read under way, published once it arrives.
    void follow(const BegunRead &read);
    void finishReload(const DestinationStore::Loaded &loaded);

    DestinationStore &m_store;
    std::optional<QUuid> m_selection;
    std::optional<QString> m_schedulerMessage;
    std::optional<Banner> m_shownBanner; // as last announced by bannerChanged
    QFileSystemWatcher m_watcher;
    QTimer m_reloadTimer;
    QTimer m_verifyTimer;
    // The configuration files as the last read found them; empty: read again at the next check.
    QList<FileStamp> m_stamps;
    bool m_reloading = false;
    bool m_reloadAgain = false;
    // The store published something while a read was running, so that read may be stale.
    bool m_overtaken = false;
    bool m_awaitingFirstRead = false;
    bool m_fileWritten = false; // since the reload timer last fired
    std::shared_ptr<Handoff<DestinationStore::Loaded>> m_begun; // the read under way
    std::shared_ptr<Receiver<MainWindowModel>> m_receiver;
    // The reads under way are asked to stop when the model goes, and end on their own.
    Workers m_workers;
};

} // namespace vellmir

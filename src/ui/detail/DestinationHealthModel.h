#pragma once

#include "config/Destination.h"
#include "kit/StatusStyle.h"
#include "operations/BackupRecord.h"
#include "operations/RepositoryHealth.h"
#include "util/Date.h"
#include "util/Receiver.h"
#include "util/Workers.h"

#include <QLocale>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace vellmir {

class BackupHistory;
class BackupRequests;
class BackupRunner;
class RepositoryHealthStore;

// What the health row of one destination shows, kept current while polling (the row polls
// while it is shown) from the destination's history and health files and the row's own backup
// runner. One watcher serves every row over the same folders: a change there lists the history
// once for all of them, and a row is told only when what it shows changed. Every 3 seconds the
// lines follow the clock; the files are read again then only when the watcher cannot be relied
// on (a folder not watched yet, a failed read, a record still "running"). The end of the row's
// own run starts a cycle, told only once its record holds the outcome.
class DestinationHealthModel : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds pollInterval { 3000 };
    // How long a cycle waits after a change in the watched folders, so a burst of writes costs one.
    static constexpr std::chrono::milliseconds settleInterval { 150 };

    // Where the model reads and what time it is; empty members take the application's own
    // history and health folders and the system clock.
    struct Sources {
        QString historyDirectory;
        QString healthDirectory;
        std::function<Date()> now;
        QString requestsDirectory;
        // Whether the scheduler could not be registered, so no scheduled backup will start;
        // by default the failure the last reconcile stored in the user defaults.
        std::function<bool()> automaticBackupsOff;
    };

    // A runner with every default (the engine's own restic, the default history folder, the
    // keyring's credentials).
    explicit DestinationHealthModel(const Destination &destination, QObject *parent = nullptr);
    // `runner` may be shared with the destination's pane: the row shows its runs too.
    DestinationHealthModel(const Destination &destination, Sources sources, std::shared_ptr<BackupRunner> runner,
        QObject *parent = nullptr);
    ~DestinationHealthModel() override;

    const Destination &destination() const { return m_destination; }
    // A destination whose backup settings changed (another backupScope) restarts the poll at
    // once, so records of the old settings stop counting right away.
    void setDestination(const Destination &destination);

    // Starts polling with an immediate cycle; stop() ends it. A cycle never runs while stopped.
    void start();
    void stop();
    bool isPolling() const { return m_timer.isActive(); }
    // One cycle, told to the view in any case: read the records of the current settings,
    // then the health record. A failure
    // keeps the previous values and sets errorMessage(); a cycle where both reads succeed clears it,
    // or sets it to the setAsideNotice() sentences while damaged files are set aside.
    void poll();

    // The records of the current settings as BackupHistory::outlines gives them: what the lines
    // need, without reading a record file; a "running" one is read whole, to be finished.
    const QList<BackupRecord> &records() const { return m_records; }
    const RepositoryHealth &health() const { return m_health; }
    const std::optional<QString> &errorMessage() const { return m_errorMessage; }
    BackupRunner &runner() const { return *m_runner; }
    Date now() const;

    // The finishing time of the newest complete record not dated after `now`, absent when that
    // record has none or no record is complete (older complete records do not count then).
    static std::optional<Date> lastComplete(const QList<BackupRecord> &records, Date now);
    // The latest date of the records dated after `now`, which count for nothing; none when no record is.
    static std::optional<Date> datedAhead(const QList<BackupRecord> &records, Date now);
    // The finishing time of the newest complete record of other settings than `scope`: snapshots
    // that exist, though no complete backup of the current settings does.
    static std::optional<Date> lastCompleteOfEarlierSettings(const QList<BackupRecord> &records, const QString &scope);
    // When the newest incomplete run of `scope` finished: restic saved its snapshot, though some
    // items are missing from it, so the destination is backed up, if not completely.
    static std::optional<Date> lastIncomplete(const QList<BackupRecord> &records, const QString &scope);
    // Whether a scheduled destination's last complete backup is at least one interval old.
    static bool overdue(Destination::Schedule schedule, std::optional<Date> lastComplete, Date now);
    // The sentence naming the damaged records the history set aside; none when there are none.
    static std::optional<QString> setAsideNotice(const BackupHistory &history);
    // The sentences naming the destination's damaged request and health files that were set
    // aside; none when there are none.
    static std::optional<QString> setAsideNotice(
        const BackupRequests &requests, const RepositoryHealthStore &health, const QUuid &destinationID);
    // 3600 for hourly, 86400 for daily, none for manual.
    static std::optional<double> interval(Destination::Schedule schedule);

    std::optional<Date> lastComplete() const { return lastComplete(m_records, now()); }
    bool overdue() const { return overdue(m_destination.schedule, lastComplete(), now()); }

    // The row's lines as text and tone; an absent line is not shown. The next-due, counts and
    // verified-restore lines are captions in the ordinary colour.
    struct Line {
        QString text;
        StatusTone tone = StatusTone::normal;
        friend bool operator==(const Line &, const Line &) = default;
    };
    Line backupLine(const QLocale &locale = QLocale()) const;
    std::optional<Line> latestAttemptLine() const;
    std::optional<Line> overdueLine() const;
    std::optional<Line> nextDueLine(const QLocale &locale = QLocale()) const;
    Line countsLine() const;
    Line verifiedRestoreLine(const QLocale &locale = QLocale()) const;

    // The failure of the runner's last run, until the next one starts: one refused at once (a
    // busy repository) leaves no record that would tell of it.
    std::optional<QString> runFailure() const;

    // From the start of the row's run until its record holds the outcome.
    bool isBusy() const;
    bool canBackUp() const { return !m_destination.sources.isEmpty(); }
    // "Back Up Now": hands the destination to the runner, which ignores it while busy.
    void backUpNow();
    // "Cancel": stops the runner's backup, which is then recorded as cancelled.
    void cancel();

Q_SIGNALS:
    // After every poll cycle (time moves on even when the files did not), every change of
    // destination, and every change of the files that changes what the row shows.
    void changed();
    void busyChanged();

private:
    // The backup line as the records before now make it.
    Line backupLineOfThePast(const QLocale &locale) const;
    class Folders;
    struct Listing;

    void tick();
    // One cycle from the records `listed` for every row, or listed here when absent; tells the
    // view when `always` or when what it shows changed.
    void read(const Listing *listed, bool always);

    Destination m_destination;
    Sources m_sources;
    std::shared_ptr<BackupRunner> m_runner;
    std::shared_ptr<Folders> m_folders;
    QTimer m_timer;
    bool m_runActive = false;
    bool m_readFailed = false;
    // The newest record says "running" though no process holds the repository: its run is gone.
    bool m_runGone = false;
    QList<BackupRecord> m_records;
    std::optional<Date> m_earlierComplete;
    RepositoryHealth m_health;
    std::optional<QString> m_errorMessage;
    bool m_automaticBackupsOff = false;
    bool m_finishingLeftovers = false; // a worker finishes records a dead process left running
    std::shared_ptr<Receiver<DestinationHealthModel>> m_receiver;
    // Its jobs read copies only: asked to stop when the model goes, they end without holding it.
    Workers m_workers;
};

} // namespace vellmir

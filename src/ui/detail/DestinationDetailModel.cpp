#include "detail/DestinationDetailModel.h"

#include "config/DestinationStore.h"
#include "config/FileAccessStatus.h"
#include "config/FileLock.h"
#include "config/UserDefaults.h"
#include "detail/DestinationHealthModel.h"
#include "kit/Format.h"
#include "kit/PlainText.h"
#include "operations/BackupHistory.h"
#include "operations/BackupRunner.h"
#include "operations/Scheduler.h"
#include "platform/KeyringStore.h"
#include "util/AppPaths.h"
#include "util/Error.h"
#include "util/TextRules.h"

#include <QCoreApplication>
#include <QHash>
#include <QMessageBox>
#include <QPointer>
#include <QUndoCommand>
#include <QUndoStack>
#include <thread>

namespace vellmir {

namespace {

// What a piece of background work ended with: its value, or the message of its error.
template <typename T> struct Outcome {
    std::optional<T> value;
    QString error;
};

// The undo of a removal. The removal itself is done before the command is pushed, so the
// push does nothing; undoing puts the destination back once and leaves no redo behind. An undo
// that fails keeps the command, and with it the saved secrets, so the user can try again.
class RemovalUndo : public QUndoCommand {
public:
    RemovalUndo(QPointer<QUndoStack> stack, QPointer<DestinationStore> store, DestinationStore::Removed removed,
        CredentialsStore credentials, std::function<std::optional<QString>(const QList<Destination> &)> reconcile,
        std::function<void(const QString &)> alert)
        : QUndoCommand(DestinationDetailModel::tr("Remove Destination"))
        , m_stack(std::move(stack))
        , m_store(std::move(store))
        , m_removed(std::move(removed))
        , m_credentials(std::move(credentials))
        , m_reconcile(std::move(reconcile))
        , m_alert(std::move(alert))
    {
    }

    // Only ever runs to put a failed undo back on top (see undo()): the destination is still
    // removed, so there is nothing to do again.
    void redo() override { }

    void undo() override
    {
        if (!m_store) {
            setObsolete(true);
            return;
        }
        try {
            m_store->restore(m_removed, m_credentials);
        } catch (const std::exception &error) {
            offerAgain(errorDescription(error));
            return;
        }
        setObsolete(true);
        if (m_reconcile)
            m_reconcile(m_store->destinations());
    }

private:
    // The stack moves below this command once undo() returns, although the removal still
    // stands: once it has, step back over the command so Edit > Undo offers it again. The
    // alert comes after that, so its event loop never runs while the stack is mid-step.
    void offerAgain(const QString &message)
    {
        if (!m_stack) {
            if (m_alert)
                m_alert(message);
            return;
        }
        QMetaObject::invokeMethod(
            m_stack.data(),
            [stack = m_stack, command = this, alert = m_alert, message] {
                if (stack->index() < stack->count() && stack->command(stack->index()) == command)
                    stack->redo();
                if (alert)
                    alert(message);
            },
            Qt::QueuedConnection);
    }

    QPointer<QUndoStack> m_stack;
    QPointer<DestinationStore> m_store;
    DestinationStore::Removed m_removed;
    CredentialsStore m_credentials;
    std::function<std::optional<QString>(const QList<Destination> &)> m_reconcile;
    std::function<void(const QString &)> m_alert;
};

// The panes' models of this window, and the destinations whose retention applied now is still
// at work, by the model that started it: it outlives its pane.
QList<DestinationDetailModel *> &paneModels()
{
    static QList<DestinationDetailModel *> models;
    return models;
}

QHash<QUuid, quint64> &retentionsApplying()
{
    static QHash<QUuid, quint64> applying;
    return applying;
}

// The snapshots retention would remove now, counted on a worker thread.
auto retentionCount(const ResticEngine &engine, const CredentialsStore &credentials, const Destination &destination)
{
    return [engine, credentials, destination](std::stop_token stop) {
        return engine.retentionRemovals(destination.retention, credentials.resticEnvironment(destination), stop);
    };
}

// Forgets, with pruning, exactly the snapshots the confirmation counted.
auto retentionRun(const ResticEngine &engine, const CredentialsStore &credentials, const Destination &destination,
    const QStringList &counted)
{
    return [engine, credentials, destination, counted](std::stop_token stop) {
        return engine.forgetCounted(
            destination.retention, counted, true, credentials.resticEnvironment(destination), stop);
    };
}

} // namespace

DestinationDetailModel::Services DestinationDetailModel::standardServices(
    DestinationStore *store, QUndoStack *undoStack, QWidget *alertParent)
{
    CredentialsStore credentials(std::make_shared<KeyringStore>());
    auto defaults = std::make_shared<UserDefaults>();
    Services services { store, ResticEngine(), credentials,
        std::make_unique<BackupRunner>(ResticEngine(), BackupHistory()), AppPaths::historyDirectory(),
        [] { return FileAccessStatus::isGranted(); },
        [defaults] { return defaults->boolValue(UserDefaults::useFullDiskAccess, false); },
        [defaults](const QList<Destination> &destinations) { return Scheduler(*defaults).reconcile(destinations); },
        undoStack,
        // Over its window, not loose in the middle of the screen.
        [parent = QPointer<QWidget>(alertParent)](const QString &message) {
            // It may quote a destination's name.
            QMessageBox alert(QMessageBox::Warning, QString(), visibleLines(message), QMessageBox::Ok, parent);
            alert.setTextFormat(Qt::PlainText);
            alert.exec();
        } };
    return services;
}

DestinationDetailModel::DestinationDetailModel(const Destination &destination, Services services,
    std::function<void()> onEdit, std::function<void()> onDeleted, QObject *parent)
    : QObject(parent)
    , m_destination(destination)
    , m_store(services.store)
    , m_engine(std::move(services.engine))
    , m_credentials(std::move(services.credentials))
    , m_runner(std::move(services.runner))
    , m_historyDirectory(
          services.historyDirectory.isEmpty() ? AppPaths::historyDirectory() : std::move(services.historyDirectory))
    , m_fileAccessWanted(std::move(services.fullDiskAccessWanted))
    , m_reconcile(std::move(services.reconcile))
    , m_undoStack(services.undoStack)
    , m_alert(std::move(services.alert))
    , m_onEdit(std::move(onEdit))
    , m_onDeleted(std::move(onDeleted))
    , m_fileAccessGranted(
          services.fullDiskAccessGranted ? services.fullDiskAccessGranted() : FileAccessStatus::isGranted())
    , m_receiver(Receiver<DestinationDetailModel>::make(this))
{
    static quint64 made = 0;
    m_serial = ++made;
    paneModels().append(this);
    m_applyingRetention = retentionsApplying().contains(m_destination.id);
    if (!m_runner)
        m_runner = std::make_unique<BackupRunner>(ResticEngine(), BackupHistory());
    m_timer.setInterval(pollInterval);
    connect(&m_timer, &QTimer::timeout, this, &DestinationDetailModel::poll);

    connect(m_runner.get(), &BackupRunner::busyChanged, this, &DestinationDetailModel::busyChanged);
    // A finished run made a snapshot: list it. Other phases, failed included, change nothing.
    connect(m_runner.get(), &BackupRunner::phaseChanged, this, [this] {
        if (m_runner->phase() == BackupRunner::Phase::finished)
            loadSnapshots();
    });
}

DestinationDetailModel::~DestinationDetailModel()
{
    paneModels().removeOne(this);
    m_viewStop.request_stop();
    m_receiver->close();
}

void DestinationDetailModel::setDestination(const Destination &destination)
{
    if (destination == m_destination)
        return;
    m_destination = destination;
    Q_EMIT destinationChanged();
    Q_EMIT changed();
}

template <typename Work, typename Deliver>
void DestinationDetailModel::background(std::stop_token stop, Work work, Deliver deliver)
{
    using Result = decltype(work(stop));
    // Work the pane cannot stop (retention applied now) goes on after the pane closes, rather
    // than holding the window while the pane waits for it; quitting the application stops it.
    Workers &workers = stop.stop_possible() ? m_workers : Workers::beyondViews();
    workers.start(
        stop, [receiver = m_receiver, work = std::move(work), deliver = std::move(deliver)](std::stop_token either) {
            Outcome<Result> outcome;
            try {
                outcome.value = work(either);
            } catch (const CancellationError &) {
                return;
            } catch (const std::exception &error) {
                outcome.error = errorDescription(error);
            }
            if (either.stop_requested())
                return;
            receiver->post(
                [deliver, outcome](DestinationDetailModel *model) { deliver(model, outcome.value, outcome.error); });
        });
}

bool DestinationDetailModel::fullDiskAccessWanted() const
{
    return m_fileAccessWanted ? m_fileAccessWanted() : UserDefaults().boolValue(UserDefaults::useFullDiskAccess, false);
}

// MARK: connection

void DestinationDetailModel::test()
{
    m_testing = true;
    Q_EMIT changed();
    background(
        m_viewStop.get_token(),
        [engine = m_engine, credentials = m_credentials, destination = m_destination](
            std::stop_token stop) { return engine.probe(credentials.resticEnvironment(destination), stop); },
        // A secret the keyring cannot give fails the test with its message, like a failed probe.
        [](DestinationDetailModel *model, const std::optional<ConnectionStatus> &status, const QString &error) {
            model->m_status = status.value_or(ConnectionStatus::failed(error));
            model->m_testing = false;
            Q_EMIT model->changed();
        });
}

// MARK: snapshots

void DestinationDetailModel::loadSnapshots()
{
    loadSnapshots(m_viewStop.get_token(), {});
}

void DestinationDetailModel::loadSnapshots(std::stop_token stop, std::function<void()> then)
{
    const quint64 generation = ++m_loadGeneration;
    m_loadingSnapshots = true;
    m_snapshotError.reset();
    Q_EMIT changed();
    m_snapshotsReadAt = Date::now();
    background(
        stop,
        [engine = m_engine, credentials = m_credentials, destination = m_destination](std::stop_token token) {
            // Work of this window on the repository (a backup, retention, a check, a restore)
            // would have restic's listing refused as busy: the list is read once that work ends.
            const QString lock
                = FileLock::repositoryLockPath(destination.repository, engine.lockDirectory().value_or(QString()));
            while (true) {
                if (!FileLock::waitUntilReleasedHere(lock, token))
                    throw CancellationError();
                try {
                    return engine.listSnapshots(credentials.resticEnvironment(destination), token);
                } catch (const std::exception &) {
                    if (!FileLock::heldHere(lock))
                        throw;
                }
            }
        },
        [generation, then](
            DestinationDetailModel *model, const std::optional<QList<Snapshot>> &snapshots, const QString &error) {
            model->finishLoad(generation, snapshots, snapshots ? std::nullopt : std::optional<QString>(error));
            if (then)
                then();
        });
}

void DestinationDetailModel::finishLoad(
    quint64 generation, std::optional<QList<Snapshot>> snapshots, std::optional<QString> error)
{
    // An older load that ends after a newer one started says nothing about the list now.
    if (generation != m_loadGeneration)
        return;
    m_snapshots = snapshots.value_or(QList<Snapshot>());
    m_snapshotError = std::move(error);
    m_loadingSnapshots = false;
    Q_EMIT changed();
}

bool DestinationDetailModel::saysSnapshotGone(const QString &message)
{
    // restic's words for a snapshot id it cannot find or load (a whole id, or a prefix).
    for (const char *words : { "failed to load snapshot", "failed to find snapshot", "no matching ID found" })
        if (message.contains(QLatin1String(words), Qt::CaseInsensitive))
            return true;
    return false;
}

void DestinationDetailModel::snapshotMayBeGone(const QString &message)
{
    if (saysSnapshotGone(message) && !m_loadingSnapshots)
        loadSnapshots();
}

void DestinationDetailModel::setSnapshotSelection(const std::optional<QString> &id)
{
    if (m_snapshotSelection == id)
        return;
    m_snapshotSelection = id;
    Q_EMIT changed();
}

std::optional<Snapshot> DestinationDetailModel::snapshot(const QString &id) const
{
    for (const Snapshot &snapshot : m_snapshots)
        if (snapshot.id == id)
            return snapshot;
    return std::nullopt;
}

std::optional<Snapshot> DestinationDetailModel::selectedSnapshot() const
{
    if (!m_snapshotSelection)
        return std::nullopt;
    return snapshot(*m_snapshotSelection);
}

void DestinationDetailModel::setSnapshotsExpanded(bool expanded)
{
    if (m_snapshotsExpanded == expanded)
        return;
    m_snapshotsExpanded = expanded;
    Q_EMIT changed();
}

void DestinationDetailModel::setBrowseTarget(const std::optional<Snapshot> &snapshot)
{
    m_browseTarget = snapshot;
    Q_EMIT browseTargetChanged();
}

void DestinationDetailModel::setRestoreTarget(const std::optional<Snapshot> &snapshot)
{
    m_restoreTarget = snapshot;
    Q_EMIT restoreTargetChanged();
}

void DestinationDetailModel::findAndRestore()
{
    if (std::optional<Snapshot> selected = selectedSnapshot())
        setBrowseTarget(selected);
    else if (!m_snapshots.isEmpty())
        setBrowseTarget(m_snapshots.first());
}

void DestinationDetailModel::restoreEverything()
{
    if (std::optional<Snapshot> selected = selectedSnapshot())
        setRestoreTarget(selected);
}

void DestinationDetailModel::openRow(const QString &id)
{
    setBrowseTarget(snapshot(id));
}

int DestinationDetailModel::idealTableHeight(qsizetype rows)
{
    return int(std::min<qint64>(34 + 26 * qint64(rows), maximumTableHeight));
}

// MARK: back up

void DestinationDetailModel::backUpNow()
{
    if (!canBackUp())
        return;
    m_runner->run(m_destination);
}

void DestinationDetailModel::cancelBackup()
{
    m_runner->cancel();
}

bool DestinationDetailModel::isBusy() const
{
    return m_runner->isBusy() || m_applyingRetention;
}

// MARK: retention

void DestinationDetailModel::setApplyingRetention(bool on)
{
    if (m_applyingRetention == on)
        return;
    m_applyingRetention = on;
    Q_EMIT busyChanged();
}

void DestinationDetailModel::previewRetention()
{
    setApplyingRetention(true);
    m_retentionMessage.reset();
    Q_EMIT changed();
    background(m_viewStop.get_token(), retentionCount(m_engine, m_credentials, m_destination),
        [](DestinationDetailModel *model, const std::optional<QStringList> &counted, const QString &error) {
            if (!counted)
                model->m_retentionMessage = error;
            else if (counted->isEmpty())
                model->m_retentionMessage = tr("Nothing to remove.");
            if (counted && !counted->isEmpty()) {
                model->m_countedRetention = *counted;
                Q_EMIT model->pendingRetentionRemovalsChanged();
            }
            model->setApplyingRetention(false);
            Q_EMIT model->changed();
        });
}

void DestinationDetailModel::applyRetentionNow()
{
    const QStringList counted = m_countedRetention;
    clearPendingRetention();
    setApplyingRetention(true);
    m_retentionMessage.reset();
    Q_EMIT changed();
    // It goes on after this pane closes: a pane made anew for the destination shows it until it ends.
    retentionsApplying().insert(m_destination.id, m_serial);
    background(
        {},
        [run = retentionRun(m_engine, m_credentials, m_destination, counted), id = m_destination.id,
            starter = m_serial](std::stop_token stop) {
            try {
                const int count = run(stop);
                tellRetentionEnded(id, starter, count, QString());
                return count;
            } catch (const CancellationError &) {
                throw;
            } catch (const std::exception &error) {
                tellRetentionEnded(id, starter, std::nullopt, errorDescription(error));
                throw;
            }
        },
        [](DestinationDetailModel *model, const std::optional<int> &count, const QString &error) {
            model->finishRetention(count, error);
        });
}

void DestinationDetailModel::tellRetentionEnded(
    const QUuid &id, quint64 starter, std::optional<int> count, const QString &error)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return;
    QMetaObject::invokeMethod(
        application,
        [id, starter, count, error] {
            if (retentionsApplying().value(id) == starter)
                retentionsApplying().remove(id);
            // The pane that started it hears of it itself.
            for (DestinationDetailModel *model : QList(paneModels()))
                if (paneModels().contains(model) && model->m_serial != starter && model->m_destination.id == id
                    && model->m_applyingRetention)
                    model->finishRetention(count, error);
        },
        Qt::QueuedConnection);
}

void DestinationDetailModel::finishRetention(const std::optional<int> &count, const QString &error)
{
    if (!count) {
        m_retentionMessage = error;
        setApplyingRetention(false);
        Q_EMIT changed();
        return;
    }
    m_retentionMessage = *count > 0 ? tr("Removed %1 snapshot(s).").arg(*count) : tr("Nothing to remove.");
    // Busy until the list shows what retention left.
    QPointer<DestinationDetailModel> guard(this);
    loadSnapshots(m_viewStop.get_token(), [guard] {
        if (guard) {
            guard->setApplyingRetention(false);
            Q_EMIT guard->changed();
        }
    });
}

void DestinationDetailModel::clearPendingRetention()
{
    if (m_countedRetention.isEmpty())
        return;
    m_countedRetention.clear();
    Q_EMIT pendingRetentionRemovalsChanged();
}

QString DestinationDetailModel::retentionDialogTitle() const
{
    const int count = int(m_countedRetention.size());
    return count == 1 ? tr("Remove %1 Snapshot").arg(count) : tr("Remove %1 Snapshots").arg(count);
}

QString DestinationDetailModel::retentionDialogMessage() const
{
    return tr("Snapshots from this computer outside the policy (%1) are deleted from the repository, and the data only "
              "they used is pruned. This can't be undone.")
        .arg(m_destination.retention.summary().toLower());
}

// MARK: removal

void DestinationDetailModel::setConfirmingDelete(bool confirming)
{
    if (m_confirmingDelete == confirming)
        return;
    m_confirmingDelete = confirming;
    Q_EMIT confirmingDeleteChanged();
}

QString DestinationDetailModel::removalDialogTitle(const std::function<QString(const QString &)> &fitted) const
{
    const QString name = TextRules::visible(m_destination.name);
    return tr("Remove \"%1\"?").arg(fitted ? fitted(name) : name);
}

void DestinationDetailModel::removeDestination()
{
    if (!m_store)
        return;
    DestinationStore::Removed removed;
    try {
        removed = m_store->remove(m_destination, m_credentials);
    } catch (const std::exception &error) {
        m_operationError = errorDescription(error);
        Q_EMIT changed();
        return;
    }
    if (m_reconcile)
        m_reconcile(m_store->destinations());
    if (m_undoStack)
        m_undoStack->push(
            new RemovalUndo(m_undoStack, m_store, std::move(removed), m_credentials, m_reconcile, m_alert));
    if (m_onDeleted)
        m_onDeleted();
}

// MARK: history

void DestinationDetailModel::setHistoryExpanded(bool expanded)
{
    if (m_historyExpanded == expanded)
        return;
    m_historyExpanded = expanded;
    Q_EMIT changed();
}

std::optional<Date> DestinationDetailModel::lastCompleteBackup() const
{
    const QString scope = m_destination.backupScope();
    QList<BackupRecord> current = m_history ? m_history->landmarks : QList<BackupRecord>();
    current.removeIf([&](const BackupRecord &record) { return record.scope != scope; });
    // As the health row reads it: a run dated after now is no last backup.
    return DestinationHealthModel::lastComplete(current, Date::now());
}

QString DestinationDetailModel::lastCompleteBackupText(const QLocale &locale) const
{
    if (const std::optional<Date> last = lastCompleteBackup())
        return Format::dateTime(*last, locale);
    const QList<BackupRecord> landmarks = m_history ? m_history->landmarks : QList<BackupRecord>();
    // A change of folders or exclusions starts over, but the snapshots made before it are there.
    if (const std::optional<Date> earlier
        = DestinationHealthModel::lastCompleteOfEarlierSettings(landmarks, m_destination.backupScope()))
        return tr("None with the current folders and exclusions (the last with earlier settings finished %1)")
            .arg(Format::dateTime(*earlier, locale));
    // restic saved snapshots of incomplete runs: they are backups, only not whole ones.
    if (const std::optional<Date> incomplete
        = DestinationHealthModel::lastIncomplete(landmarks, m_destination.backupScope()))
        return tr("None complete yet; the latest, incomplete, %1").arg(Format::dateTime(*incomplete, locale));
    return tr("Not yet backed up");
}

QSet<QString> DestinationDetailModel::incompleteSnapshots() const
{
    QSet<QString> ids;
    if (m_history)
        for (const QString &id : m_history->incompleteSnapshots)
            if (!id.isEmpty())
                ids.insert(id);
    return ids;
}

QString DestinationDetailModel::historyTitle(const BackupRecord &record, const QLocale &locale)
{
    // "Last complete backup" shows when a run finished; an entry here says it shows the start.
    return tr("Started %1").arg(Format::dateTime(record.startedAt, locale)) + QStringLiteral(" \u00b7 ")
        + toString(record.outcome);
}

QString DestinationDetailModel::resultNote(const BackupRecord &record)
{
    if (record.outcome == BackupRecord::Outcome::running)
        return tr("This run has not recorded a result. It may be active or interrupted; do not treat it as complete.");
    return tr("Result recorded for the selected sources and exclusions.");
}

bool DestinationDetailModel::usedOtherSettings(const BackupRecord &record) const
{
    return record.scope != m_destination.backupScope();
}

QString DestinationDetailModel::protectedTitle(qsizetype items)
{
    return Format::count(items)
        + (items == 1 ? tr(" protected item skipped (Full Disk Access not in use)")
                      : tr(" protected items skipped (Full Disk Access not in use)"));
}

void DestinationDetailModel::start()
{
    if (!m_loadedOnce) {
        m_loadedOnce = true;
        loadSnapshots(m_viewStop.get_token(), {});
    }
    m_timer.start();
    poll();
}

void DestinationDetailModel::stop()
{
    m_timer.stop();
}

void DestinationDetailModel::poll()
{
    finishLeftovers();
    readRecords();
}

void DestinationDetailModel::finishLeftovers()
{
    // A record a dead process left "running" is finished by asking restic for the run's
    // snapshot: on a worker, never on the window's thread. The next read shows the result.
    if (!m_history || !m_history->anyRunning || m_finishingLeftovers)
        return;
    m_finishingLeftovers = true;
    background(
        m_viewStop.get_token(),
        [destination = m_destination, history = BackupHistory(m_historyDirectory), locks = m_runner->lockDirectory()](
            std::stop_token stop) {
            BackupRunner::finishInterruptedRuns(destination, history, locks, stop);
            return true;
        },
        [](DestinationDetailModel *model, const std::optional<bool> &, const QString &) {
            model->m_finishingLeftovers = false;
            model->readRecords();
        });
}

void DestinationDetailModel::readRecords()
{
    if (m_readingHistory) {
        m_readAgain = true;
        return;
    }
    m_readingHistory = true;
    m_readAgain = false;
    // Only what changed since the last read is read again; the window's thread never waits on it.
    background(
        m_viewStop.get_token(),
        [history = BackupHistory(m_historyDirectory), id = m_destination.id, since = m_history](
            std::stop_token) { return history.glance(id, historyLimit, since ? &*since : nullptr); },
        [](DestinationDetailModel *model, const std::optional<std::optional<BackupHistory::Glance>> &read,
            const QString &error) {
            model->m_readingHistory = false;
            bool changed = false;
            if (read && *read) {
                BackupHistory::Glance glance = **read;
                // A history read again whole (a folder not there yet, say) may show nothing new.
                const std::optional<BackupHistory::Glance> &shown = model->m_history;
                const bool same = shown && model->m_records == glance.newest && shown->count == glance.count
                    && shown->landmarks == glance.landmarks && shown->incompleteSnapshots == glance.incompleteSnapshots
                    && shown->anyRunning == glance.anyRunning;
                model->m_records = std::move(glance.newest);
                glance.newest.clear();
                model->m_history = std::move(glance);
                changed = !same;
                model->finishLeftovers();
            } else if (!read) {
                // Stays after later good reads: the user should see that a read went wrong.
                model->m_operationError = error;
                changed = true;
            }
            if (read) {
                // Each read, changed or not: another process may have let go of the repository.
                const std::optional<BackupRecord> elsewhere = model->m_runElsewhere;
                model->followHistory();
                changed = changed || model->m_runElsewhere != elsewhere;
            }
            if (changed)
                Q_EMIT model->changed();
            if (model->m_readAgain)
                model->readRecords();
        });
}

void DestinationDetailModel::followHistory()
{
    const Date now = Date::now();
    const bool ownRun = m_runner->isBusy();
    // A run that saved a snapshot, or whose retention removed some, ended since the list was
    // read, in this process or another: the list is read again. A record dated ahead of the
    // clock says nothing of when.
    if (m_snapshotsReadAt && !m_loadingSnapshots && !ownRun) {
        const bool changedSince = std::any_of(m_records.cbegin(), m_records.cend(), [&](const BackupRecord &record) {
            if (record.isDatedAfter(now))
                return false;
            const bool saved = record.outcome == BackupRecord::Outcome::complete
                || record.outcome == BackupRecord::Outcome::incomplete;
            return (saved && record.finishedAt && *record.finishedAt > *m_snapshotsReadAt)
                || (record.prunedAt && *record.prunedAt > *m_snapshotsReadAt);
        });
        // A list turned away while another process held the repository is read once it lets go:
        // the lock asked about is the one the listing's engine took.
        const bool turnedAway = m_snapshotError == FileLock::busyMessage()
            && !FileLock::heldAnywhere(
                FileLock::repositoryLockPath(m_destination.repository, m_engine.lockDirectory().value_or(QString())));
        if (changedSince || turnedAway)
            loadSnapshots();
    }
    m_runElsewhere.reset();
    if (!ownRun && !m_records.isEmpty() && m_records.first().outcome == BackupRecord::Outcome::running
        && BackupRunner::mayBeRunning(m_destination, m_runner->lockDirectory()))
        m_runElsewhere = m_records.first();
}

DestinationActions DestinationDetailModel::actions()
{
    QPointer<DestinationDetailModel> self(this);
    const auto call = [self](void (DestinationDetailModel::*member)()) {
        return [self, member] {
            if (self)
                (self->*member)();
        };
    };
    DestinationActions actions;
    actions.name = m_destination.name;
    actions.isBusy = isBusy();
    actions.canBackUp = canBackUp();
    actions.backingUp = m_runner->isBusy();
    actions.backUpNow = call(&DestinationDetailModel::backUpNow);
    actions.cancelBackup = call(&DestinationDetailModel::cancelBackup);
    actions.edit = m_onEdit ? m_onEdit : std::function<void()>([] {});
    actions.testConnection = call(&DestinationDetailModel::test);
    actions.refreshSnapshots = [self] {
        if (self)
            self->loadSnapshots();
    };
    actions.applyRetention = call(&DestinationDetailModel::previewRetention);
    actions.remove = [self] {
        if (self)
            self->setConfirmingDelete(true);
    };
    return actions;
}

} // namespace vellmir

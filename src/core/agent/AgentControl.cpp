#include "agent/AgentControl.h"

#include "config/FileAccessStatus.h"
#include "config/FileLock.h"
#include "config/UserDefaults.h"
#include "operations/Scheduler.h"
#include "platform/KeyringStore.h"
#include "platform/SystemdAgentService.h"
#include "util/AppPaths.h"
#include "util/LocalPath.h"
#include "util/Uuid.h"

#include <QDir>
#include <QJsonArray>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/stat.h>

namespace vellmir {

namespace {

// Replaces the stored form of each date key (seconds since 2001) by formatter text.
void formatDates(QJsonObject &object, std::initializer_list<const char *> keys)
{
    for (const char *key : keys) {
        const QString name = QString::fromLatin1(key);
        const QJsonValue value = object.value(name);
        if (value.isDouble())
            object.insert(name, AgentControl::formatter().string(Date { value.toDouble() }));
    }
}

// Runs a conversion; anything that goes wrong gives the empty object the reply still carries.
template <typename Convert> QJsonObject converted(Convert convert)
{
    try {
        return convert();
    } catch (...) {
        return {};
    }
}

thread_local std::function<void(bool)> userWaitObserver;

// With nobody to ask, a change request goes unanswered: nothing is ever approved by default.
class UnansweredApprover : public AgentApprover {
public:
    ApprovalDecision decide(const ChangeRequest &, std::stop_token) override { return ApprovalDecision::timedOut; }
    std::optional<Unanswered> unanswered() const override { return Unanswered::noDesktop; }
};

std::function<std::shared_ptr<AgentApprover>()> &approverFactory()
{
    static std::function<std::shared_ptr<AgentApprover>()> factory;
    return factory;
}

} // namespace

WaitingForUser::WaitingForUser()
{
    if (userWaitObserver)
        userWaitObserver(true);
}

WaitingForUser::~WaitingForUser()
{
    if (userWaitObserver)
        userWaitObserver(false);
}

void WaitingForUser::setObserver(std::function<void(bool)> observer)
{
    userWaitObserver = std::move(observer);
}

QString AgentControl::DateFormatter::string(Date date) const
{
    // Whole seconds, held a day inside years 1 to 9999 so that whatever a file says is a date
    // that can be written, in every zone. localtime_r follows the zone tzset() last read (TZ, or
    // the system's).
    constexpr double first = -62135510400.0; // 0001-01-02T00:00:00Z
    constexpr double last = 253402214399.0; // 9999-12-30T23:59:59Z
    const double unix = std::floor(date.toUnix());
    const time_t seconds = static_cast<time_t>(unix >= first ? std::min(unix, last) : first);
    tm local {};
    if (!localtime_r(&seconds, &local))
        gmtime_r(&seconds, &local);
    char text[32];
    int length = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900,
        local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    const long offset = local.tm_gmtoff;
    if (offset == 0) {
        text[length++] = 'Z';
    } else {
        const long minutes = std::labs(offset) / 60;
        length += std::snprintf(text + length, sizeof text - size_t(length), "%c%02ld:%02ld", offset < 0 ? '-' : '+',
            minutes / 60, minutes % 60);
    }
    return QString::fromLatin1(text, length);
}

AgentControl::AgentControl(std::shared_ptr<DestinationStore> store, BackupHistory history, CredentialsStore credentials,
    ResticEngine engine, BackupRequests requests, RepositoryHealthStore health, std::shared_ptr<AgentApprover> approver,
    AgentAuditLog audit, Hooks hooks)
    : m_store(std::move(store))
    , m_history(std::move(history))
    , m_credentials(std::move(credentials))
    , m_engine(std::move(engine))
    , m_requests(std::move(requests))
    , m_health(std::move(health))
    , m_approver(std::move(approver))
    , m_audit(std::move(audit))
    , m_hooks(std::move(hooks))
{
    if (!m_hooks.startScheduler) {
        const BackupRequests requestsCopy = m_requests;
        m_hooks.startScheduler = [requestsCopy] { requestsCopy.kickScheduler(); };
    }
    if (!m_hooks.reconcileScheduler)
        m_hooks.reconcileScheduler = [](const QList<Destination> &destinations) {
            UserDefaults defaults;
            return Scheduler(defaults).reconcile(destinations);
        };
    if (!m_hooks.agentStatus)
        m_hooks.agentStatus = [] { return SystemdAgentService().status(); };
    if (m_hooks.kept)
        m_hooks.agentStatus = [kept = m_hooks.kept, ask = m_hooks.agentStatus] { return kept->agentStatus(ask); };
    if (!m_hooks.runnerServices.environmentProvider) {
        const CredentialsStore credentialsCopy = m_credentials;
        m_hooks.runnerServices.environmentProvider = [credentialsCopy](const Destination &destination) {
            return credentialsCopy.resticEnvironment(destination);
        };
    }
    if (!m_hooks.fullDiskAccess)
        m_hooks.fullDiskAccess = [] { return FileAccessStatus::isGranted(); };
}

std::unique_ptr<AgentControl> AgentControl::standard(
    std::shared_ptr<AgentApprover> approver, std::shared_ptr<AgentKeptState> kept)
{
    const CredentialsStore credentials(std::make_shared<KeyringStore>());
    Hooks hooks;
    hooks.kept = std::move(kept);
    // run() reads the store before every command; reading it here as well would check the seal
    // and read every secret twice, and hold the destinations lock twice.
    return std::make_unique<AgentControl>(std::make_shared<DestinationStore>(DestinationStore::Unread {}, credentials),
        BackupHistory(), credentials, ResticEngine(), BackupRequests(), RepositoryHealthStore(credentials),
        std::move(approver), AgentAuditLog(), std::move(hooks));
}

QJsonObject AgentControl::runCommand(
    const QString &name, const QJsonObject &arguments, std::stop_token stop, std::shared_ptr<AgentKeptState> kept)
{
    const auto &factory = approverFactory();
    std::shared_ptr<AgentApprover> approver = factory ? factory() : nullptr;
    if (!approver)
        approver = std::make_shared<UnansweredApprover>();
    return standard(std::move(approver), std::move(kept))->run(name, arguments, stop);
}

void AgentControl::setApproverFactory(std::function<std::shared_ptr<AgentApprover>()> factory)
{
    approverFactory() = std::move(factory);
}

void AgentControl::refuseUntrusted(const QString &key) const
{
    if (!m_store->integrity().isChanged())
        return;
    const QList<Destination> &awaiting = m_store->awaitingReview();
    const bool awaited = std::any_of(awaiting.cbegin(), awaiting.cend(),
        [&](const Destination &destination) { return destination.name.compare(key, Qt::CaseInsensitive) == 0; });
    // With trusted destinations left, only a name that awaits review needs more than "no match".
    if (!m_store->destinations().isEmpty() && !awaited)
        return;
    if (m_store->fromAnotherComputer())
        throw AgentError::failed(QStringLiteral("Vellmir's settings came from another computer and are not confirmed "
                                                "yet. Confirm them in Vellmir's window before using them."));
    bool sealDamaged = false;
    try {
        // Reading the seal may settle a pending one: under the lock, like every other read.
        const FileLock lock(m_store->lockPath(), true);
        sealDamaged = !m_store->seal().sealed();
    } catch (const std::exception &) {
    }
    if (sealDamaged)
        throw AgentError::failed(QStringLiteral("Vellmir's record of its own settings (") + m_store->seal().sealPath()
            + QStringLiteral(") is missing or damaged, so none of its destinations can be used. Review the change in "
                             "Vellmir's window to keep the settings as they are."));
    if (!awaited)
        return;
    throw AgentError::failed(QStringLiteral("The destination \"") + key
        + QStringLiteral("\" awaits review: Vellmir's settings were changed outside the app. Review the change in "
                         "Vellmir's window before using it."));
}

ResticEnvironment AgentControl::environment(const Destination &destination) const
{
    try {
        return m_credentials.resticEnvironment(destination);
    } catch (const CancellationError &) {
        throw; // a keyring read that the call's stop ended: the call is cancelled, not failed
    } catch (const std::exception &error) {
        throw AgentError::failed(errorDescription(error));
    }
}

void AgentControl::refuseOutsideChange() const
{
    const ConfigIntegrity &integrity = m_store->integrity();
    if (integrity.isChanged())
        throw AgentError::failed(DestinationStore::outsideChangeMessage());
    if (integrity.isUnavailable())
        throw AgentError::failed(integrity.message());
}

const AgentControl::DateFormatter &AgentControl::formatter()
{
    static const DateFormatter instance;
    return instance;
}

QJsonObject AgentControl::json(const BackupRecord &record)
{
    return converted([&record] {
        QJsonObject object = record.toJson();
        formatDates(object, { "startedAt", "finishedAt", "prunedAt" });
        return object;
    });
}

QJsonObject AgentControl::json(const Destination &destination)
{
    return converted([&destination] {
        QJsonObject object = destination.toJson();
        formatDates(object, { "lastBackup" });
        return object;
    });
}

QJsonObject AgentControl::json(const RepositoryHealth &health)
{
    return converted([&health] {
        QJsonObject object = health.toJson();
        formatDates(object, { "lastIntegrityCheck", "lastVerifiedRestore" });
        QJsonArray usage;
        for (const QJsonValue &measurement : object.value(QStringLiteral("usage")).toArray()) {
            QJsonObject item = measurement.toObject();
            formatDates(item, { "date" });
            usage.append(item);
        }
        object.insert(QStringLiteral("usage"), usage);
        return object;
    });
}

QJsonObject AgentControl::json(const AgentAuditLog::Entry &entry)
{
    return converted([&entry] {
        QJsonObject object = entry.toJson();
        object.insert(QStringLiteral("time"), formatter().string(entry.time));
        return object;
    });
}

QJsonObject AgentControl::json(const Snapshot &snapshot)
{
    return QJsonObject {
        { QStringLiteral("id"), snapshot.id },
        { QStringLiteral("shortID"), snapshot.shortID },
        { QStringLiteral("time"), formatter().string(snapshot.time) },
        { QStringLiteral("host"), snapshot.hostname },
        { QStringLiteral("paths"), QJsonArray::fromStringList(snapshot.paths) },
        { QStringLiteral("bytes"), snapshot.sizeBytes },
    };
}

QJsonObject AgentControl::destinationSummary(const Destination &destination) const
{
    return QJsonObject {
        { QStringLiteral("id"), uuidText(destination.id) },
        { QStringLiteral("name"), destination.name },
        { QStringLiteral("kind"), toString(destination.kind) },
        { QStringLiteral("repository"), destination.repository },
        { QStringLiteral("sources"), QJsonArray::fromStringList(destination.sources) },
        { QStringLiteral("excludes"), QJsonArray::fromStringList(destination.excludes) },
        { QStringLiteral("schedule"), toString(destination.schedule) },
        { QStringLiteral("retention"), destination.retention.summary() },
    };
}

QStringList AgentControl::folders(const QStringList &paths)
{
    const QString home = AppPaths::homeDirectory();
    QStringList expanded;
    for (const QString &path : paths) {
        const QString trimmed = path.trimmed();
        if (trimmed == QLatin1String("~"))
            expanded.append(home);
        else if (trimmed.startsWith(QLatin1String("~/")))
            expanded.append(home + QLatin1Char('/') + trimmed.mid(2));
        else
            expanded.append(trimmed);
    }
    QStringList checked;
    for (const QString &path : expanded) {
        if (!path.startsWith(QLatin1Char('/')))
            throw AgentError::usage(path + QStringLiteral(" must be an absolute path or start with ~."));
        // lstat: a link counts as something that exists, wherever it points.
        struct stat info { };
        if (::lstat(LocalPath::encode(path).constData(), &info) != 0)
            throw AgentError::usage(Destination::tildeForm(path) + QStringLiteral(" does not exist."));
        // "~/a", "~/a/" and "~/./a" are one folder, backed up once.
        if (const QString cleaned = QDir::cleanPath(path); !checked.contains(cleaned))
            checked.append(cleaned);
    }
    return checked;
}

QString AgentControl::snapshotPath(const QString &path)
{
    // Lexical only: a name is never looked up, and the table leaves no ".." to read.
    QStringList steps = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    steps.removeAll(QStringLiteral("."));
    return QLatin1Char('/') + steps.join(QLatin1Char('/'));
}

QStringList AgentControl::merged(const QStringList &existing, const QStringList &additions)
{
    QStringList result = existing;
    for (const QString &addition : additions)
        if (!existing.contains(addition))
            result.append(addition);
    return result;
}

QJsonObject AgentControl::retentionPreview(const Destination &destination, std::stop_token stop)
{
    const ResticEnvironment variables = environment(destination);
    const int wouldRemove = m_engine.applyRetention(destination.retention, true, true, variables, stop);
    return QJsonObject {
        { QStringLiteral("destination"), destination.name },
        { QStringLiteral("policy"), destination.retention.summary() },
        { QStringLiteral("wouldRemove"), wouldRemove },
    };
}

} // namespace vellmir

#include "protection/ProtectionDetailsModel.h"

#include "kit/Format.h"
#include "platform/KeyringStore.h"
#include "util/Error.h"
#include "util/TextRules.h"

#include <QMetaObject>
#include <limits>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace vellmir {

namespace {

// Runs work(stop) on one of `workers`' threads and hands its result to `deliver` on the model's
// thread, unless the model is gone by then.
template <typename Result, typename ReceiverPtr, typename Work, typename Deliver>
void runInBackground(Workers &workers, ReceiverPtr receiver, Work work, Deliver deliver, bool background = false)
{
    workers.start([receiver = std::move(receiver), work = std::move(work), deliver = std::move(deliver), background](
                      std::stop_token stop) {
        if (background) {
            // Linux gives each thread its own nice value: the folder walk yields to the desktop.
            ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
        }
        Result result = work(stop);
        receiver->post(
            [deliver, result = std::move(result)](ProtectionDetailsModel *model) { deliver(model, result); });
    });
}

} // namespace

ProtectionDetailsModel::Services ProtectionDetailsModel::Services::standard()
{
    CredentialsStore credentials(std::make_shared<KeyringStore>());
    return Services { ResticEngine(), RepositoryHealthStore(credentials),
        [](const Destination &destination) { return CoverageAudit::scan(destination); } };
}

ProtectionDetailsModel::ProtectionDetailsModel(const Destination &destination, QObject *parent)
    : ProtectionDetailsModel(destination, Services::standard(), parent)
{
}

ProtectionDetailsModel::ProtectionDetailsModel(const Destination &destination, Services services, QObject *parent)
    : QObject(parent)
    , m_destination(destination)
    , m_services(std::move(services))
    , m_receiver(Receiver<ProtectionDetailsModel>::make(this))
{
    if (!m_services.scan)
        m_services.scan = [](const Destination &d) { return CoverageAudit::scan(d); };
    m_timer.setInterval(pollInterval);
    connect(&m_timer, &QTimer::timeout, this, &ProtectionDetailsModel::reload);
}

ProtectionDetailsModel::~ProtectionDetailsModel()
{
    m_receiver->close();
}

void ProtectionDetailsModel::setDestination(const Destination &destination)
{
    if (destination == m_destination)
        return;
    const bool newRepository = destination.repository != m_destination.repository;
    m_destination = destination;
    Q_EMIT destinationChanged();
    if (newRepository && isPolling())
        start();
}

void ProtectionDetailsModel::start()
{
    m_timer.start();
    reload();
}

void ProtectionDetailsModel::stop()
{
    m_timer.stop();
}

void ProtectionDetailsModel::reload()
{
    try {
        setHealth(m_services.healthStore.load(m_destination));
    } catch (const std::exception &error) {
        if (!m_working)
            m_actionSection = Section::coverage;
        setMessage(errorDescription(error));
    }
}

QString ProtectionDetailsModel::recoveryTestedMessage()
{
    return tr("Sample file restored, verified, and removed.");
}

void ProtectionDetailsModel::scan()
{
    if (m_working)
        return;
    m_actionSection = Section::coverage;
    setWorking(true);
    runInBackground<CoverageAudit>(
        m_workers, m_receiver,
        [scan = m_services.scan, destination = m_destination](std::stop_token) { return scan(destination); },
        [](ProtectionDetailsModel *model, const CoverageAudit &audit) {
            model->m_audit = audit;
            Q_EMIT model->auditChanged();
            model->setWorking(false);
        },
        true);
}

void ProtectionDetailsModel::testRecovery()
{
    runHealthAction(
        Section::coverage,
        [](const RepositoryHealthStore &store, const Destination &destination, const ResticEngine &engine,
            std::stop_token stop) { store.testRecovery(destination, engine, stop); },
        recoveryTestedMessage());
}

void ProtectionDetailsModel::check()
{
    runHealthAction(
        Section::integrity,
        [](const RepositoryHealthStore &store, const Destination &destination, const ResticEngine &engine,
            std::stop_token stop) { store.check(destination, engine, stop); },
        std::nullopt);
}

void ProtectionDetailsModel::measure()
{
    runHealthAction(
        Section::storage,
        [](const RepositoryHealthStore &store, const Destination &destination, const ResticEngine &engine,
            std::stop_token stop) { store.measure(destination, engine, stop); },
        std::nullopt);
}

void ProtectionDetailsModel::runHealthAction(
    Section section, HealthAction action, std::optional<QString> successMessage)
{
    if (m_working)
        return;
    m_actionSection = section;
    setWorking(true);
    setMessage(std::nullopt);
    // The worker owns copies of all it needs: the store and the engine hold no mutable state.
    // A check, measurement or test restore still running when the pane goes is stopped with it.
    runInBackground<std::optional<QString>>(
        m_workers, m_receiver,
        [action = std::move(action), store = m_services.healthStore, engine = m_services.engine,
            destination = m_destination, successMessage](std::stop_token stop) -> std::optional<QString> {
            try {
                action(store, destination, engine, stop);
                return successMessage;
            } catch (const std::exception &error) {
                return errorDescription(error);
            }
        },
        [](ProtectionDetailsModel *model, const std::optional<QString> &message) {
            model->finishHealthAction(message);
        });
}

void ProtectionDetailsModel::finishHealthAction(const std::optional<QString> &message)
{
    setMessage(message);
    setWorking(false);
    // Also after a failure: a failed check has been recorded before it threw.
    reload();
}

void ProtectionDetailsModel::setHealth(const RepositoryHealth &health)
{
    if (health == m_health)
        return;
    m_health = health;
    Q_EMIT healthChanged();
}

void ProtectionDetailsModel::setWorking(bool working)
{
    if (working == m_working)
        return;
    m_working = working;
    Q_EMIT workingChanged();
}

void ProtectionDetailsModel::setMessage(const std::optional<QString> &message)
{
    if (message == m_message)
        return;
    m_message = message;
    Q_EMIT messageChanged();
}

QString ProtectionDetailsModel::lastVerifiedRestoreText(const QLocale &locale) const
{
    if (!m_health.lastVerifiedRestore)
        return tr("Not yet tested");
    return Format::dateTime(*m_health.lastVerifiedRestore, locale);
}

std::optional<QString> ProtectionDetailsModel::verifiedSelectionText() const
{
    if (!m_health.restoredSelection)
        return std::nullopt;
    return tr("Verified selection: ") + TextRules::visible(*m_health.restoredSelection);
}

QString ProtectionDetailsModel::lastCheckText(const QLocale &locale) const
{
    if (!m_health.lastIntegrityCheck)
        return tr("Never");
    return Format::dateTime(*m_health.lastIntegrityCheck, locale);
}

StatusTone ProtectionDetailsModel::integrityMessageTone() const
{
    return m_health.integritySucceeded == true ? StatusTone::secondary : StatusTone::warning;
}

std::optional<UsageMeasurement> ProtectionDetailsModel::latestMeasurement() const
{
    if (m_health.usage.isEmpty())
        return std::nullopt;
    return m_health.usage.constLast();
}

std::optional<UsageMeasurement> ProtectionDetailsModel::previousMeasurement() const
{
    if (m_health.usage.size() < 2)
        return std::nullopt;
    return m_health.usage.at(m_health.usage.size() - 2);
}

double ProtectionDetailsModel::rate() const
{
    return m_destination.preferences ? m_destination.preferences->storageRatePerTB : 0.0;
}

double ProtectionDetailsModel::estimate(qint64 bytes, double rate)
{
    return double(std::max<qint64>(bytes, 0)) / 1e12 * rate;
}

std::optional<double> ProtectionDetailsModel::estimate() const
{
    const std::optional<UsageMeasurement> latest = latestMeasurement();
    const double perTerabyte = rate();
    // Written so that a rate that is not a number counts as none.
    if (!latest || !(perTerabyte > 0))
        return std::nullopt;
    return estimate(latest->bytes, perTerabyte);
}

bool ProtectionDetailsModel::exceedsBudget(const std::optional<BackupPreferences> &preferences, double estimate)
{
    return preferences && preferences->monthlyBudget > 0 && preferences->monthlyBudget <= estimate;
}

bool ProtectionDetailsModel::showsBudgetWarning() const
{
    const std::optional<double> monthly = estimate();
    return monthly && exceedsBudget(m_destination.preferences, *monthly);
}

std::optional<QString> ProtectionDetailsModel::measuredCaption(const QLocale &locale) const
{
    const std::optional<UsageMeasurement> latest = latestMeasurement();
    if (!latest)
        return std::nullopt;
    return tr("Measured ") + Format::dateTime(latest->date, locale)
        + tr(". Excludes repository overhead, unreferenced packs, and provider-side versions.");
}

std::optional<QString> ProtectionDetailsModel::changeCaption(const QLocale &locale) const
{
    const std::optional<UsageMeasurement> latest = latestMeasurement();
    const std::optional<UsageMeasurement> previous = previousMeasurement();
    if (!latest || !previous)
        return std::nullopt;
    // Saturating: the counts come from a file and may be anything a 64-bit integer holds.
    qint64 change = 0;
    if (__builtin_sub_overflow(latest->bytes, previous->bytes, &change))
        change
            = latest->bytes < previous->bytes ? std::numeric_limits<qint64>::min() : std::numeric_limits<qint64>::max();
    return tr("Change since ") + Format::dateTime(previous->date, locale) + QStringLiteral(": ")
        + Format::bytes(change, locale);
}

std::optional<QString> ProtectionDetailsModel::rateCaption(const QLocale &locale) const
{
    if (!estimate())
        return std::nullopt;
    return tr("At your entered rate of ") + Format::dollars(rate(), locale)
        + tr("/TB/month. Requests, downloads, taxes and other provider charges are additional.");
}

} // namespace vellmir

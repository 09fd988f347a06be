#pragma once

#include "config/Destination.h"
#include "engine/ResticEngine.h"
#include "kit/StatusStyle.h"
#include "operations/RepositoryHealth.h"
#include "operations/RepositoryHealthStore.h"
#include "protection/CoverageAudit.h"
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

// The state behind the protection details of one destination: its health record, re-read
// every 5 seconds while polling (the panel polls while it is shown), the last coverage audit,
// and the four actions that fill them: a coverage scan, a test restore, an integrity check and
// a storage measurement. One busy flag covers all four, and each action's outcome lands in
// the one message field rather than in an alert.
//
// The actions run on worker threads and report back on this object's thread. They are never
// cancelled: a model destroyed meanwhile lets them finish and drops their results, since the
// health store has already recorded whatever they found.
class ProtectionDetailsModel : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds pollInterval { 5000 };
    // From this many issues on, the panel notes that the walk stopped listing them.
    static constexpr qsizetype issueLimit = 100;

    // What the model works with. standard() is the application's: restic found by the engine,
    // the keyring's secrets, the default health folder and the real folder walk.
    struct Services {
        ResticEngine engine;
        RepositoryHealthStore healthStore;
        std::function<CoverageAudit(const Destination &)> scan;

        static Services standard();
    };

    explicit ProtectionDetailsModel(const Destination &destination, QObject *parent = nullptr);
    ProtectionDetailsModel(const Destination &destination, Services services, QObject *parent = nullptr);
    ~ProtectionDetailsModel() override;

    const Destination &destination() const { return m_destination; }
    // The poll follows the repository string: a new one restarts it with an immediate read,
    // so a record of the old repository never shows against the new one.
    void setDestination(const Destination &destination);

    // Starts polling with an immediate read; stop() ends it.
    void start();
    void stop();
    bool isPolling() const { return m_timer.isActive(); }
    // Re-reads the health record. A failure keeps the last record and shows the error as the
    // message; a success leaves the message alone.
    void reload();

    const RepositoryHealth &health() const { return m_health; }
    const std::optional<CoverageAudit> &audit() const { return m_audit; }
    bool isWorking() const { return m_working; }
    const std::optional<QString> &message() const { return m_message; }
    // The section of the panel the latest action belongs to, where its progress and message
    // show; a failed read of the record belongs to the first.
    enum class Section { coverage, integrity, storage };
    Section actionSection() const { return m_actionSection; }

    // The four actions. Each does nothing while another runs (the panel also disables their
    // buttons), returns at once and ends with working false; all but the scan clear the
    // message first, report a failure there and re-read the record afterwards.
    void scan();
    void testRecovery();
    void check();
    void measure();

    // The success sentence of a test restore.
    static QString recoveryTestedMessage();

    // "Coverage and recovery".
    bool showsIssueLimitNote() const { return m_audit && m_audit->issues.size() >= issueLimit; }
    QString lastVerifiedRestoreText(const QLocale &locale = QLocale()) const;
    std::optional<QString> verifiedSelectionText() const;

    // "Repository integrity".
    QString lastCheckText(const QLocale &locale = QLocale()) const;
    // The recorded message is dimmed after a passed check and orange otherwise.
    StatusTone integrityMessageTone() const;

    // "Storage and cost estimate".
    std::optional<UsageMeasurement> latestMeasurement() const;
    std::optional<UsageMeasurement> previousMeasurement() const;
    // The entered rate in dollars per 10^12 bytes and month; 0 without preferences.
    double rate() const;
    // Monthly dollars for `bytes` (negative counts as none) at `rate`.
    static double estimate(qint64 bytes, double rate);
    // The estimate of the latest measurement, present only with a measurement and a rate above 0.
    std::optional<double> estimate() const;
    // Whether a positive budget is reached by the estimate.
    static bool exceedsBudget(const std::optional<BackupPreferences> &preferences, double estimate);
    bool showsBudgetWarning() const;
    std::optional<QString> measuredCaption(const QLocale &locale = QLocale()) const;
    std::optional<QString> changeCaption(const QLocale &locale = QLocale()) const;
    std::optional<QString> rateCaption(const QLocale &locale = QLocale()) const;

Q_SIGNALS:
    void destinationChanged();
    void healthChanged();
    void auditChanged();
    void workingChanged();
    void messageChanged();

private:
    using HealthAction = std::function<void(
        const RepositoryHealthStore &, const Destination &, const ResticEngine &, std::stop_token)>;

    void runHealthAction(Section section, HealthAction action, std::optional<QString> successMessage);
    void finishHealthAction(const std::optional<QString> &message);
    void setHealth(const RepositoryHealth &health);
    void setWorking(bool working);
    void setMessage(const std::optional<QString> &message);

    Destination m_destination;
    Services m_services;
    std::shared_ptr<Receiver<ProtectionDetailsModel>> m_receiver;
    // Its jobs read copies only: asked to stop when the model goes, they end without holding it.
    Workers m_workers;
    QTimer m_timer;
    RepositoryHealth m_health;
    std::optional<CoverageAudit> m_audit;
    bool m_working = false;
    std::optional<QString> m_message;
    Section m_actionSection = Section::coverage;
};

} // namespace vellmir

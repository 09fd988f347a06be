#pragma once

#include "exclude/ExcludeAIAvailability.h"
#include "exclude/ExcludeAssessment.h"
#include "exclude/ExcludeEvidence.h"
#include "exclude/ExcludeModelProviding.h"
#include "exclude/ExcludeReviewState.h"
#include "util/Receiver.h"
#include "util/Workers.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace vellmir {

// The evidence scan as the review uses it; replaceable in tests.
using ExcludeEvidenceScanner = std::function<ExcludeDiscovery(
    const QStringList &sources, const ExcludeScanLimits &limits, std::stop_token stop)>;

// One AI review of a destination's sources: the evidence scan, dropping what is excluded
// already, and the model review, as one cancellable run on a worker thread. It also keeps the
// suggestions the user approved one by one; nothing is ever approved by the review itself.
//
// Lives on one thread; every property changes there, and a change signal fires only when the
// value changed. Each run captures the run id current at its start; start() and cancel()
// replace it, and every write of a run checks it first, so a superseded run changes nothing.
class ExcludeReviewModel : public QObject {
    Q_OBJECT

public:
    explicit ExcludeReviewModel(QObject *parent = nullptr);
    explicit ExcludeReviewModel(ExcludeEvidenceScanner scanner, QObject *parent = nullptr);
    // Stops a running review; its worker ends on its own.
    ~ExcludeReviewModel() override;

    const ExcludeReviewState &state() const { return m_state; }
    const ExcludeAIAvailability &availability() const { return m_availability; }
    // Where availability is read from: the platform's answer unless replaced (tests, a view
    // that must not see the real platform). Setting it reads it at once.
    void setAvailabilitySource(std::function<ExcludeAIAvailability()> source);
    // Reads availability afresh, as the sheet does when its window comes back to the front.
    void refreshAvailability();
    const ExcludeDiscovery &discovery() const { return m_discovery; }
    const QList<ExcludeAssessment> &assessments() const { return m_assessments; }
    // Evidence ids the user approved.
    const QSet<QString> &selected() const { return m_selected; }
    void setSelected(const QSet<QString> &ids);
    void setSelected(const QString &id, bool approved);

    // The approved suggestions, in assessment order; approved ids of folders that are not
    // suggested count for nothing.
    QList<ExcludeEvidence> chosen() const;
    // Bytes of the chosen folders, a folder inside another chosen one counted once.
    qint64 selectedBytes() const;

    // Starts a new run and returns at once; a run under way is cancelled first. The provider
    // is called from the run's worker thread. Starting does not refuse when the model is
    // unavailable: such a run fails with the model's own sentence.
    void start(const QStringList &sources, const QStringList &existingExcludes,
        std::shared_ptr<ExcludeModelProviding> provider, const ExcludeScanLimits &limits = {});
    // Stops the current run, if any; a finished run's results stay.
    void cancel();

    // Scans the parents of the approved folders again and returns their exclude patterns, or
    // fails with ExcludeAIError::generation when any folder no longer matches what was
    // reviewed. Blocks; run it off the GUI thread. A stop request ends it with CancellationError.
    static QStringList revalidatedPatterns(const QList<ExcludeEvidence> &chosen, std::stop_token stop = {});
    static QStringList revalidatedPatterns(
        const QList<ExcludeEvidence> &chosen, std::stop_token stop, const ExcludeEvidenceScanner &scanner);
    // The members that lie inside no other member, in input order.
    static QList<ExcludeEvidence> outermost(const QList<ExcludeEvidence> &evidence);

Q_SIGNALS:
    void stateChanged();
    void availabilityChanged();
    void discoveryChanged();
    void assessmentsChanged();
    void selectedChanged();

private:
    struct Outcome;

    void setState(const ExcludeReviewState &state);
    void setAvailability(const ExcludeAIAvailability &availability);
    void setDiscovery(const ExcludeDiscovery &discovery);
    void setAssessments(const QList<ExcludeAssessment> &assessments);
    void finish(const QUuid &runID, const Outcome &outcome);

    ExcludeEvidenceScanner m_scanner;
    std::function<ExcludeAIAvailability()> m_availabilitySource;
    ExcludeReviewState m_state;
    ExcludeAIAvailability m_availability;
    ExcludeDiscovery m_discovery;
    QList<ExcludeAssessment> m_assessments;
    QSet<QString> m_selected;
    std::optional<std::stop_source> m_task; // of the run under way
    QUuid m_runID;
    std::shared_ptr<Receiver<ExcludeReviewModel>> m_receiver;
    // Its jobs read copies only: asked to stop when the model goes, they end without holding it.
    Workers m_workers;
};

} // namespace vellmir

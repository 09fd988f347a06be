#include "exclude/ExcludeReviewModel.h"

#include "exclude/ExcludeAIError.h"
#include "exclude/ExcludeEvidenceScan.h"
#include "exclude/SmartExcludeAI.h"
#include "util/Error.h"
#include "util/Log.h"

#include <QMetaObject>
#include <thread>

namespace vellmir {

struct ExcludeReviewModel::Outcome {
    enum class Kind { complete, cancelled, failed };
    Kind kind = Kind::complete;
    QList<ExcludeAssessment> assessments;
    QString message;
};

namespace {

QString parentFolder(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

ExcludeDiscovery scanLocally(const QStringList &sources, const ExcludeScanLimits &limits, std::stop_token stop)
{
    return discoverForAI(sources, limits, std::move(stop));
}

bool matchesReview(const ExcludeEvidence &reviewed, const ExcludeEvidence &fresh)
{
    return fresh.complete && fresh.risks.isEmpty() && fresh.recovery.has_value() && fresh.bytes == reviewed.bytes
        && fresh.fileCount == reviewed.fileCount && fresh.markers == reviewed.markers
        && fresh.fileTypes == reviewed.fileTypes && reviewed.recovery.has_value()
        && reviewed.recovery == fresh.recovery;
}

} // namespace

ExcludeReviewModel::ExcludeReviewModel(QObject *parent)
    : ExcludeReviewModel(scanLocally, parent)
{
}

ExcludeReviewModel::ExcludeReviewModel(ExcludeEvidenceScanner scanner, QObject *parent)
    : QObject(parent)
    , m_scanner(std::move(scanner))
    , m_availabilitySource([] { return SmartExcludeAI::availability(); })
    , m_availability(SmartExcludeAI::availability())
    , m_runID(QUuid::createUuid())
    , m_receiver(Receiver<ExcludeReviewModel>::make(this))
{
}

ExcludeReviewModel::~ExcludeReviewModel()
{
    m_receiver->close();
    if (m_task)
        m_task->request_stop();
}

void ExcludeReviewModel::setState(const ExcludeReviewState &state)
{
    if (m_state == state)
        return;
    m_state = state;
    Q_EMIT stateChanged();
}

void ExcludeReviewModel::setAvailability(const ExcludeAIAvailability &availability)
{
    if (m_availability == availability)
        return;
    m_availability = availability;
    Q_EMIT availabilityChanged();
}

void ExcludeReviewModel::setAvailabilitySource(std::function<ExcludeAIAvailability()> source)
{
    m_availabilitySource = std::move(source);
    refreshAvailability();
}

void ExcludeReviewModel::refreshAvailability()
{
    setAvailability(m_availabilitySource());
}

void ExcludeReviewModel::setDiscovery(const ExcludeDiscovery &discovery)
{
    if (m_discovery == discovery)
        return;
    m_discovery = discovery;
    Q_EMIT discoveryChanged();
}

void ExcludeReviewModel::setAssessments(const QList<ExcludeAssessment> &assessments)
{
    if (m_assessments == assessments)
        return;
    m_assessments = assessments;
    Q_EMIT assessmentsChanged();
}

void ExcludeReviewModel::setSelected(const QSet<QString> &ids)
{
    if (m_selected == ids)
        return;
    m_selected = ids;
    Q_EMIT selectedChanged();
}

void ExcludeReviewModel::setSelected(const QString &id, bool approved)
{
    QSet<QString> ids = m_selected;
    if (approved)
        ids.insert(id);
    else
        ids.remove(id);
    setSelected(ids);
}

QList<ExcludeEvidence> ExcludeReviewModel::chosen() const
{
    QList<ExcludeEvidence> result;
    for (const ExcludeAssessment &assessment : m_assessments) {
        if (assessment.suggested && m_selected.contains(assessment.id()))
            result.append(assessment.evidence);
    }
    return result;
}

qint64 ExcludeReviewModel::selectedBytes() const
{
    qint64 total = 0;
    for (const ExcludeEvidence &evidence : outermost(chosen()))
        total += evidence.bytes;
    return total;
}

void ExcludeReviewModel::start(const QStringList &sources, const QStringList &existingExcludes,
    std::shared_ptr<ExcludeModelProviding> provider, const ExcludeScanLimits &limits)
{
    cancel();
    refreshAvailability();
    m_runID = QUuid::createUuid();
    setState(ExcludeReviewState::scanning());
    setAssessments({});
    setSelected(QSet<QString> {});
    setDiscovery({});

    m_task.emplace();
    const QUuid runID = m_runID;
    // The worker owns copies of all it uses; once the run is superseded, what it posts is
    // dropped, and the model asks it to stop when it goes.
    m_workers.start([receiver = m_receiver, runID, scanner = m_scanner, sources, existingExcludes,
                        provider = std::move(provider), limits, stop = m_task->get_token()](std::stop_token) {
        Outcome outcome;
        try {
            const ExcludeDiscovery discovery = scanner(sources, limits, stop);
            if (stop.stop_requested())
                throw CancellationError();
            receiver->post([runID, discovery](ExcludeReviewModel *model) {
                if (model->m_runID == runID)
                    model->setDiscovery(discovery);
            });

            // Only the exact escaped pattern counts: other spellings of an exclude may not
            // cover the same folder, so such a candidate is still reviewed.
            const QSet<QString> excluded(existingExcludes.cbegin(), existingExcludes.cend());
            QList<ExcludeEvidence> kept;
            for (const ExcludeEvidence &candidate : discovery.candidates) {
                if (!excluded.contains(candidate.pattern()))
                    kept.append(candidate);
            }
            const auto progress = [&receiver, runID](qint64 done, qint64 total) {
                receiver->post([runID, done, total](ExcludeReviewModel *model) {
                    if (model->m_runID == runID)
                        model->setState(ExcludeReviewState::reviewing(done, total));
                });
            };
            outcome.assessments = SmartExcludeAI::review(kept, *provider, progress, stop);
            if (stop.stop_requested())
                throw CancellationError();
        } catch (const CancellationError &) {
            outcome.kind = Outcome::Kind::cancelled;
        } catch (const std::exception &error) {
            outcome.kind = Outcome::Kind::failed;
            outcome.message = errorDescription(error);
        } catch (...) {
            outcome.kind = Outcome::Kind::failed;
            outcome.message = QStringLiteral("The AI review could not be completed.");
        }
        receiver->post([runID, outcome](ExcludeReviewModel *model) { model->finish(runID, outcome); });
    });
}

void ExcludeReviewModel::finish(const QUuid &runID, const Outcome &outcome)
{
    if (m_runID != runID)
        return;
    switch (outcome.kind) {
    case Outcome::Kind::complete:
        setAssessments(outcome.assessments);
        setState(ExcludeReviewState::complete());
        break;
    case Outcome::Kind::cancelled:
        setState(ExcludeReviewState::cancelled());
        break;
    case Outcome::Kind::failed:
        logLine(QStringLiteral("exclude"), QStringLiteral("AI review failed: ") + outcome.message);
        setState(ExcludeReviewState::failed(outcome.message));
        break;
    }
    m_task.reset();
}

void ExcludeReviewModel::cancel()
{
    if (m_task) {
        m_task->request_stop();
        m_task.reset();
    }
    m_runID = QUuid::createUuid();
    if (m_state.isRunning())
        setState(ExcludeReviewState::cancelled());
}

QList<ExcludeEvidence> ExcludeReviewModel::outermost(const QList<ExcludeEvidence> &evidence)
{
    QList<ExcludeEvidence> result;
    for (const ExcludeEvidence &member : evidence) {
        const bool inside = std::any_of(evidence.cbegin(), evidence.cend(), [&member](const ExcludeEvidence &other) {
            return other.path != member.path && member.path.startsWith(other.path + u'/');
        });
        if (!inside)
            result.append(member);
    }
    return result;
}

QStringList ExcludeReviewModel::revalidatedPatterns(const QList<ExcludeEvidence> &chosen, std::stop_token stop)
{
    return revalidatedPatterns(chosen, std::move(stop), scanLocally);
}

QStringList ExcludeReviewModel::revalidatedPatterns(
    const QList<ExcludeEvidence> &chosen, std::stop_token stop, const ExcludeEvidenceScanner &scanner)
{
    if (chosen.isEmpty())
        return {};
    const QList<ExcludeEvidence> approved = outermost(chosen);
    // Only the parents are walked: enough to measure each approved folder afresh, and far
    // less than the whole sources.
    QStringList roots;
    for (const ExcludeEvidence &evidence : approved) {
        const QString parent = parentFolder(evidence.path);
        if (!roots.contains(parent))
            roots.append(parent);
    }
    const ExcludeDiscovery fresh = scanner(roots, ExcludeScanLimits {}, stop);
    if (stop.stop_requested())
        throw CancellationError();

    QStringList patterns;
    for (const ExcludeEvidence &reviewed : approved) {
        const auto found = std::find_if(fresh.candidates.cbegin(), fresh.candidates.cend(),
            [&reviewed](const ExcludeEvidence &candidate) { return candidate.path == reviewed.path; });
        if (found == fresh.candidates.cend() || !matchesReview(reviewed, *found))
            throw ExcludeAIError::generation(QStringLiteral("A selected folder changed or could not be fully "
                                                            "rechecked. No exclusions were added. Run AI review "
                                                            "again."));
        patterns.append(reviewed.pattern());
    }
    return patterns;
}

} // namespace vellmir

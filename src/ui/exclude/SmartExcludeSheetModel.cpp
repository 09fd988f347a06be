#include "exclude/SmartExcludeSheetModel.h"

#include "config/Destination.h"
#include "exclude/AppDataExclude.h"
#include "exclude/CloudSync.h"
#include "exclude/ExcludeEvidenceScan.h"
#include "exclude/ExcludeMatcher.h"
#include "exclude/LibraryExclude.h"
#include "exclude/OnDeviceExcludeModel.h"
#include "exclude/SmartExclude.h"
#include "exclude/SmartExcludeAI.h"
#include "kit/Format.h"
#include "protection/FileViewer.h"
#include "util/Error.h"

#include <QDir>
#include <QMetaObject>
#include <algorithm>
#include <thread>

namespace vellmir {

const QString SmartExcludeSheetModel::privacyNote = QStringLiteral(
    "On-device only. Shares relative folder paths and metadata with the local model, never document contents. "
    "Reads only cache-tag signatures locally. A new review clears previous AI selections.");
const QString SmartExcludeSheetModel::rulesFooter
    = QStringLiteral("Adds restic exclude patterns. Each leaves out the one folder it names and what it holds.");
const QString SmartExcludeSheetModel::aiFooter = QStringLiteral(
    "Approve AI suggestions individually. They affect only the displayed folder and its contents. Sizes are "
    "allocated bytes, not predicted upload savings; rule selections may overlap. A keep recommendation does not "
    "undo existing or rule-based exclusions. No source files are deleted. Review again if the folder's purpose "
    "changes.");

namespace {

// Ascending by Unicode scalar after canonical composition; plain byte order for ASCII.
bool scalarLess(const QString &left, const QString &right)
{
    const QList<uint> a = left.normalized(QString::NormalizationForm_C).toUcs4();
    const QList<uint> b = right.normalized(QString::NormalizationForm_C).toUcs4();
    return std::lexicographical_compare(a.cbegin(), a.cend(), b.cbegin(), b.cend());
}

// The folder a suggestion names: every detector names one folder by its own path, spelt as a
// literal pattern (Destination::literalPattern, "~/" for the home folder). Empty for a pattern
// that names no one folder (a bare name).
QString suggestedFolder(const QString &pattern)
{
    QString path;
    path.reserve(pattern.size());
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == u'\\' && i + 1 < pattern.size())
            ++i;
        path.append(pattern[i]);
    }
    path = Destination::expandTilde(path);
    return path.startsWith(u'/') ? path : QString();
}

// Whether `folder` is one of `sources` or holds one.
bool holdsSource(const QString &folder, const QStringList &sources)
{
    const QString below = folder.endsWith(u'/') ? folder : folder + u'/';
    return std::any_of(sources.cbegin(), sources.cend(),
        [&](const QString &source) { return source == folder || source.startsWith(below); });
}

// The suggestions whose folders a backup would still store. A folder the existing patterns
// already leave out, as restic matches them ("node_modules", a folder above it, a trailing "/"),
// would be left out twice; a source, or a folder that holds one, would drop what the user chose
// to back up. Reads the disk (sources that are links): worker threads only.
QList<ExcludeCandidate> stillStored(
    const QList<ExcludeCandidate> &found, const QStringList &sources, const QStringList &excludes)
{
    const ExcludeMatcher matcher(Destination::resticExcludes(excludes, sources));
    // Each source as given and as restic walks it: suggestions come spelt either way.
    QStringList chosen;
    for (const QString &source : sources) {
        const QString given = QDir::cleanPath(Destination::expandTilde(source));
        chosen << given << Destination::resolvedSource(given);
    }
    const QSet<QString> existing(excludes.cbegin(), excludes.cend());
    QList<ExcludeCandidate> kept;
    for (const ExcludeCandidate &candidate : found) {
        if (existing.contains(candidate.pattern))
            continue;
        const QString folder = candidate.pattern.isEmpty() ? QString() : suggestedFolder(candidate.pattern);
        if (!folder.isEmpty() && (holdsSource(folder, chosen) || matcher.matches(folder, QString())))
            continue;
        kept.append(candidate);
    }
    return kept;
}

} // namespace

SmartExcludeServices SmartExcludeServices::standard()
{
    SmartExcludeServices services;
    services.detect = [](const QStringList &sources) {
        QList<ExcludeCandidate> found = CloudSync().detect(sources);
        found.append(LibraryExclude().detect(sources));
        found.append(AppDataExclude().detect(sources));
        found.append(SmartExclude().scan(sources));
        return found;
    };
    services.evidenceScanner = [](const QStringList &sources, const ExcludeScanLimits &limits, std::stop_token stop) {
        return discoverForAI(sources, limits, std::move(stop));
    };
    services.provider = [] { return std::make_shared<OnDeviceExcludeModel>(); };
    services.availability = [] { return SmartExcludeAI::availability(); };
    services.reveal = &revealInFileViewer;
    return services;
}

SmartExcludeSheetModel::SmartExcludeSheetModel(QStringList sources, QStringList existingExcludes, ApplyCallback onApply,
    SmartExcludeServices services, QObject *parent)
    : QObject(parent)
    , m_sources(std::move(sources))
    , m_existingExcludes(std::move(existingExcludes))
    , m_onApply(std::move(onApply))
    , m_services(std::move(services))
    , m_aiReview(new ExcludeReviewModel(m_services.evidenceScanner, this))
    , m_receiver(Receiver<SmartExcludeSheetModel>::make(this))
{
    m_aiReview->setAvailabilitySource(m_services.availability);
}

SmartExcludeSheetModel::~SmartExcludeSheetModel()
{
    m_receiver->close();
    if (m_applyTask)
        m_applyTask->request_stop();
}

void SmartExcludeSheetModel::initialScan()
{
    if (m_scanStarted)
        return;
    m_scanStarted = true;
    m_workers.start([receiver = m_receiver, detect = m_services.detect, sources = m_sources,
                        excludes = m_existingExcludes](std::stop_token) {
        const QList<ExcludeCandidate> found = stillStored(detect(sources), sources, excludes);
        receiver->post([found](SmartExcludeSheetModel *model) { model->deliverScan(found); });
    });
}

void SmartExcludeSheetModel::deliverScan(const QList<ExcludeCandidate> &found)
{
    QList<ExcludeCandidate> kept;
    m_unoffered.clear();
    for (const ExcludeCandidate &candidate : found) {
        if (candidate.pattern.isEmpty())
            m_unoffered.append(candidate.reason);
        else
            kept.append(candidate);
    }
    std::stable_sort(kept.begin(), kept.end(),
        [](const ExcludeCandidate &a, const ExcludeCandidate &b) { return a.totalBytes > b.totalBytes; });
    m_candidates = kept;
    QSet<QString> recommended;
    for (const ExcludeCandidate &candidate : std::as_const(m_candidates)) {
        if (candidate.recommended)
            recommended.insert(candidate.id);
    }
    m_selected = recommended;
    m_scanning = false;
    Q_EMIT candidatesChanged();
    Q_EMIT selectedChanged();
    Q_EMIT scanningChanged();
}

void SmartExcludeSheetModel::setSelected(const QString &id, bool on)
{
    if (on == m_selected.contains(id))
        return;
    const bool known = std::any_of(m_candidates.cbegin(), m_candidates.cend(),
        [&id](const ExcludeCandidate &candidate) { return candidate.id == id; });
    if (on && !known)
        return;
    if (on)
        m_selected.insert(id);
    else
        m_selected.remove(id);
    Q_EMIT selectedChanged();
}

bool SmartExcludeSheetModel::allSelected() const
{
    return !m_candidates.isEmpty() && m_selected.size() == m_candidates.size();
}

void SmartExcludeSheetModel::toggleAllRules()
{
    QSet<QString> next;
    if (!allSelected()) {
        for (const ExcludeCandidate &candidate : std::as_const(m_candidates))
            next.insert(candidate.id);
    }
    if (next == m_selected)
        return;
    m_selected = next;
    Q_EMIT selectedChanged();
}

QString SmartExcludeSheetModel::selectedSizeText() const
{
    qint64 total = 0;
    for (const ExcludeCandidate &candidate : m_candidates) {
        if (m_selected.contains(candidate.id))
            total += candidate.totalBytes;
    }
    return Format::bytes(total);
}

QString SmartExcludeSheetModel::detail(const ExcludeCandidate &candidate)
{
    switch (candidate.source) {
    case ExcludeCandidate::Source::rule:
        return Format::count(candidate.instanceCount) + QStringLiteral(" found · ")
            + Format::bytes(candidate.totalBytes);
    case ExcludeCandidate::Source::cloud:
        return QStringLiteral("cloud-synced · ") + Format::bytes(candidate.totalBytes);
    case ExcludeCandidate::Source::ai:
        break;
    }
    return QStringLiteral("Suggested by the on-device review");
}

QString SmartExcludeSheetModel::toggleAllTitle() const
{
    return allSelected() ? QStringLiteral("Deselect Rules") : QStringLiteral("Select All Rules");
}

QString SmartExcludeSheetModel::rulesText() const
{
    return QStringLiteral("Rules: ") + selectedSizeText();
}

QString SmartExcludeSheetModel::scanningText() const
{
    return QStringLiteral("Scanning ") + Format::counted(m_sources.size(), QStringLiteral("folder"))
        + QStringLiteral("…");
}

QString SmartExcludeSheetModel::rulesHeader() const
{
    return Format::counted(m_candidates.size(), QStringLiteral("suggestion"));
}

QString SmartExcludeSheetModel::aiHeader() const
{
    const auto &assessments = m_aiReview->assessments();
    const qint64 suggested = std::count_if(
        assessments.cbegin(), assessments.cend(), [](const ExcludeAssessment &item) { return item.suggested; });
    return QStringLiteral("AI review: ") + Format::count(suggested) + QStringLiteral(" suggestions · ")
        + Format::bytes(m_aiReview->selectedBytes()) + QStringLiteral(" selected");
}

bool SmartExcludeSheetModel::showsRuleControls() const
{
    return !m_scanning && !m_candidates.isEmpty();
}

SmartExcludeSheetModel::Content SmartExcludeSheetModel::content() const
{
    if (m_scanning)
        return Content::scanning;
    if (m_candidates.isEmpty() && m_aiReview->assessments().isEmpty())
        return Content::empty;
    return Content::list;
}

QString SmartExcludeSheetModel::addButtonTitle() const
{
    return m_applying ? QStringLiteral("Rechecking…") : QStringLiteral("Add Selected");
}

bool SmartExcludeSheetModel::canAdd() const
{
    if (m_selected.isEmpty() && m_aiReview->chosen().isEmpty())
        return false;
    return !m_aiReview->state().isRunning() && !m_applying;
}

void SmartExcludeSheetModel::clearApplyError()
{
    if (!m_applyError)
        return;
    m_applyError.reset();
    Q_EMIT applyErrorChanged();
}

void SmartExcludeSheetModel::setApplying(bool applying)
{
    if (m_applying == applying)
        return;
    m_applying = applying;
    Q_EMIT applyingChanged();
}

void SmartExcludeSheetModel::applySelected()
{
    if (!canAdd())
        return;
    setApplying(true);
    m_applyTask.emplace();
    const quint64 generation = ++m_applyGeneration;
    m_workers.start([receiver = m_receiver, generation, chosen = m_aiReview->chosen(),
                        scanner = m_services.evidenceScanner, stop = m_applyTask->get_token()](std::stop_token) {
        std::optional<QStringList> patterns;
        std::optional<QString> error;
        try {
            patterns = ExcludeReviewModel::revalidatedPatterns(chosen, stop, scanner);
        } catch (const CancellationError &) {
            // Neither patterns nor an error: the step ends silently.
        } catch (const std::exception &failure) {
            error = errorDescription(failure);
        }
        receiver->post([generation, patterns, error](
                           SmartExcludeSheetModel *model) { model->finishApply(generation, patterns, error); });
    });
}

void SmartExcludeSheetModel::finishApply(
    quint64 generation, const std::optional<QStringList> &aiPatterns, const std::optional<QString> &error)
{
    // cancel() drops the task and moves the generation on, so a cancelled step never lands here.
    if (generation != m_applyGeneration || !m_applyTask)
        return;
    m_applyTask.reset();
    if (!aiPatterns && !error) {
        setApplying(false);
        return;
    }
    if (error) {
        // Nothing is handed over, not even the rule patterns: all or nothing.
        m_applyError = *error;
        setApplying(false);
        Q_EMIT applyErrorChanged();
        return;
    }
    QStringList patterns = *aiPatterns;
    for (const ExcludeCandidate &candidate : std::as_const(m_candidates)) {
        if (m_selected.contains(candidate.id))
            patterns.append(candidate.pattern);
    }
    patterns.removeDuplicates();
    std::sort(patterns.begin(), patterns.end(), scalarLess);
    if (m_onApply)
        m_onApply(patterns);
    Q_EMIT dismissRequested();
    setApplying(false);
}

void SmartExcludeSheetModel::cancel()
{
    m_aiReview->cancel();
    if (m_applyTask) {
        m_applyTask->request_stop();
        m_applyTask.reset();
        ++m_applyGeneration;
        setApplying(false);
    }
}

QString SmartExcludeSheetModel::reviewButtonTitle() const
{
    return m_aiReview->state().kind() == ExcludeReviewState::Kind::idle ? QStringLiteral("Review Folders")
                                                                        : QStringLiteral("Review Again");
}

bool SmartExcludeSheetModel::canStartReview() const
{
    return !m_scanning && !m_applying && m_aiReview->availability().isAvailable();
}

void SmartExcludeSheetModel::startReview()
{
    if (!canStartReview() || m_aiReview->state().isRunning())
        return;
    m_aiReview->start(m_sources, m_existingExcludes, m_services.provider(), ExcludeScanLimits {});
}

void SmartExcludeSheetModel::stopReview()
{
    m_aiReview->cancel();
}

void SmartExcludeSheetModel::refreshAvailability()
{
    m_aiReview->refreshAvailability();
}

QString SmartExcludeSheetModel::aiNote() const
{
    const ExcludeAIAvailability &availability = m_aiReview->availability();
    return availability.isAvailable() ? privacyNote : availability.message();
}

QString SmartExcludeSheetModel::aiStatus() const
{
    return aiStatus(m_aiReview->state(), m_aiReview->discovery(), m_aiReview->assessments());
}

QString SmartExcludeSheetModel::aiStatus(
    const ExcludeReviewState &state, const ExcludeDiscovery &discovery, const QList<ExcludeAssessment> &assessments)
{
    using Kind = ExcludeReviewState::Kind;
    switch (state.kind()) {
    case Kind::idle:
        return QStringLiteral("Optional: discover nested candidates and review their regeneration evidence. Nothing "
                              "is automatically selected.");
    case Kind::scanning:
        return QStringLiteral("Inspecting nested folders and local metadata…");
    case Kind::reviewing:
        return QStringLiteral("Reviewing metadata: ") + Format::count(state.done()) + QStringLiteral(" of ")
            + Format::count(state.total()) + QStringLiteral(" folders…");
    case Kind::complete: {
        const qint64 suggested = std::count_if(
            assessments.cbegin(), assessments.cend(), [](const ExcludeAssessment &item) { return item.suggested; });
        if (suggested == 0)
            return QStringLiteral("Review complete: no additional exclusions recommended. Inspected ")
                + Format::count(discovery.inspectedEntries)
                + QStringLiteral(" entries; uncertain folders are not recommended for exclusion.");
        return QStringLiteral("Review complete: ") + Format::count(suggested)
            + QStringLiteral(" suggestions need your approval. Inspected ") + Format::count(discovery.inspectedEntries)
            + QStringLiteral(" entries.");
    }
    case Kind::cancelled:
        return QStringLiteral("Review cancelled. No new exclusions were added. You can retry.");
    case Kind::failed:
        break;
    }
    return QStringLiteral("Review failed: ") + state.message();
}

void SmartExcludeSheetModel::setAISelected(const ExcludeAssessment &assessment, bool on)
{
    m_aiReview->setSelected(assessment.id(), on && assessment.suggested);
}

QString SmartExcludeSheetModel::verdict(const ExcludeAssessment &assessment)
{
    return assessment.suggested ? QStringLiteral("AI suggestion · individual approval required")
                                : QStringLiteral("Recommendation: keep backed up · AI exclusion blocked");
}

QString SmartExcludeSheetModel::evidenceTitle(const ExcludeEvidence &evidence)
{
    return QStringLiteral("Evidence and recovery · ") + Format::count(evidence.fileCount) + QStringLiteral(" files · ")
        + Format::bytes(evidence.bytes);
}

QStringList SmartExcludeSheetModel::evidenceLines(const ExcludeEvidence &evidence)
{
    return {
        QStringLiteral("File types: ") + evidence.fileTypes.join(QStringLiteral(", ")),
        evidence.complete ? QStringLiteral("Metadata pass completed. Any reported protected, linked, or cloud-only "
                                           "contents were not inspected; their sizes are not included.")
                          : QStringLiteral("Incomplete scan; size is a lower bound."),
        QStringLiteral("Evidence: ")
            + (evidence.markers.isEmpty() ? QStringLiteral("No verified regeneration markers")
                                          : evidence.markers.join(QStringLiteral("; "))),
        QStringLiteral("Recovery: ")
            + evidence.recovery.value_or(QStringLiteral("Not established. Keep this folder backed up.")),
    };
}

void SmartExcludeSheetModel::reveal(const QString &path) const
{
    if (m_services.reveal)
        m_services.reveal(path);
}

} // namespace vellmir

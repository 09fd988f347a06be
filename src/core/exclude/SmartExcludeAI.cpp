#include "exclude/SmartExcludeAI.h"

#include "util/Error.h"

#include <QSet>
#include <QTextBoundaryFinder>
#include <algorithm>

namespace vellmir {

namespace {

const QString keepPrefix = QStringLiteral("Keep backed up: ");

ExcludeAssessment keep(const ExcludeEvidence &evidence, const QString &why)
{
    return ExcludeAssessment { evidence, false, keepPrefix + why };
}

void checkStop(const std::stop_token &stop)
{
    if (stop.stop_requested())
        throw CancellationError();
}

bool isControlOrFormat(uint scalar)
{
    const auto category = QChar::category(scalar);
    return category == QChar::Other_Control || category == QChar::Other_Format;
}

bool isTrimmed(uint scalar)
{
    return scalar == u'\t' || QChar::category(scalar) == QChar::Separator_Space;
}

} // namespace

ExcludeAIAvailability SmartExcludeAI::availability()
{
    return availability(systemModelAvailability());
}

ExcludeAIAvailability SmartExcludeAI::availability(SystemModelAvailability platform)
{
    switch (platform) {
    case SystemModelAvailability::available:
        return ExcludeAIAvailability::available();
    case SystemModelAvailability::systemTooOld:
        return ExcludeAIAvailability::unavailable(QStringLiteral("On-device AI review needs a newer system. Rule-based "
                                                                 "scanning remains available."));
    case SystemModelAvailability::deviceNotEligible:
        return ExcludeAIAvailability::unavailable(
            QStringLiteral("This computer cannot run the on-device model. Rule-based scanning remains available."));
    case SystemModelAvailability::systemModelNotEnabled:
        return ExcludeAIAvailability::unavailable(
            QStringLiteral("Turn on the on-device model in the system settings to use AI review."));
    case SystemModelAvailability::modelNotReady:
        return ExcludeAIAvailability::unavailable(
            QStringLiteral("The on-device model is still being prepared. Try again after the download completes."));
    case SystemModelAvailability::other:
        break;
    }
    return ExcludeAIAvailability::unavailable(
        QStringLiteral("On-device AI review is not available on this system. Rule-based scanning remains available."));
}

SystemModelAvailability SmartExcludeAI::systemModelAvailability()
{
    // No on-device model exists on Linux. The neutral answer says so without naming hardware.
    return SystemModelAvailability::other;
}

QList<ExcludeAssessment> SmartExcludeAI::review(const QList<ExcludeEvidence> &evidence, ExcludeModelProviding &provider,
    const ExcludeReviewProgress &progress, std::stop_token stop)
{
    QList<ExcludeAssessment> assessments;
    QList<ExcludeEvidence> eligible;
    QSet<QString> seen;
    for (const ExcludeEvidence &item : evidence) {
        const QString id = item.id();
        if (seen.contains(id))
            continue;
        seen.insert(id);
        // Incomplete or risky folders are kept whatever a model could say, so they cost no request.
        if (!item.complete || !item.risks.isEmpty())
            assessments.append(validate(item, {}));
        else
            eligible.append(item);
    }

    const qint64 total = eligible.size();
    for (qsizetype start = 0; start < eligible.size(); start += batchSize) {
        checkStop(stop);
        const QList<ExcludeEvidence> batch = eligible.mid(start, batchSize);
        if (progress)
            progress(start, total);
        QList<ExcludeModelDecision> decisions;
        try {
            decisions = provider.classify(batch, stop);
        } catch (const CancellationError &) {
            throw;
        } catch (...) {
            // A request that failed because the review was stopped is a cancellation.
            checkStop(stop);
            throw;
        }
        for (const ExcludeEvidence &item : batch) {
            const QString id = item.id();
            QList<ExcludeModelDecision> own;
            std::copy_if(decisions.cbegin(), decisions.cend(), std::back_inserter(own),
                [&id](const ExcludeModelDecision &decision) { return decision.id == id; });
            assessments.append(validate(item, own));
        }
        if (progress)
            progress(start + batch.size(), total);
    }
    checkStop(stop);

    std::stable_sort(
        assessments.begin(), assessments.end(), [](const ExcludeAssessment &a, const ExcludeAssessment &b) {
            if (a.suggested != b.suggested)
                return a.suggested;
            if (a.evidence.bytes != b.evidence.bytes)
                return a.evidence.bytes > b.evidence.bytes;
            return a.evidence.path < b.evidence.path;
        });
    return assessments;
}

ExcludeAssessment SmartExcludeAI::validate(
    const ExcludeEvidence &evidence, const QList<ExcludeModelDecision> &decisions)
{
    if (!evidence.complete)
        return keep(evidence, QStringLiteral("the scan was incomplete."));
    if (!evidence.risks.isEmpty())
        return keep(evidence, evidence.risks.join(QStringLiteral("; ")));
    if (decisions.size() != 1 || decisions.first().id != evidence.id())
        return keep(evidence, QStringLiteral("AI did not return one unambiguous assessment."));
    if (!evidence.recovery)
        return keep(
            evidence, QStringLiteral("no verified regeneration evidence. A folder name alone is insufficient."));
    if (decisions.first().decision != QLatin1String("exclude"))
        return keep(evidence, QStringLiteral("AI did not recommend exclusion."));
    const QString explanation = cleanedExplanation(decisions.first().reason);
    if (explanation.isEmpty())
        return keep(evidence, QStringLiteral("AI returned no explanation."));
    return ExcludeAssessment { evidence, true, explanation };
}

QString SmartExcludeAI::cleanedExplanation(const QString &reason)
{
    QList<uint> kept = reason.toUcs4();
    kept.removeIf(isControlOrFormat);
    const QString visible
        = leadingCharacters(QString::fromUcs4(reinterpret_cast<const char32_t *>(kept.constData()), kept.size()), 240);

    QList<uint> scalars = visible.toUcs4();
    qsizetype first = 0;
    qsizetype last = scalars.size();
    while (first < last && isTrimmed(scalars[first]))
        ++first;
    while (last > first && isTrimmed(scalars[last - 1]))
        --last;
    return QString::fromUcs4(reinterpret_cast<const char32_t *>(scalars.constData()) + first, last - first);
}

QString SmartExcludeAI::leadingCharacters(const QString &text, qsizetype count)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype characters = 0;
    while (characters < count) {
        if (finder.toNextBoundary() < 0)
            return text;
        ++characters;
    }
    return text.left(finder.position());
}

} // namespace vellmir

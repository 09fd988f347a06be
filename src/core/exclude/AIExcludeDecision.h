#pragma once

#include "util/Json.h"

#include <QJsonObject>
#include <QList>
#include <QString>

namespace vellmir {

// What the model must generate: 1 to 4 records, one per short candidate id ("c0" ... "c3").
enum class AIExcludeDecision { exclude, keep, uncertain };

QString toString(AIExcludeDecision decision);
// Throws JsonError "Unexpected rawValue "<text>" for AIExcludeDecision" for any other text.
AIExcludeDecision aiExcludeDecisionFromString(const QString &text);

struct AIExcludeDecisionRecord {
    QString id;
    AIExcludeDecision decision = AIExcludeDecision::uncertain;
    QString reason;

    static AIExcludeDecisionRecord fromJson(const QJsonObject &object);

    friend bool operator==(const AIExcludeDecisionRecord &, const AIExcludeDecisionRecord &) = default;
};

struct AIExcludeDecisionList {
    QList<AIExcludeDecisionRecord> decisions;

    // The generated content as JSON ({"decisions": [...]}). Throws JsonError for any other shape,
    // including fewer than 1 or more than 4 records.
    static AIExcludeDecisionList fromJson(const QJsonObject &object);

    friend bool operator==(const AIExcludeDecisionList &, const AIExcludeDecisionList &) = default;
};

} // namespace vellmir

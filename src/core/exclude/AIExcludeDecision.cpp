#include "exclude/AIExcludeDecision.h"

namespace vellmir {

QString toString(AIExcludeDecision decision)
{
    switch (decision) {
    case AIExcludeDecision::exclude:
        return QStringLiteral("exclude");
    case AIExcludeDecision::keep:
        return QStringLiteral("keep");
    case AIExcludeDecision::uncertain:
        break;
    }
    return QStringLiteral("uncertain");
}

AIExcludeDecision aiExcludeDecisionFromString(const QString &text)
{
    for (const auto decision : { AIExcludeDecision::exclude, AIExcludeDecision::keep, AIExcludeDecision::uncertain }) {
        if (toString(decision) == text)
            return decision;
    }
    throw JsonError(QStringLiteral("Unexpected rawValue \"%1\" for AIExcludeDecision").arg(text));
}

AIExcludeDecisionRecord AIExcludeDecisionRecord::fromJson(const QJsonObject &object)
{
    const JsonReader reader(object, QStringLiteral("decisions"));
    return AIExcludeDecisionRecord { reader.string(QStringLiteral("id")),
        aiExcludeDecisionFromString(reader.string(QStringLiteral("decision"))),
        reader.string(QStringLiteral("reason")) };
}

AIExcludeDecisionList AIExcludeDecisionList::fromJson(const QJsonObject &object)
{
    const QJsonArray records = JsonReader(object).array(QStringLiteral("decisions"));
    if (records.isEmpty() || records.size() > 4)
        throw JsonError(QStringLiteral("The value of \"decisions\" must hold between 1 and 4 records."));
    AIExcludeDecisionList list;
    for (const QJsonValue &record : records) {
        if (!record.isObject())
            throw JsonError(QStringLiteral("The value of \"decisions\" must hold objects."));
        list.decisions.append(AIExcludeDecisionRecord::fromJson(record.toObject()));
    }
    return list;
}

} // namespace vellmir

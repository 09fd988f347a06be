#include "config/AgentPolicy.h"

#include "util/Json.h"

namespace vellmir {

QJsonObject AgentPolicy::Settings::toJson() const
{
    return QJsonObject { { QStringLiteral("changesWithoutApproval"), changesWithoutApproval } };
}

AgentPolicy::Settings AgentPolicy::Settings::fromJson(const QJsonObject &object)
{
    Settings settings;
    settings.changesWithoutApproval = JsonReader(object).boolean(QStringLiteral("changesWithoutApproval"));
    return settings;
}

} // namespace vellmir

#include "config/CredentialRole.h"

namespace vellmir::CredentialRoles {

namespace {
struct RoleInfo {
    CredentialRole role;
    const char16_t *raw;
    const char16_t *variable;
    const char16_t *label;
};
constexpr RoleInfo table[] = {
    { CredentialRole::repoPassword, u"repoPassword", u"RESTIC_PASSWORD", u"Repository password" },
    { CredentialRole::b2AccountID, u"b2AccountID", u"B2_ACCOUNT_ID", u"Account ID" },
    { CredentialRole::b2AccountKey, u"b2AccountKey", u"B2_ACCOUNT_KEY", u"Application key" },
    { CredentialRole::awsAccessKeyID, u"awsAccessKeyID", u"AWS_ACCESS_KEY_ID", u"Access key ID" },
    { CredentialRole::awsSecretAccessKey, u"awsSecretAccessKey", u"AWS_SECRET_ACCESS_KEY", u"Secret access key" },
};
const RoleInfo &info(CredentialRole role)
{
    return table[static_cast<int>(role)];
}
} // namespace

const QList<CredentialRole> &all()
{
    static const QList<CredentialRole> roles { CredentialRole::repoPassword, CredentialRole::b2AccountID,
        CredentialRole::b2AccountKey, CredentialRole::awsAccessKeyID, CredentialRole::awsSecretAccessKey };
    return roles;
}

QString toString(CredentialRole role)
{
    return QString::fromUtf16(info(role).raw);
}

std::optional<CredentialRole> fromString(const QString &raw)
{
    for (const RoleInfo &entry : table)
        if (raw == QString::fromUtf16(entry.raw))
            return entry.role;
    return std::nullopt;
}

QString environmentVariable(CredentialRole role)
{
    return QString::fromUtf16(info(role).variable);
}

QString label(CredentialRole role)
{
    return QString::fromUtf16(info(role).label);
}

} // namespace vellmir::CredentialRoles

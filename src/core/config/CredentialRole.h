#pragma once

#include <QList>
#include <QString>
#include <optional>

namespace vellmir {

// The secrets a repository may need, in their fixed order.
enum class CredentialRole { repoPassword, b2AccountID, b2AccountKey, awsAccessKeyID, awsSecretAccessKey };

namespace CredentialRoles {
const QList<CredentialRole> &all();
QString toString(CredentialRole role); // the raw value, e.g. "repoPassword"
std::optional<CredentialRole> fromString(const QString &raw);
QString environmentVariable(CredentialRole role); // e.g. "RESTIC_PASSWORD"
QString label(CredentialRole role); // e.g. "Repository password"
} // namespace CredentialRoles

} // namespace vellmir

#pragma once

#include <QString>
#include <QUuid>
#include <optional>

namespace vellmir {

// Canonical upper-case, hyphenated, 36-character text of a UUID.
QString uuidText(const QUuid &uuid);
// Reads a hyphenated UUID in either case; anything else (braces included) is nullopt.
std::optional<QUuid> parseUuid(const QString &text);
QUuid newUuid();

} // namespace vellmir

#pragma once

#include <QLoggingCategory>
#include <QString>

namespace vellmir {

// One-line messages to the system log (stderr, which systemd hands to the journal). Never
// stdout: the command-line and MCP modes own it. Messages never contain secrets.
Q_DECLARE_LOGGING_CATEGORY(lcVellmir)

// Writes "Vellmir <component>: <message>".
void logLine(const QString &component, const QString &message);
// Writes the line as it stands.
void logText(const QString &line);

} // namespace vellmir

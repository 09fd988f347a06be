#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace vellmir {

// Replaces the file at `path` with `data` so that readers see either the old or the new
// content, never a mix: the data goes to a temporary sibling (whose name never ends in
// ".json"), is flushed to disk and renamed over the target. Creates the parent folder.
// Throws Error with a sentence naming the file when anything fails; the old file then stays.
void writeFileAtomically(const QString &path, const QByteArray &data);

// The file's bytes, or nullopt when it does not exist. Any other failure throws Error.
std::optional<QByteArray> readFileIfExists(const QString &path);

// Creates the folder (and its parents) or throws Error.
void ensureDirectory(const QString &path);

} // namespace vellmir

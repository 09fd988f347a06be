#pragma once

#include "util/Error.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

#include <sys/stat.h>
#include <sys/types.h>

namespace vellmir {

// How much of each kind of our own file is read at most. Far above anything we write; a file
// beyond its bound is junk (or a link to someone's disk image) and is not read at all.
namespace FileBound {
inline constexpr qsizetype record = 16 * 1024 * 1024; // a history, health or request record
inline constexpr qsizetype settings = 16 * 1024 * 1024; // destinations, policy, seal, notifications
inline constexpr qsizetype index = 256 * 1024 * 1024; // the history index: over a million records
} // namespace FileBound

// A file of ours that is not fit to be read at all: a link, a FIFO, a device, or a file larger
// than its kind's bound (a folder in its place is a plain Error, left where it is). Reading it again gives the same
// answer, so callers set it aside (or skip it) rather than retry; every other failure to read throws plain Error.
class UnfitFileError : public Error {
public:
    using Error::Error;
};

// Replaces the file at `path` with `data` so that readers see either the old or the new
// content, never a mix: the data goes to a new file beside it (whose name never ends in
// ".json"), created with `mode` whatever the umask, flushed to disk and renamed over the name.
// A link at `path` is replaced by the file, never written through. Creates missing folders
// with mode 0700. Throws Error with a sentence naming the file when anything fails; the old
// file then stays, except when only the folder's final flush failed: the new one is in place.
// `Kept::cache` is for a file that is only ever a cache, checked as it is read and rebuilt
// whenever it reads as damaged. Its writes happen under one lock, each over the copy the last one
// replaced ("<name>.~spare"), and nothing is flushed to disk: after a power loss the file may be
// empty, cut short or partly an older copy, and a reader that still has a copy replaced two writes
// ago open finds it changed. Its checks must show all of these as damage.
enum class Kept { durably, cache };
void writeFileAtomically(const QString &path, const QByteArray &data, mode_t mode = 0600, Kept kept = Kept::durably);

// Renames the file `from` over `to` in the same folder (a link at `to` is replaced, never written
// through) and syncs the folder, as writeFileAtomically() does. Throws Error naming `to`.
void replaceByRename(const QString &from, const QString &to);

// What the name of a folder we fill in several steps (a restore, a recovery kit) ends with until
// it is complete, when it is renamed without it: " (unfinished)". A folder that a kill, a crash or
// a full disk left half filled then never passes for a complete one.
QString unfinishedMark();
// Renames `from` to `to`, never over an entry named `to` (where the file system cannot refuse
// to replace, it looks first). Throws Error naming both with the system's reason.
void renameWithoutReplacing(const QString &from, const QString &to);

// Whether `name` is a file writeFileAtomically() makes beside a target before renaming it over the
// target's name ("<target>.~Ab12Cd"), for the target `target`, or any target when it is empty.
bool isTemporaryName(const QByteArray &name, const QByteArray &target = {});

// Removes the temporary files that writes killed before their rename left beside the file at
// `path`, logging each under `component`. Only for a caller holding the lock under which every
// write of that file happens: any such file is then a leftover, never a write under way.
void removeLeftoverTemporaries(const QString &path, const QString &component);

// The whole regular file `name` in the folder open as `folder` (a descriptor, or AT_FDCWD for
// a path), opened without following a link and without waiting on a FIFO, and the status of
// the very file read. Throws UnfitFileError for anything that is not a regular file of at most
// `bound` bytes, and Error naming the file for any other failure (ENOENT included).
QByteArray readRegularFile(int folder, const QByteArray &name, qsizetype bound, struct stat &info);

// The regular file opened for reading as readRegularFile() opens it, for a caller that reads it
// in parts; the caller closes the descriptor. Throws as readRegularFile() does.
int openRegularFile(int folder, const QByteArray &name, qsizetype bound, struct stat &info);

// The file's bytes, read as readRegularFile() does, or nullopt when nothing is at `path`.
// Throws UnfitFileError or Error as readRegularFile() does.
std::optional<QByteArray> readFileIfExists(const QString &path, qsizetype bound = FileBound::settings);

// Hands `each` the whole lines among the last `bound` bytes of the regular file at `path` (all of
// a shorter file), oldest first and without their line feeds, the last one also when the file does
// not end in a line feed; the file is opened as readFileIfExists() opens it but never refused for
// its size, and read a piece at a time, so a long file costs no more memory than a short one.
// False when nothing is at `path`. For a log that only grows. Throws as readFileIfExists() does.
bool readFileTail(const QString &path, qsizetype bound, const std::function<void(QByteArrayView)> &each);

// readFileIfExists() for a file of ours that may be replaced at any time: anything unfit at
// `path` is renamed aside (to the name + ".unreadable") and logged once under `component`,
// and is then treated as absent.
std::optional<QByteArray> readOwnFile(const QString &path, qsizetype bound, const QString &component);

// Renames `name` in the folder open as `folder` (or AT_FDCWD) to `name` + `suffix`, or + `suffix`
// + "-2", "-3", ... when that exists, never replacing anything. The new name, or an empty array
// when nothing was renamed.
QByteArray setAsideAt(int folder, const QByteArray &name, const QByteArray &suffix);

// Creates the folder, and its missing parents, with mode 0700 whatever the umask; a folder
// that exists is left as it is. Throws Error when that fails or something else is there.
void ensureDirectory(const QString &path);

} // namespace vellmir

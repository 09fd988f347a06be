#pragma once

#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <stop_token>

namespace vellmir {

// An exclusive advisory lock (flock) on a small lock file, held for the object's lifetime.
// Every lock opens its own descriptor, so two locks on one file exclude each other inside one
// process as well as across processes. The file is created empty (mode 0600) and never
// written or deleted; a crashed holder's lock goes away with its descriptors.
class FileLock {
public:
    // Takes the lock on `path`, waiting for it when `wait` is true, else failing at once. A wait
    // ends when the process is asked to stop (CancellationError) and after waitLimit: the holders
    // of waiting locks only read and rewrite small files, so one that holds it longer is stopped
    // or stuck, and the caller gets the busy sentence (Error of kind busy) rather than wait for
    // ever. Throws "Could not open operation lock: ..." or "Could not take operation lock: ..."
    // for a lock that cannot be had at all, and Error when the parent folder cannot be created.
    // On a read-only file system, where nothing can be written, a lock file that does not exist
    // is held by no one: the lock is had without one (descriptor() -1).
    // `work` names what the holder does with it ("a backup"): a lock asked for with a work of
    // its own, and refused because this process holds it for named work, says so instead of
    // blaming another operation.
    FileLock(const QString &path, bool wait, const QString &work = {});
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    // The lock of one restic repository, never waiting. `directory` defaults to the
    // application's "locks" folder.
    static std::unique_ptr<FileLock> repository(
        const QString &repository, const QString &directory = {}, const QString &work = {});
    // The lock-file path repository() uses.
    static QString repositoryLockPath(const QString &repository, const QString &directory = {});
    // The repository string as lock names see it: trimmed; local paths resolved and cleaned.
    static QString normalizedRepository(const QString &repository);

    static QString busyMessage();
    // The busy sentence when the holder is this process, doing `work`.
    static QString busyHereMessage(const QString &work);

    // Whether a lock of this process holds `path` now, for work it named.
    static bool heldHere(const QString &path) { return !workHere(path).isEmpty(); }
    // The work a lock of this process holds `path` for; empty when none holds it or it named none.
    static QString workHere(const QString &path);
    // Returns once no lock of this process holds `path` for named work: true then, false when
    // `stop` or a shutdown signal came first.
    static bool waitUntilReleasedHere(const QString &path, std::stop_token stop);
    // Whether a live process took a lock on `path` that is held now, told by the kernel's list
    // of locks without taking it: a try would refuse a backup that starts in that instant. A
    // lock whose taker died, held on by a child that is ending, does not count. True when it
    // cannot be told.
    static bool heldAnywhere(const QString &path);
    // Whether `path` is held for work that counts: a lock of this process if `counts` says so of
    // the work it named, any other as heldAnywhere() tells. Asked as one with the taking and
    // naming of a lock here, so a lock this process has just taken never reads as another's.
    static bool heldFor(const QString &path, const std::function<bool(const QString &work)> &counts);
    static constexpr std::chrono::seconds waitLimit { 10 };
    int descriptor() const { return m_descriptor; }

private:
    int m_descriptor = -1;
    QString m_path;
};

} // namespace vellmir

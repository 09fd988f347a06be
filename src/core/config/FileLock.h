#pragma once

#include <QString>
#include <chrono>
#include <memory>

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
    FileLock(const QString &path, bool wait);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    // The lock of one restic repository, never waiting. `directory` defaults to the
    // application's "locks" folder.
    static std::unique_ptr<FileLock> repository(const QString &repository, const QString &directory = {});
    // The lock-file path repository() uses.
    static QString repositoryLockPath(const QString &repository, const QString &directory = {});
    // The repository string as lock names see it: trimmed; local paths resolved and cleaned.
    static QString normalizedRepository(const QString &repository);

    static QString busyMessage();
    static constexpr std::chrono::seconds waitLimit { 10 };
    int descriptor() const { return m_descriptor; }

private:
    int m_descriptor = -1;
};

} // namespace vellmir

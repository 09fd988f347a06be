#pragma once

#include "util/Date.h"

#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace vellmir {

// One snapshot as "restic snapshots --json" describes it.
struct Snapshot {
    QString id;
    QString shortID;
    Date time; // Date::distantPast() when restic's time could not be read
    QString hostname;
    QStringList paths;
    qint64 sizeBytes = 0; // bytes the backup processed; 0 when restic recorded no summary

    // Reads one object of restic's list. Never fails: a missing or mistyped key gives the
    // field's empty value.
    static Snapshot fromJson(const QJsonObject &object);
    // restic's RFC 3339 times (up to nine fractional digits, "Z" or an offset); the distant
    // past for anything else.
    static Date parseDate(const QString &text);

    friend bool operator==(const Snapshot &, const Snapshot &) = default;
};

size_t qHash(const Snapshot &snapshot, size_t seed = 0) noexcept;

// What a repository said when asked for its snapshots.
struct ConnectionStatus {
    enum class Kind { ok, failed, notInitialized };

    Kind kind = Kind::notInitialized;
    int snapshotCount = 0; // ok
    QString message; // failed: a sentence for the user

    static ConnectionStatus ok(int snapshotCount) { return { Kind::ok, snapshotCount, {} }; }
    static ConnectionStatus failed(QString message) { return { Kind::failed, 0, std::move(message) }; }
    static ConnectionStatus notInitialized() { return { Kind::notInitialized, 0, {} }; }

    friend bool operator==(const ConnectionStatus &, const ConnectionStatus &) = default;
};

// The size of a backup as a dry run counted it.
struct BackupEstimate {
    qint64 files = 0;
    qint64 bytes = 0;

    friend bool operator==(const BackupEstimate &, const BackupEstimate &) = default;
};

} // namespace vellmir

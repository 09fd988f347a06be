#pragma once

#include "util/AppPaths.h"
#include "util/Date.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <optional>

namespace vellmir {

// The queue that carries backup requests from the agent processes to the scheduled pass and
// the answers back: one "request-<destination>.json" per destination with a pending request
// and one "result-<request>.json" per answered request, kept seven days. Nothing is held in
// memory; every operation reads the folder afresh.
class BackupRequests {
public:
    struct Request {
        QUuid id;
        QUuid destinationID;
        Date requestedAt; // whole seconds

        QJsonObject toJson() const;
        static Request fromJson(const QJsonObject &object);
        friend bool operator==(const Request &, const Request &) = default;
    };

    struct Result {
        QUuid requestID;
        QUuid destinationID;
        std::optional<QUuid> recordID;
        QString outcome; // a raw value of BackupRecord::Outcome
        std::optional<QString> message;

        QJsonObject toJson() const;
        static Result fromJson(const QJsonObject &object);
        friend bool operator==(const Result &, const Result &) = default;
    };

    // `systemctl` is the program kickScheduler() runs; empty means the system's systemctl
    // found on the search path. Tests pass a fake.
    explicit BackupRequests(const QString &directory = AppPaths::requestsDirectory(), const QString &systemctl = {},
        int kickTimeoutMilliseconds = 30000);

    const QString &directory() const { return m_directory; }
    QString requestFilePath(const QUuid &destinationID) const;
    QString resultFilePath(const QUuid &requestID) const;
    // The lock that serialises enqueue across processes: "requests.lock" beside the folder.
    QString lockFilePath() const;

    // The pending request for the destination, or a new one stored with `now` cut to whole
    // seconds. Runs under the queue lock, so two processes asking at once get the same request.
    // Throws Error/JsonError from reading the queue or writing the file.
    Request enqueue(const QUuid &destinationID, Date now) const;
    // Every queued request, oldest first (equal times in folder order). A missing folder is an
    // empty queue; one unreadable request file fails the whole call. A request file that does
    // not decode is set aside (renamed with setAsideSuffix(), logged) and the rest go on.
    QList<Request> pending() const;
    // What a damaged request file's name gets appended: "request-<UUID>.json.damaged".
    static QString setAsideSuffix();
    // The names of the destination's request files set aside, sorted; empty when none.
    QStringList setAsideRequests(const QUuid &destinationID) const;
    // Stores the result, withdraws the request and clears stale results. Only writing the
    // result can fail, and then the request stays pending.
    void complete(const Request &request, const Result &result) const;
    // Withdraws the request; never fails.
    void cancel(const Request &request) const noexcept;
    // The stored answer to a request, or nullopt while there is none. Throws when the file
    // cannot be read or decoded.
    std::optional<Result> result(const QUuid &requestID) const;
    // Deletes result files (any name beginning "result-") last modified more than seven days
    // before `now`; never fails.
    void removeStaleResults(Date now) const noexcept;

    // Starts the scheduler service at once without waiting for it to finish. Throws
    // OperationError with the sentence for the user when systemctl is missing, fails or hangs.
    void kickScheduler() const;

    static constexpr double resultLifetime = 604800;

private:
    // Removes the destination's request file unless it now holds another request.
    void withdraw(const Request &request) const noexcept;

    QString m_directory;
    QString m_systemctl;
    int m_kickTimeout;
};

} // namespace vellmir

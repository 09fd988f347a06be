#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <optional>

namespace vellmir {

// restic's account of one snapshot, from the "summary" line of "backup --json".
struct BackupSummary {
    qint64 filesNew = 0;
    qint64 filesChanged = 0;
    qint64 filesUnmodified = 0;
    qint64 dataAdded = 0;
    qint64 totalBytesProcessed = 0;
    QString snapshotID; // empty when restic gave none

    friend bool operator==(const BackupSummary &, const BackupSummary &) = default;
};

// Everything a backup run shows while it goes on: what BackupRunner publishes and what the
// output handlers below fill in.
struct BackupRunState {
    // No cancelled phase: a cancelled run goes back to idle and its record says so.
    enum class Phase { idle, scanning, running, pruning, finished, failed };

    Phase phase = Phase::idle;
    double percent = 0; // 0...1 as restic reports it
    qint64 filesDone = 0;
    qint64 totalFiles = 0;
    qint64 bytesDone = 0;
    qint64 totalBytes = 0;
    QString currentFile;
    QStringList issues; // problems of this run, oldest first
    QStringList skippedProtected; // expected skips of protected app data
    std::optional<BackupSummary> summary;
    std::optional<QString> failureMessage;
    std::optional<QString> pruneMessage;

    friend bool operator==(const BackupRunState &, const BackupRunState &) = default;
};

QString toString(BackupRunState::Phase phase);

// Turns the lines of "restic backup --json" into a run's state. restic writes one JSON
// message per line on standard output; standard error carries free text and, since 0.17, its
// error and exit_error messages as JSON too. A line that cannot be used is ignored; nothing
// here throws.
class BackupOutput {
public:
    explicit BackupOutput(BackupRunState &state);

    void parseStdout(const QString &line);
    // The same for a line still in restic's bytes, parsed without making a string of it.
    void parseStdout(QByteArrayView line);
    void parseStderr(const QString &line);
    // Files one problem line as an issue: no folder of this system is one a backup is expected
    // to be denied, so every unreadable item is worth showing.
    void report(const QString &message);

    static inline const QString unreadableItemMessage = QStringLiteral("restic reported an unreadable item.");

private:
    BackupRunState &m_state;
    // restic's "subprocess ssh:" lines, the first few: the reason behind a failed SFTP connection.
    QStringList m_sshReasons;
    static constexpr qsizetype maximumSshReasons = 5;
};

} // namespace vellmir

#pragma once

#include "config/Destination.h"
#include "kit/DetailSection.h"
#include "operations/BackupOutput.h"
#include "util/Date.h"

#include <optional>

class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace vellmir {

class PathLabel;
class StatusLabel;

// "Back Up": what a destination backs up, "Back Up Now" and "Cancel", the run's progress and
// its outcome. It renders the values it is given and keeps nothing but the open state of its
// "Skipped items" list; its buttons only ask, through its signals.
class BackupSection : public DetailSection {
    Q_OBJECT

public:
    explicit BackupSection(QWidget *parent = nullptr);

    void render(const Destination &destination, const BackupRunState &state, bool fullDiskAccessWanted,
        bool fullDiskAccessGranted);
    // Another process's run of the destination, by its start; none hides the line.
    void setRunElsewhere(const std::optional<Date> &startedAt);

    // Texts of the section, the same for every caller.
    static QString excludeLine(qsizetype patterns);
    static QString headline(qsizetype issues);
    static QString countsLine(const BackupSummary &summary);
    static std::optional<QString> snapshotLine(const QString &snapshotID);
    static QString protectedLine(qsizetype items);

Q_SIGNALS:
    void backUpRequested();
    void cancelRequested();

private:
    void buildSources(QVBoxLayout *layout, QWidget *frame);
    void buildProgress(QVBoxLayout *layout, QWidget *frame);
    void buildResult(QVBoxLayout *layout, QWidget *frame);
    QPushButton *cancelButton(QWidget *parent, const char *name);
    void showCancelling(bool cancelling);
    QWidget *row(QWidget *parent, const char *name);
    void renderSources(const QStringList &sources);
    void renderIssues(const QStringList &issues);

    StatusLabel *m_fileAccessWarning = nullptr;
    QLabel *m_noFolders;
    QWidget *m_sources;
    QVBoxLayout *m_sourcesLayout;
    QStringList m_shownSources;
    QLabel *m_excludes;
    QPushButton *m_backUp;
    QLabel *m_elsewhere;
    QList<QPushButton *> m_cancels;
    QWidget *m_scanning;
    QWidget *m_running;
    QProgressBar *m_bar;
    QLabel *m_files;
    QLabel *m_bytes;
    PathLabel *m_currentFile;
    QWidget *m_pruning;
    QWidget *m_result;
    StatusLabel *m_headline;
    QLabel *m_counts;
    QLabel *m_snapshot;
    QLabel *m_prune;
    QLabel *m_protected;
    QWidget *m_skipped;
    QToolButton *m_skippedToggle;
    QWidget *m_skippedList;
    QVBoxLayout *m_skippedLayout;
    QStringList m_shownIssues;
    StatusLabel *m_failure;
};

} // namespace vellmir

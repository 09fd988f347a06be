#include "detail/BackupSection.h"

#include "kit/DisclosureButton.h"
#include "kit/Format.h"
#include "kit/MessageLabel.h"
#include "kit/PathLabel.h"
#include "kit/PlainText.h"
#include "kit/StatusLabel.h"
#include "kit/StatusStyle.h"
#include "restore/RestoreKit.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace vellmir {

namespace {

QLabel *caption(QWidget *parent, const char *name)
{
    QLabel *label = plainLabel(QString(), parent, name);
    label->setFont(StatusStyle::captionFont(parent->font()));
    StatusStyle::applyTone(*label, StatusTone::secondary);
    return label;
}

void clear(QLayout *layout)
{
    while (QLayoutItem *item = layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
}

} // namespace

BackupSection::BackupSection(QWidget *parent)
    : DetailSection(tr("Back Up"), false, parent)
{
    setObjectName(QStringLiteral("backupSection"));
    QVBoxLayout *layout = body();
    QWidget *frame = layout->parentWidget();
    buildSources(layout, frame);
    buildProgress(layout, frame);
    buildResult(layout, frame);
    m_failure = new StatusLabel(frame);
    m_failure->setObjectName(QStringLiteral("failureLabel"));
    m_failure->setSelectable(true);
    layout->addWidget(m_failure);
}

// The access warning, the folders and the exclude line.
void BackupSection::buildSources(QVBoxLayout *layout, QWidget *frame)
{
    // The access warning is made once it is wanted (see render): hidden, it would still be read
    // out by assistive technology in every pane.
    m_noFolders = new QLabel(tr("No folders selected. Choose what to back up with vellmir update-destination "
                                "--destination NAME --addSources FOLDER."),
        frame);
    m_noFolders->setObjectName(QStringLiteral("noFolders"));
    m_noFolders->setWordWrap(true);
    StatusStyle::applyTone(*m_noFolders, StatusTone::secondary);
    layout->addWidget(m_noFolders);

    m_sources = new QWidget(frame);
    m_sources->setObjectName(QStringLiteral("sources"));
    m_sourcesLayout = new QVBoxLayout(m_sources);
    m_sourcesLayout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_sources);
    m_excludes = caption(frame, "excludeLine");
    layout->addWidget(m_excludes);
}

// "Back Up Now", then a run's scanning, progress and retention rows.
void BackupSection::buildProgress(QVBoxLayout *layout, QWidget *frame)
{
    m_backUp = new QPushButton(tr("Back Up Now"), frame);
    m_backUp->setObjectName(QStringLiteral("backUpButton"));
    layout->addWidget(m_backUp, 0, Qt::AlignLeft);
    connect(m_backUp, &QPushButton::clicked, this, &BackupSection::backUpRequested);
    m_elsewhere = caption(frame, "runElsewhereLine");
    m_elsewhere->setVisible(false);
    layout->addWidget(m_elsewhere);

    m_scanning = row(frame, "scanningRow");
    {
        auto *h = static_cast<QHBoxLayout *>(m_scanning->layout());
        h->addWidget(StatusStyle::spinner(m_scanning));
        h->addWidget(new QLabel(tr("Scanning…"), m_scanning));
        h->addStretch(1);
        h->addWidget(cancelButton(m_scanning, "cancelScanButton"));
    }
    layout->addWidget(m_scanning);

    m_running = new QWidget(frame);
    m_running->setObjectName(QStringLiteral("runningColumn"));
    {
        auto *v = new QVBoxLayout(m_running);
        v->setContentsMargins(0, 0, 0, 0);
        v->setSpacing(6);
        m_bar = new QProgressBar(m_running);
        m_bar->setObjectName(QStringLiteral("progressBar"));
        StatusStyle::nameProgress(*m_bar, tr("Backup progress"));
        m_bar->setRange(0, 1000);
        m_bar->setTextVisible(false);
        v->addWidget(m_bar);
        auto *counters = new QHBoxLayout;
        m_files = caption(m_running, "filesCounter");
        m_bytes = caption(m_running, "bytesCounter");
        m_files->setWordWrap(false);
        m_bytes->setWordWrap(false);
        counters->addWidget(m_files);
        counters->addStretch(1);
        counters->addWidget(m_bytes);
        v->addLayout(counters);
        m_currentFile = new PathLabel(m_running);
        m_currentFile->setObjectName(QStringLiteral("currentFile"));
        m_currentFile->setFont(StatusStyle::captionFont(font()));
        StatusStyle::applyTone(*m_currentFile, StatusTone::secondary);
        v->addWidget(m_currentFile);
        v->addWidget(cancelButton(m_running, "cancelRunButton"), 0, Qt::AlignLeft);
    }
    layout->addWidget(m_running);

    m_pruning = row(frame, "pruningRow");
    {
        auto *h = static_cast<QHBoxLayout *>(m_pruning->layout());
        h->addWidget(StatusStyle::spinner(m_pruning));
        h->addWidget(new QLabel(tr("Applying retention…"), m_pruning));
        h->addStretch(1);
    }
    layout->addWidget(m_pruning);
}

void BackupSection::buildResult(QVBoxLayout *layout, QWidget *frame)
{
    m_result = new QWidget(frame);
    m_result->setObjectName(QStringLiteral("resultColumn"));
    {
        auto *v = new QVBoxLayout(m_result);
        v->setContentsMargins(0, 0, 0, 0);
        v->setSpacing(4);
        m_headline = new StatusLabel(m_result);
        m_headline->setObjectName(QStringLiteral("headline"));
        v->addWidget(m_headline);
        m_counts = caption(m_result, "countsLine");
        m_snapshot = caption(m_result, "snapshotLine");
        m_prune = caption(m_result, "pruneLine");
        m_protected = caption(m_result, "protectedLine");
        for (QLabel *label : { m_counts, m_snapshot, m_prune, m_protected })
            v->addWidget(label);
        m_skipped = new QWidget(m_result);
        m_skipped->setObjectName(QStringLiteral("skippedItems"));
        auto *s = new QVBoxLayout(m_skipped);
        s->setContentsMargins(0, 0, 0, 0);
        m_skippedToggle = new DisclosureButton(tr("Skipped items"), false, m_skipped);
        m_skippedToggle->setObjectName(QStringLiteral("skippedToggle"));
        m_skippedToggle->setFont(StatusStyle::captionFont(font()));
        s->addWidget(m_skippedToggle, 0, Qt::AlignLeft);
        m_skippedList = new QWidget(m_skipped);
        m_skippedList->setObjectName(QStringLiteral("skippedList"));
        m_skippedLayout = new QVBoxLayout(m_skippedList);
        m_skippedLayout->setContentsMargins(16, 0, 0, 0);
        m_skippedList->setVisible(false);
        s->addWidget(m_skippedList);
        connect(m_skippedToggle, &QToolButton::toggled, m_skippedList, &QWidget::setVisible);
        v->addWidget(m_skipped);
    }
    layout->addWidget(m_result);
}

// restic can take many seconds to stop (longer while an upload limit throttles it), so the
// press shows at once and cannot be repeated.
QPushButton *BackupSection::cancelButton(QWidget *parent, const char *name)
{
    auto *button = new QPushButton(tr("Cancel"), parent);
    button->setObjectName(QLatin1StringView(name));
    m_cancels.append(button);
    connect(button, &QPushButton::clicked, this, [this] {
        showCancelling(true);
        Q_EMIT cancelRequested();
    });
    return button;
}

void BackupSection::showCancelling(bool cancelling)
{
    for (QPushButton *button : std::as_const(m_cancels)) {
        button->setText(cancelling ? tr("Cancelling…") : tr("Cancel"));
        button->setEnabled(!cancelling);
    }
}

void BackupSection::setRunElsewhere(const std::optional<Date> &startedAt)
{
    m_elsewhere->setVisible(startedAt.has_value());
    if (startedAt)
        m_elsewhere->setText(
            tr("A backup started %1 is running in another Vellmir process.").arg(Format::dateTime(*startedAt)));
}

QWidget *BackupSection::row(QWidget *parent, const char *name)
{
    auto *widget = new QWidget(parent);
    widget->setObjectName(QLatin1StringView(name));
    auto *h = new QHBoxLayout(widget);
    h->setContentsMargins(0, 0, 0, 0);
    return widget;
}

QString BackupSection::excludeLine(qsizetype patterns)
{
    return Format::count(patterns) + (patterns == 1 ? tr(" exclude rule") : tr(" exclude rules"));
}

QString BackupSection::headline(qsizetype issues)
{
    if (issues == 0)
        return tr("Selected files backed up.");
    return tr("Backup incomplete: %1 issue(s) need review.").arg(Format::count(issues));
}

QString BackupSection::countsLine(const BackupSummary &summary)
{
    return tr("%1 new, %2 changed, %3 added")
        .arg(Format::count(summary.filesNew), Format::count(summary.filesChanged), Format::bytes(summary.dataAdded));
}

std::optional<QString> BackupSection::snapshotLine(const QString &snapshotID)
{
    if (snapshotID.isEmpty())
        return std::nullopt;
    return tr("Snapshot %1").arg(snapshotID.left(8));
}

QString BackupSection::protectedLine(qsizetype items)
{
    return Format::count(items)
        + (items == 1 ? tr(" protected item skipped because Full Disk Access is not in use.")
                      : tr(" protected items skipped because Full Disk Access is not in use."));
}

void BackupSection::renderSources(const QStringList &sources)
{
    if (sources == m_shownSources && m_sourcesLayout->count() == sources.size())
        return;
    m_shownSources = sources;
    clear(m_sourcesLayout);
    for (const QString &source : sources) {
        auto *line = new QWidget(m_sources);
        line->setObjectName(QStringLiteral("sourceRow"));
        auto *h = new QHBoxLayout(line);
        h->setContentsMargins(0, 0, 0, 0);
        auto *icon = new QLabel(line);
        icon->setPixmap(restorekit::icon(QStringLiteral("folder")).pixmap(16, 16));
        h->addWidget(icon);
        auto *path = new PathLabel(source, line);
        path->setObjectName(QStringLiteral("sourcePath"));
        h->addWidget(path, 1);
        m_sourcesLayout->addWidget(line);
    }
}

void BackupSection::renderIssues(const QStringList &issues)
{
    if (issues == m_shownIssues)
        return;
    m_shownIssues = issues;
    clear(m_skippedLayout);
    for (const QString &issue : issues) {
        // Whole: restic gives its reason after the path, and a copy goes into a search.
        auto *line = new MessageLabel(issue, m_skippedList);
        line->setObjectName(QStringLiteral("issueLine"));
        line->setFont(StatusStyle::captionFont(font()));
        line->setTone(StatusTone::secondary);
        m_skippedLayout->addWidget(line);
    }
}

void BackupSection::render(
    const Destination &destination, const BackupRunState &state, bool fullDiskAccessWanted, bool fullDiskAccessGranted)
{
    using Phase = BackupRunState::Phase;
    const bool warn = fullDiskAccessWanted && !fullDiskAccessGranted;
    if (warn && !m_fileAccessWarning) {
        m_fileAccessWarning = new StatusLabel(m_noFolders->parentWidget());
        m_fileAccessWarning->setObjectName(QStringLiteral("fileAccessWarning"));
        m_fileAccessWarning->setStatus(StatusTone::warning, QStringLiteral("exclamationmark.triangle.fill"),
            tr("Full Disk Access is off. Protected app data you chose to back up (Mail, Safari, app data) will be "
               "skipped, and backups will be incomplete."));
        body()->insertWidget(0, m_fileAccessWarning);
    }
    if (m_fileAccessWarning)
        m_fileAccessWarning->setVisible(warn);

    const bool noSources = destination.sources.isEmpty();
    m_noFolders->setVisible(noSources);
    m_sources->setVisible(!noSources);
    renderSources(destination.sources);
    m_excludes->setVisible(!noSources && !destination.excludes.isEmpty());
    m_excludes->setText(excludeLine(destination.excludes.size()));

    const Phase phase = state.phase;
    const bool settled = phase == Phase::idle || phase == Phase::finished || phase == Phase::failed;
    m_backUp->setVisible(settled);
    if (settled)
        showCancelling(false);
    m_backUp->setEnabled(!noSources);
    m_scanning->setVisible(phase == Phase::scanning);
    m_running->setVisible(phase == Phase::running);
    m_pruning->setVisible(phase == Phase::pruning);

    m_bar->setValue(int(std::clamp(state.percent, 0.0, 1.0) * 1000));
    m_files->setText(tr("%1 / %2 files").arg(Format::count(state.filesDone), Format::count(state.totalFiles)));
    m_bytes->setText(Format::bytes(state.bytesDone) + QStringLiteral(" / ") + Format::bytes(state.totalBytes));
    m_currentFile->setPath(state.currentFile);
    m_currentFile->setVisible(!state.currentFile.isEmpty());

    const bool showResult = phase == Phase::finished && state.summary;
    m_result->setVisible(showResult);
    if (showResult) {
        const qsizetype issues = state.issues.size();
        if (issues == 0)
            m_headline->setStatus(StatusTone::success, QStringLiteral("checkmark.circle.fill"), headline(0));
        else
            m_headline->setStatus(
                StatusTone::warning, QStringLiteral("exclamationmark.triangle.fill"), headline(issues));
        m_counts->setText(countsLine(*state.summary));
        const std::optional<QString> snapshot = snapshotLine(state.summary->snapshotID);
        m_snapshot->setVisible(snapshot.has_value());
        m_snapshot->setText(snapshot.value_or(QString()));
        m_prune->setVisible(state.pruneMessage.has_value());
        m_prune->setText(state.pruneMessage.value_or(QString()));
        m_protected->setVisible(!state.skippedProtected.isEmpty());
        m_protected->setText(protectedLine(state.skippedProtected.size()));
        m_skipped->setVisible(issues > 0);
        renderIssues(state.issues);
    } else if (m_skippedToggle->isChecked()) {
        // The next run's list starts closed again.
        m_skippedToggle->setChecked(false);
    }

    const bool showFailure = phase == Phase::failed && state.failureMessage;
    m_failure->setVisible(showFailure);
    if (showFailure)
        m_failure->setStatus(StatusTone::failure, QStringLiteral("xmark.circle.fill"), *state.failureMessage);
}

} // namespace vellmir

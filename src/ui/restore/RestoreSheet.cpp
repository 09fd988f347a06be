#include "restore/RestoreSheet.h"

#include "kit/Format.h"
#include "kit/PathLabel.h"
#include "kit/StatusLabel.h"
#include "restore/RestoreKit.h"
#include "util/TextRules.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace vellmir {

using Phase = RestoreRunner::Phase;

namespace {

QLabel *valueLabel(const QString &text, const char *name, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

RestoreSheet::RestoreSheet(const Snapshot &snapshot, const Destination &destination,
    const std::optional<QString> &include, const RestoreServices &services, QWidget *parent)
    : QDialog(parent)
    , m_model(new RestoreSheetModel(snapshot, destination, include, services, this))
{
    setObjectName(QStringLiteral("restoreSheet"));
    setWindowTitle(QStringLiteral("Restore Snapshot"));
    setWindowModality(Qt::WindowModal);
    setMinimumSize(520, 420);
    m_model->setFolderChooser(restorekit::folderDialog(this, [model = m_model] { return model->targetPath(); }));
    m_model->setFolderOpener(restorekit::fileManagerOpener(this));

    auto *layout = new QVBoxLayout(this);
    buildSnapshotSection(layout, snapshot);
    buildTargetSection(layout);
    buildActionSection(layout);
    layout->addStretch();

    auto *buttons = new QDialogButtonBox(this);
    m_close = buttons->addButton(QStringLiteral("Close"), QDialogButtonBox::RejectRole);
    m_close->setObjectName(QStringLiteral("closeButton"));
    m_close->setAutoDefault(false);
    layout->addWidget(buttons);

    connect(m_restore, &QPushButton::clicked, m_model, &RestoreSheetModel::restore);
    connect(m_show, &QPushButton::clicked, m_model, &RestoreSheetModel::showRestoredFiles);
    connect(buttons, &QDialogButtonBox::rejected, this, &RestoreSheet::reject);

    connect(m_model, &RestoreSheetModel::targetPathChanged, this, &RestoreSheet::refresh);
    RestoreRunner *runner = m_model->runner();
    for (auto signal : { &RestoreRunner::phaseChanged, &RestoreRunner::percentChanged,
             &RestoreRunner::filesRestoredChanged, &RestoreRunner::totalFilesChanged,
             &RestoreRunner::bytesRestoredChanged, &RestoreRunner::totalBytesChanged, &RestoreRunner::summaryChanged,
             &RestoreRunner::failureMessageChanged, &RestoreRunner::restoredPathChanged })
        connect(runner, signal, this, &RestoreSheet::refresh);
    refresh();
}

void RestoreSheet::buildSnapshotSection(QVBoxLayout *layout, const Snapshot &snapshot)
{
    auto *snapshotSection = new QGroupBox(QStringLiteral("Snapshot"), this);
    snapshotSection->setObjectName(QStringLiteral("snapshotSection"));
    auto *rows = new QFormLayout(snapshotSection);
    rows->addRow(QStringLiteral("When"), valueLabel(m_model->whenText(), "whenValue", this));
    rows->addRow(QStringLiteral("ID"), valueLabel(snapshot.shortID, "idValue", this));
    rows->addRow(QStringLiteral("Computer"), valueLabel(TextRules::visible(snapshot.hostname), "hostValue", this));
    m_contents = valueLabel(m_model->contentsText(), "contentsValue", this);
    m_contents->setWordWrap(true);
    rows->addRow(QStringLiteral("Contents"), m_contents);
    layout->addWidget(snapshotSection);
}

void RestoreSheet::setIncomplete(bool incomplete)
{
    m_model->setIncomplete(incomplete);
    m_contents->setText(m_model->contentsText());
}

void RestoreSheet::buildTargetSection(QVBoxLayout *layout)
{
    auto *targetSection = new QGroupBox(QStringLiteral("Restore To"), this);
    auto *targetLayout = new QVBoxLayout(targetSection);
    auto *targetRow = new QHBoxLayout;
    m_target = new PathLabel(targetSection);
    m_target->setObjectName(QStringLiteral("targetPath"));
    auto *choose = new QPushButton(QStringLiteral("Choose\u2026"), targetSection);
    choose->setObjectName(QStringLiteral("chooseButton"));
    targetRow->addWidget(m_target, 1);
    targetRow->addWidget(choose);
    targetLayout->addLayout(targetRow);
    auto *footer = new QLabel(QStringLiteral("Vellmir creates a new folder here for this restore and verifies restored "
                                             "file contents. Existing files are never overwritten. Original paths are "
                                             "recreated inside the new folder."),
        targetSection);
    footer->setWordWrap(true);
    StatusStyle::applyTone(*footer, StatusTone::secondary);
    restorekit::setCaption(footer);
    targetLayout->addWidget(footer);
    layout->addWidget(targetSection);
    connect(choose, &QPushButton::clicked, m_model, &RestoreSheetModel::chooseFolder);
}

// Restore, its progress, and its outcome.
void RestoreSheet::buildActionSection(QVBoxLayout *layout)
{
    auto *actionSection = new QGroupBox(this);
    auto *actions = new QVBoxLayout(actionSection);
    m_restore = new QPushButton(QStringLiteral("Restore"), actionSection);
    m_restore->setObjectName(QStringLiteral("restoreButton"));
    actions->addWidget(m_restore, 0, Qt::AlignLeft);

    m_progress = new QWidget(actionSection);
    m_progress->setObjectName(QStringLiteral("progress"));
    auto *progress = new QVBoxLayout(m_progress);
    progress->setContentsMargins(0, 0, 0, 0);
    progress->setSpacing(6);
    m_bar = new QProgressBar(m_progress);
    StatusStyle::nameProgress(*m_bar, QStringLiteral("Restore progress"));
    m_bar->setRange(0, 1000);
    m_bar->setTextVisible(false);
    progress->addWidget(m_bar);
    auto *counts = new QHBoxLayout;
    m_files = new QLabel(m_progress);
    m_files->setObjectName(QStringLiteral("progressFiles"));
    m_bytes = new QLabel(m_progress);
    m_bytes->setObjectName(QStringLiteral("progressBytes"));
    for (QLabel *label : { m_files, m_bytes }) {
        StatusStyle::applyTone(*label, StatusTone::secondary);
        restorekit::setCaption(label);
    }
    counts->addWidget(m_files);
    counts->addStretch();
    counts->addWidget(m_bytes);
    progress->addLayout(counts);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"), m_progress);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    progress->addWidget(cancel, 0, Qt::AlignLeft);
    actions->addWidget(m_progress);
    connect(cancel, &QPushButton::clicked, m_model, &RestoreSheetModel::cancel);

    m_success = new StatusLabel(actionSection);
    m_success->setObjectName(QStringLiteral("successLabel"));
    actions->addWidget(m_success);
    m_show = new QPushButton(QStringLiteral("Show Restored Files"), actionSection);
    m_show->setObjectName(QStringLiteral("showButton"));
    actions->addWidget(m_show, 0, Qt::AlignLeft);
    m_failure = new StatusLabel(actionSection);
    m_failure->setObjectName(QStringLiteral("failureLabel"));
    m_failure->setSelectable(true);
    // restic may name many items it could not restore: they scroll rather than grow the sheet.
    m_failure->textLabel()->setMaxLines(12);
    actions->addWidget(m_failure);
    layout->addWidget(actionSection);
}

void RestoreSheet::refresh()
{
    const RestoreRunner *runner = m_model->runner();
    const Phase phase = runner->phase();

    const bool chosen = !m_model->targetPath().isEmpty();
    m_target->setPath(chosen ? m_model->targetPath() : QStringLiteral("Choose a folder\u2026"));
    StatusStyle::applyTone(*m_target, chosen ? StatusTone::normal : StatusTone::secondary);

    m_restore->setVisible(phase == Phase::idle || phase == Phase::failed);
    m_restore->setEnabled(m_model->canRestore());
    m_progress->setVisible(phase == Phase::running);
    m_bar->setValue(int(std::clamp(runner->percent(), 0.0, 1.0) * 1000));
    m_files->setText(m_model->progressFilesText());
    m_bytes->setText(m_model->progressBytesText());
    m_success->setVisible(phase == Phase::finished && runner->summary());
    m_success->setStatus(StatusTone::success, QStringLiteral("checkmark.circle.fill"), m_model->summaryText());
    m_show->setVisible(phase == Phase::finished && runner->restoredPath());
    m_failure->setVisible(runner->failureMessage().has_value());
    m_failure->setStatus(
        StatusTone::failure, QStringLiteral("xmark.circle.fill"), runner->failureMessage().value_or(QString()));

    m_close->setText(m_model->closeButtonTitle());
    m_close->setEnabled(m_model->canClose());
}

void RestoreSheet::reject()
{
    if (m_model->canClose())
        QDialog::reject();
}

void RestoreSheet::closeEvent(QCloseEvent *event)
{
    if (!m_model->canClose()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

} // namespace vellmir

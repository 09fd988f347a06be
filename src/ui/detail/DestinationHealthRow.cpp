#include "detail/DestinationHealthRow.h"

#include "detail/DestinationHealthModel.h"
#include "kit/MessageLabel.h"
#include "kit/PathLabel.h"
#include "kit/PlainText.h"
#include "kit/StatusStyle.h"
#include "util/TextRules.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace vellmir {

namespace {

void showLine(QLabel *label, const DestinationHealthModel::Line &line)
{
    label->setText(line.text);
    StatusStyle::applyTone(*label, line.tone);
    label->setVisible(true);
}

void showLine(QLabel *label, const std::optional<DestinationHealthModel::Line> &line)
{
    if (line)
        showLine(label, *line);
    else
        label->setVisible(false);
}

} // namespace

DestinationHealthRow::DestinationHealthRow(
    const Destination &destination, std::function<void()> onOpen, QWidget *parent)
    : DestinationHealthRow(new DestinationHealthModel(destination), std::move(onOpen), parent)
{
}

DestinationHealthRow::DestinationHealthRow(DestinationHealthModel *model, std::function<void()> onOpen, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_onOpen(std::move(onOpen))
{
    m_model->setParent(this);
    build();
    connect(m_model, &DestinationHealthModel::changed, this, &DestinationHealthRow::refresh);
    connect(m_model, &DestinationHealthModel::busyChanged, this, &DestinationHealthRow::refresh);
    refresh();
}

DestinationHealthRow::~DestinationHealthRow() = default;

void DestinationHealthRow::build()
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 4, 0, 4);
    layout->setSpacing(6);

    // However long the name, it never widens the overview: it is cut at its end, whole in its tip.
    m_name = new PathLabel(this);
    m_name->setObjectName(QStringLiteral("name"));
    m_name->setElideMode(Qt::ElideRight);
    m_name->setFont(StatusStyle::headlineFont(font()));
    m_backup = plainLabel(QString(), this, "backupLine");
    m_latestAttempt = plainLabel(QString(), this, "latestAttemptLine");
    m_overdue = plainLabel(QString(), this, "overdueLine");
    m_nextDue = plainLabel(QString(), this, "nextDueLine");
    m_counts = plainLabel(QString(), this, "countsLine");
    m_verifiedRestore = plainLabel(QString(), this, "verifiedRestoreLine");
    for (QLabel *caption : { m_nextDue, m_counts, m_verifiedRestore })
        caption->setFont(StatusStyle::captionFont(font()));
    m_error = new MessageLabel(this);
    m_error->setObjectName(QStringLiteral("errorLine"));
    // A press that starts nothing (the repository is busy) says why here, as the pane does.
    m_runFailure = new MessageLabel(this);
    m_runFailure->setObjectName(QStringLiteral("runFailureLine"));

    for (QWidget *line : std::initializer_list<QWidget *> { m_name, m_backup, m_latestAttempt, m_overdue, m_nextDue,
             m_counts, m_verifiedRestore, m_error, m_runFailure })
        layout->addWidget(line);

    auto *buttons = new QHBoxLayout;
    m_open = new QPushButton(tr("Review and Restore…"), this);
    m_open->setObjectName(QStringLiteral("openButton"));
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setRange(0, 0); // indeterminate
    m_progress->setTextVisible(false);
    m_progress->setMaximumSize(60, QFontMetrics(font()).height() / 2 + 4);
    m_cancel = new QPushButton(tr("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    m_backUp = new QPushButton(tr("Back Up Now"), this);
    m_backUp->setObjectName(QStringLiteral("backUpButton"));
    buttons->addWidget(m_open, 0, Qt::AlignVCenter);
    buttons->addWidget(m_progress, 0, Qt::AlignVCenter);
    buttons->addWidget(m_cancel, 0, Qt::AlignVCenter);
    buttons->addWidget(m_backUp, 0, Qt::AlignVCenter);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    connect(m_open, &QPushButton::clicked, this, [this] {
        if (m_onOpen)
            m_onOpen();
    });
    connect(m_backUp, &QPushButton::clicked, m_model, &DestinationHealthModel::backUpNow);
    connect(m_cancel, &QPushButton::clicked, this, [this] {
        // restic may take many seconds to stop, longer under an upload limit: show the press now.
        m_cancel->setText(tr("Cancelling…"));
        // A disabled button hands its focus on down the overview, which would scroll: the row keeps it.
        if (m_cancel->hasFocus())
            setFocus(Qt::OtherFocusReason);
        m_cancel->setEnabled(false);
        m_model->cancel();
    });
}

void DestinationHealthRow::setDestination(const Destination &destination)
{
    m_model->setDestination(destination);
}

void DestinationHealthRow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_model->isPolling())
        m_model->start();
}

void DestinationHealthRow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_model->stop();
}

void DestinationHealthRow::refresh()
{
    const DestinationHealthModel &model = *m_model;
    // The name may come from a hand-edited file: what would break, hide or reorder it is written out.
    const QString name = TextRules::visible(model.destination().name);
    m_name->setPath(model.destination().name);
    showLine(m_backup, model.backupLine());
    showLine(m_latestAttempt, model.latestAttemptLine());
    showLine(m_overdue, model.overdueLine());
    showLine(m_nextDue, model.nextDueLine());
    showLine(m_counts, model.countsLine());
    showLine(m_verifiedRestore, model.verifiedRestoreLine());
    m_error->setText(model.errorMessage().value_or(QString()));
    m_error->setVisible(model.errorMessage().has_value());
    const std::optional<QString> runFailure = model.runFailure();
    m_runFailure->setText(runFailure.value_or(QString()));
    m_runFailure->setVisible(runFailure.has_value());

    m_open->setAccessibleName(tr("Review and Restore %1").arg(name));
    m_backUp->setAccessibleName(tr("Back Up %1 Now").arg(name));
    m_cancel->setAccessibleName(tr("Cancel the backup of %1").arg(name));
    StatusStyle::nameProgress(*m_progress, tr("Backing up %1").arg(name));

    const bool busy = model.isBusy();
    m_progress->setVisible(busy);
    if (!busy) {
        m_cancel->setText(tr("Cancel"));
        m_cancel->setEnabled(true);
    }
    // Cancel takes Back Up Now's place and its focus, and the other way round: a focused button
    // that goes away hands the focus on as Tab would, and the overview would scroll to wherever
    // that lands.
    QPushButton *shown = busy ? m_cancel : m_backUp;
    QPushButton *gone = busy ? m_backUp : m_cancel;
    shown->setVisible(true);
    if (gone->hasFocus())
        shown->setFocus(Qt::OtherFocusReason);
    gone->setVisible(false);
    m_backUp->setEnabled(model.canBackUp());
}

} // namespace vellmir

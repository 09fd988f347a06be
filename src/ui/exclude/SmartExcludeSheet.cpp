#include "exclude/SmartExcludeSheet.h"

#include "kit/PlainText.h"
#include "kit/StatusStyle.h"
#include "util/TextRules.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFontDatabase>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace vellmir {

// Symbols of this sheet beside the kit's status symbols:
//   "sparkles"         drawn here: two four-pointed stars in the palette's highlight colour
//   "checkmark.seal"   the kit's "checkmark.circle.fill" in the secondary colour
namespace {

QIcon sparklesIcon(const QColor &color, int size)
{
    QPixmap pixmap(size * 2, size * 2);
    pixmap.setDevicePixelRatio(2.0);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    const auto star = [&painter](QPointF centre, qreal radius) {
        const qreal waist = radius * 0.28;
        QPainterPath path;
        path.moveTo(centre.x(), centre.y() - radius);
        path.lineTo(centre.x() + waist, centre.y() - waist);
        path.lineTo(centre.x() + radius, centre.y());
        path.lineTo(centre.x() + waist, centre.y() + waist);
        path.lineTo(centre.x(), centre.y() + radius);
        path.lineTo(centre.x() - waist, centre.y() + waist);
        path.lineTo(centre.x() - radius, centre.y());
        path.lineTo(centre.x() - waist, centre.y() - waist);
        path.closeSubpath();
        painter.drawPath(path);
    };
    star(QPointF(size * 0.42, size * 0.58), size * 0.42);
    star(QPointF(size * 0.80, size * 0.22), size * 0.20);
    return QIcon(pixmap);
}

QLabel *textLabel(const QString &text, QWidget *parent, const char *name = nullptr)
{
    // Rows show folder names, patterns and the model's words: a line break or a character that
    // shows as nothing is written out, so each stays on its line and says what it holds.
    auto *label = new QLabel(TextRules::visible(text), parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    if (name)
        label->setObjectName(QLatin1String(name));
    return label;
}

QLabel *captionLabel(const QString &text, StatusTone tone, QWidget *parent, const char *name = nullptr)
{
    QLabel *label = textLabel(text, parent, name);
    label->setFont(StatusStyle::captionFont(label->font()));
    StatusStyle::applyTone(*label, tone);
    return label;
}

QFrame *divider(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QFont monospaced(const QFont &base)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (base.pointSizeF() > 0)
        font.setPointSizeF(base.pointSizeF());
    return font;
}

// A text-only button in the link colour, like a hyperlink.
QPushButton *linkButton(const QString &title, QWidget *parent, const char *name)
{
    auto *button = new QPushButton(title, parent);
    button->setObjectName(QLatin1String(name));
    button->setFlat(true);
    button->setAutoDefault(false);
    button->setCursor(Qt::PointingHandCursor);
    QPalette palette = button->palette();
    palette.setColor(QPalette::ButtonText, palette.color(QPalette::Link));
    button->setPalette(palette);
    return button;
}

QLabel *badge(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QStringLiteral("badge"));
    QFont font = StatusStyle::captionFont(StatusStyle::captionFont(label->font()));
    font.setWeight(QFont::DemiBold);
    label->setFont(font);
    QColor fill = label->palette().color(QPalette::Highlight);
    fill.setAlphaF(0.2f);
    const int radius = (QFontMetrics(font).height() + 2) / 2;
    label->setStyleSheet(QStringLiteral("QLabel { background: rgba(%1, %2, %3, %4); border-radius: %5px; "
                                        "padding: 1px 5px; }")
                             .arg(fill.red())
                             .arg(fill.green())
                             .arg(fill.blue())
                             .arg(fill.alpha())
                             .arg(radius));
    return label;
}

void clearLayout(QVBoxLayout *layout)
{
    while (QLayoutItem *item = layout->takeAt(0)) {
        if (QWidget *widget = item->widget())
            delete widget;
        delete item;
    }
}

} // namespace

SmartExcludeSheet::SmartExcludeSheet(const QStringList &sources, const QStringList &existingExcludes,
    SmartExcludeSheetModel::ApplyCallback onApply, SmartExcludeServices services, QWidget *parent)
    : QDialog(parent)
    , m_model(new SmartExcludeSheetModel(sources, existingExcludes, std::move(onApply), std::move(services), this))
{
    setObjectName(QStringLiteral("smartExcludeSheet"));
    setWindowTitle(QStringLiteral("Smart Exclude"));
    setWindowModality(Qt::WindowModal);
    setMinimumSize(680, 600);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildHeader());
    layout->addWidget(divider(this));
    layout->addWidget(buildAIControls());
    layout->addWidget(divider(this));
    layout->addWidget(buildContent(), 1);

    auto *buttons = new QDialogButtonBox(this);
    buttons->setContentsMargins(20, 10, 20, 12);
    m_cancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    m_cancel->setAutoDefault(false);
    m_add = buttons->addButton(QStringLiteral("Add Selected"), QDialogButtonBox::AcceptRole);
    m_add->setObjectName(QStringLiteral("addButton"));
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::rejected, this, &SmartExcludeSheet::reject);
    connect(m_add, &QPushButton::clicked, m_model, &SmartExcludeSheetModel::applySelected);
    connect(m_model, &SmartExcludeSheetModel::dismissRequested, this, &QDialog::accept);
    connect(m_model, &SmartExcludeSheetModel::applyErrorChanged, this, &SmartExcludeSheet::showApplyError);
    connect(m_model, &SmartExcludeSheetModel::candidatesChanged, this, &SmartExcludeSheet::rebuildRules);

    ExcludeReviewModel *review = m_model->aiReview();
    connect(review, &ExcludeReviewModel::assessmentsChanged, this, &SmartExcludeSheet::rebuildAI);
    connect(review, &ExcludeReviewModel::discoveryChanged, this, &SmartExcludeSheet::rebuildIssues);
    for (auto signal : { &ExcludeReviewModel::stateChanged, &ExcludeReviewModel::availabilityChanged,
             &ExcludeReviewModel::discoveryChanged, &ExcludeReviewModel::assessmentsChanged,
             &ExcludeReviewModel::selectedChanged })
        connect(review, signal, this, &SmartExcludeSheet::refresh);
    for (auto signal : { &SmartExcludeSheetModel::candidatesChanged, &SmartExcludeSheetModel::selectedChanged,
             &SmartExcludeSheetModel::scanningChanged, &SmartExcludeSheetModel::applyingChanged })
        connect(m_model, signal, this, &SmartExcludeSheet::refresh);
    refresh();
}

QWidget *SmartExcludeSheet::buildHeader()
{
    auto *header = new QWidget(this);
    auto *row = new QHBoxLayout(header);
    row->setContentsMargins(20, 18, 20, 12);
    QLabel *title = textLabel(QStringLiteral("Smart Exclude"), header, "titleLabel");
    title->setWordWrap(false);
    QFont font = title->font();
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * 1.4);
    font.setWeight(QFont::DemiBold);
    title->setFont(font);
    row->addWidget(title);
    row->addStretch();
    m_toggleAll = linkButton(QString(), header, "toggleAllButton");
    row->addWidget(m_toggleAll);
    m_rulesSize = textLabel(QString(), header, "rulesSizeLabel");
    m_rulesSize->setWordWrap(false);
    StatusStyle::applyTone(*m_rulesSize, StatusTone::secondary);
    row->addWidget(m_rulesSize);
    connect(m_toggleAll, &QPushButton::clicked, m_model, &SmartExcludeSheetModel::toggleAllRules);
    return header;
}

QWidget *SmartExcludeSheet::buildAIControls()
{
    auto *controls = new QWidget(this);
    controls->setObjectName(QStringLiteral("aiControls"));
    auto *column = new QVBoxLayout(controls);
    column->setContentsMargins(20, 10, 20, 10);
    column->setSpacing(6);

    auto *header = new QHBoxLayout;
    auto *icon = new QLabel(controls);
    icon->setPixmap(sparklesIcon(palette().color(QPalette::Highlight), 16).pixmap(16, 16));
    header->addWidget(icon);
    QLabel *title = textLabel(QStringLiteral("On-device AI review"), controls, "aiTitle");
    title->setWordWrap(false);
    header->addWidget(title);
    header->addStretch();

    auto *progress = new QProgressBar(controls);
    progress->setObjectName(QStringLiteral("reviewProgress"));
    StatusStyle::nameProgress(*progress, tr("Review progress"));
    progress->setRange(0, 0);
    progress->setTextVisible(false);
    progress->setFixedWidth(60);
    m_reviewProgress = progress;
    header->addWidget(m_reviewProgress);
    m_stopReview = new QPushButton(QStringLiteral("Stop Review"), controls);
    m_stopReview->setObjectName(QStringLiteral("stopReviewButton"));
    m_stopReview->setAutoDefault(false);
    header->addWidget(m_stopReview);
    m_review = new QPushButton(controls);
    m_review->setObjectName(QStringLiteral("reviewButton"));
    m_review->setAutoDefault(false);
    header->addWidget(m_review);
    m_refreshAvailability = linkButton(QStringLiteral("Refresh Availability"), controls, "refreshAvailabilityButton");
    header->addWidget(m_refreshAvailability);
    column->addLayout(header);

    m_aiNote = captionLabel(QString(), StatusTone::secondary, controls, "aiNote");
    column->addWidget(m_aiNote);
    m_aiStatus = captionLabel(QString(), StatusTone::normal, controls, "aiStatus");
    column->addWidget(m_aiStatus);
    m_issues = new QVBoxLayout;
    m_issues->setSpacing(2);
    column->addLayout(m_issues);

    connect(m_stopReview, &QPushButton::clicked, m_model, &SmartExcludeSheetModel::stopReview);
    connect(m_review, &QPushButton::clicked, m_model, &SmartExcludeSheetModel::startReview);
    connect(m_refreshAvailability, &QPushButton::clicked, m_model, &SmartExcludeSheetModel::refreshAvailability);
    return controls;
}

QWidget *SmartExcludeSheet::buildContent()
{
    m_content = new QStackedWidget(this);
    m_content->setObjectName(QStringLiteral("content"));

    auto *scanning = new QWidget(m_content);
    scanning->setObjectName(QStringLiteral("scanningPage"));
    auto *scanningColumn = new QVBoxLayout(scanning);
    scanningColumn->addStretch();
    auto *bar = new QProgressBar(scanning);
    StatusStyle::nameProgress(*bar, tr("Scanning"));
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    bar->setFixedWidth(160);
    scanningColumn->addWidget(bar, 0, Qt::AlignHCenter);
    scanningColumn->addSpacing(10);
    m_scanningText = textLabel(QString(), scanning, "scanningText");
    StatusStyle::applyTone(*m_scanningText, StatusTone::secondary);
    m_scanningText->setAlignment(Qt::AlignHCenter);
    scanningColumn->addWidget(m_scanningText, 0, Qt::AlignHCenter);
    scanningColumn->addStretch();
    m_content->addWidget(scanning);

    auto *empty = new QWidget(m_content);
    empty->setObjectName(QStringLiteral("emptyPage"));
    auto *emptyColumn = new QVBoxLayout(empty);
    emptyColumn->addStretch();
    auto *seal = new QLabel(empty);
    seal->setPixmap(
        StatusStyle::symbolIcon(QStringLiteral("checkmark.circle.fill"), StatusStyle::color(StatusTone::secondary), 44)
            .pixmap(44, 44));
    emptyColumn->addWidget(seal, 0, Qt::AlignHCenter);
    QLabel *emptyTitle = textLabel(QStringLiteral("Nothing to exclude"), empty, "emptyTitle");
    emptyTitle->setFont(StatusStyle::headlineFont(emptyTitle->font()));
    emptyTitle->setAlignment(Qt::AlignHCenter);
    emptyColumn->addWidget(emptyTitle);
    QLabel *emptyText = textLabel(
        QStringLiteral("No known regenerable folders were found in the selected sources."), empty, "emptyText");
    StatusStyle::applyTone(*emptyText, StatusTone::secondary);
    emptyText->setAlignment(Qt::AlignHCenter);
    emptyColumn->addWidget(emptyText);
    emptyColumn->addStretch();
    m_content->addWidget(empty);

    auto *scroll = new QScrollArea(m_content);
    scroll->setObjectName(QStringLiteral("listPage"));
    scroll->setAccessibleName(tr("Suggestions"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    m_form = new QWidget(scroll);
    m_form->setObjectName(QStringLiteral("form"));
    auto *form = new QVBoxLayout(m_form);
    form->setContentsMargins(20, 12, 20, 12);
    form->setSpacing(16);

    m_rulesSection = new QGroupBox(m_form);
    m_rulesSection->setObjectName(QStringLiteral("rulesSection"));
    auto *rulesColumn = new QVBoxLayout(m_rulesSection);
    m_ruleRows = new QVBoxLayout;
    m_ruleRows->setSpacing(10);
    rulesColumn->addLayout(m_ruleRows);
    rulesColumn->addWidget(
        captionLabel(SmartExcludeSheetModel::rulesFooter, StatusTone::secondary, m_rulesSection, "rulesFooter"));
    form->addWidget(m_rulesSection);

    m_aiSection = new QGroupBox(m_form);
    m_aiSection->setObjectName(QStringLiteral("aiSection"));
    auto *aiColumn = new QVBoxLayout(m_aiSection);
    m_aiRows = new QVBoxLayout;
    m_aiRows->setSpacing(6);
    aiColumn->addLayout(m_aiRows);
    aiColumn->addWidget(captionLabel(SmartExcludeSheetModel::aiFooter, StatusTone::secondary, m_aiSection, "aiFooter"));
    form->addWidget(m_aiSection);
    form->addStretch();
    scroll->setWidget(m_form);
    m_content->addWidget(scroll);
    return m_content;
}

void SmartExcludeSheet::rebuildRules()
{
    clearLayout(m_ruleRows);
    for (const ExcludeCandidate &candidate : m_model->candidates()) {
        auto *row = new QWidget(m_rulesSection);
        row->setObjectName(QStringLiteral("ruleRow"));
        row->setProperty("candidateID", candidate.id);
        auto *line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        auto *toggle = new QCheckBox(row);
        toggle->setObjectName(QStringLiteral("ruleToggle"));
        line->addWidget(toggle, 0, Qt::AlignTop);
        auto *stack = new QVBoxLayout;
        stack->setSpacing(6);
        auto *first = new QHBoxLayout;
        QLabel *pattern = textLabel(candidate.pattern, row, "rulePattern");
        pattern->setFont(monospaced(pattern->font()));
        first->addWidget(pattern);
        if (candidate.source != ExcludeCandidate::Source::rule)
            first->addWidget(badge(
                candidate.source == ExcludeCandidate::Source::cloud ? QStringLiteral("Cloud") : QStringLiteral("AI"),
                row));
        first->addStretch();
        stack->addLayout(first);
        stack->addWidget(captionLabel(candidate.reason, StatusTone::secondary, row, "ruleReason"));
        stack->addWidget(
            captionLabel(SmartExcludeSheetModel::detail(candidate), StatusTone::secondary, row, "ruleDetail"));
        line->addLayout(stack, 1);
        m_ruleRows->addWidget(row);
        const QString id = candidate.id;
        connect(toggle, &QCheckBox::toggled, m_model, [model = m_model, id](bool on) { model->setSelected(id, on); });
    }
    for (const QString &note : m_model->unofferedNotes())
        m_ruleRows->addWidget(captionLabel(note, StatusTone::secondary, m_rulesSection, "unofferedNote"));
}

void SmartExcludeSheet::rebuildAI()
{
    clearLayout(m_aiRows);
    for (const ExcludeAssessment &assessment : m_model->aiReview()->assessments()) {
        auto *row = new QWidget(m_aiSection);
        row->setObjectName(QStringLiteral("aiRow"));
        row->setProperty("evidenceID", assessment.id());
        auto *column = new QVBoxLayout(row);
        column->setContentsMargins(0, 4, 0, 4);
        column->setSpacing(6);

        auto *first = new QHBoxLayout;
        auto *toggle = new QCheckBox(row);
        toggle->setObjectName(QStringLiteral("aiToggle"));
        toggle->setEnabled(assessment.suggested);
        first->addWidget(toggle, 0, Qt::AlignTop);
        QLabel *path = textLabel(assessment.evidence.path, row, "aiPath");
        path->setFont(monospaced(path->font()));
        path->setTextInteractionFlags(Qt::TextSelectableByMouse);
        first->addWidget(path, 1);
        column->addLayout(first);
        column->addWidget(captionLabel(SmartExcludeSheetModel::verdict(assessment),
            assessment.suggested ? StatusTone::secondary : StatusTone::warning, row, "aiVerdict"));
        column->addWidget(captionLabel(assessment.reason, StatusTone::normal, row, "aiReason"));

        auto *disclosure = new QToolButton(row);
        disclosure->setObjectName(QStringLiteral("evidenceToggle"));
        disclosure->setText(SmartExcludeSheetModel::evidenceTitle(assessment.evidence));
        disclosure->setFont(StatusStyle::captionFont(disclosure->font()));
        disclosure->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        disclosure->setArrowType(Qt::RightArrow);
        disclosure->setCheckable(true);
        disclosure->setAutoRaise(true);
        column->addWidget(disclosure, 0, Qt::AlignLeft);

        auto *details = new QWidget(row);
        details->setObjectName(QStringLiteral("evidenceDetails"));
        auto *lines = new QVBoxLayout(details);
        lines->setContentsMargins(18, 0, 0, 0);
        lines->setSpacing(5);
        for (const QString &text : SmartExcludeSheetModel::evidenceLines(assessment.evidence))
            lines->addWidget(captionLabel(text, StatusTone::normal, details, "evidenceLine"));
        auto *reveal = new QPushButton(QStringLiteral("Show in File Manager"), details);
        reveal->setObjectName(QStringLiteral("revealButton"));
        reveal->setAutoDefault(false);
        reveal->setFont(StatusStyle::captionFont(reveal->font()));
        lines->addWidget(reveal, 0, Qt::AlignLeft);
        details->setVisible(false);
        column->addWidget(details);
        m_aiRows->addWidget(row);

        connect(disclosure, &QToolButton::toggled, details, [disclosure, details](bool open) {
            disclosure->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
            details->setVisible(open);
        });
        connect(reveal, &QPushButton::clicked, m_model,
            [model = m_model, folder = assessment.evidence.path] { model->reveal(folder); });
        connect(toggle, &QCheckBox::toggled, m_model,
            [model = m_model, assessment](bool on) { model->setAISelected(assessment, on); });
    }
}

void SmartExcludeSheet::rebuildIssues()
{
    clearLayout(m_issues);
    for (const QString &issue : m_model->aiReview()->discovery().issues)
        m_issues->addWidget(captionLabel(issue, StatusTone::warning, this, "aiIssue"));
}

void SmartExcludeSheet::refresh()
{
    using Content = SmartExcludeSheetModel::Content;
    ExcludeReviewModel *review = m_model->aiReview();

    const bool controls = m_model->showsRuleControls();
    m_toggleAll->setVisible(controls);
    m_toggleAll->setText(m_model->toggleAllTitle());
    m_rulesSize->setVisible(controls);
    m_rulesSize->setText(m_model->rulesText());

    const bool running = review->state().isRunning();
    m_reviewProgress->setVisible(running);
    m_stopReview->setVisible(running);
    m_review->setVisible(!running);
    m_refreshAvailability->setVisible(!running);
    m_review->setText(m_model->reviewButtonTitle());
    m_review->setEnabled(m_model->canStartReview());
    m_aiNote->setText(m_model->aiNote());
    m_aiStatus->setText(TextRules::visible(m_model->aiStatus())); // a failure may quote the model

    switch (m_model->content()) {
    case Content::scanning:
        m_content->setCurrentIndex(0);
        break;
    case Content::empty:
        m_content->setCurrentIndex(1);
        break;
    case Content::list:
        m_content->setCurrentIndex(2);
        break;
    }
    m_scanningText->setText(m_model->scanningText());
    m_form->setEnabled(!m_model->isApplying());
    m_rulesSection->setTitle(m_model->rulesHeader());
    for (QWidget *row : m_rulesSection->findChildren<QWidget *>(QStringLiteral("ruleRow"))) {
        auto *toggle = row->findChild<QCheckBox *>(QStringLiteral("ruleToggle"));
        const QSignalBlocker blocker(toggle);
        toggle->setChecked(m_model->isSelected(row->property("candidateID").toString()));
    }
    m_aiSection->setVisible(!review->assessments().isEmpty());
    m_aiSection->setTitle(m_model->aiHeader());
    for (QWidget *row : m_aiSection->findChildren<QWidget *>(QStringLiteral("aiRow"))) {
        auto *toggle = row->findChild<QCheckBox *>(QStringLiteral("aiToggle"));
        const QSignalBlocker blocker(toggle);
        toggle->setChecked(review->selected().contains(row->property("evidenceID").toString()));
    }

    m_add->setText(m_model->addButtonTitle());
    m_add->setEnabled(m_model->canAdd());
}

void SmartExcludeSheet::showApplyError()
{
    const std::optional<QString> &error = m_model->applyError();
    if (!error) {
        if (m_alert)
            m_alert->close();
        return;
    }
    if (!m_alert) {
        m_alert = new QMessageBox(
            QMessageBox::Warning, QStringLiteral("Exclusions were not added"), QString(), QMessageBox::Ok, this);
        m_alert->setObjectName(QStringLiteral("applyErrorAlert"));
        m_alert->setWindowModality(Qt::WindowModal);
        m_alert->setTextFormat(Qt::PlainText);
        // However the alert goes away, the error goes with it.
        connect(m_alert, &QDialog::finished, m_model, &SmartExcludeSheetModel::clearApplyError);
    }
    m_alert->setText(QStringLiteral("Exclusions were not added"));
    m_alert->setInformativeText(plainAutoText(visibleLines(*error)));
    m_alert->open();
}

void SmartExcludeSheet::reject()
{
    m_model->cancel();
    QDialog::reject();
}

void SmartExcludeSheet::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    m_model->initialScan();
}

void SmartExcludeSheet::hideEvent(QHideEvent *event)
{
    m_model->cancel();
    QDialog::hideEvent(event);
}

void SmartExcludeSheet::changeEvent(QEvent *event)
{
    // The window coming to the front or leaving it stands in for a change of scene phase:
    // the user may have changed the system's model settings meanwhile.
    if (event->type() == QEvent::ActivationChange)
        m_model->refreshAvailability();
    QDialog::changeEvent(event);
}

} // namespace vellmir

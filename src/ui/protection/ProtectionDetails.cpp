#include "protection/ProtectionDetails.h"

#include "kit/DetailSection.h"
#include "kit/DisclosureButton.h"
#include "kit/Format.h"
#include "kit/MessageLabel.h"
#include "kit/PathLabel.h"
#include "kit/StatusStyle.h"
#include "protection/ProtectionDetailsModel.h"
#include "protection/RecoveryKitSheet.h"
#include "protection/StripedList.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace vellmir {

namespace {

QLabel *textLabel(QWidget *parent, const QString &text, const char *name)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1StringView(name));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

QLabel *caption(QWidget *parent, const QString &text, const char *name, bool secondary = false)
{
    QLabel *label = textLabel(parent, text, name);
    label->setFont(StatusStyle::captionFont(label->font()));
    if (secondary)
        StatusStyle::applyTone(*label, StatusTone::secondary);
    return label;
}

void makeSelectable(QLabel *label)
{
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

// A title on the left and its value on the right; returns the value's label, named `name`
// ("<name>Row" names the whole row).
QLabel *labelledValue(QVBoxLayout *layout, QWidget *parent, const QString &title, const char *name)
{
    auto *row = new QWidget(parent);
    row->setObjectName(QLatin1StringView(name) + QStringLiteral("Row"));
    auto *rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    QLabel *titleLabel = textLabel(row, title, "title");
    titleLabel->setWordWrap(false);
    rowLayout->addWidget(titleLabel, 1);
    auto *value = new QLabel(row);
    value->setObjectName(QLatin1StringView(name));
    value->setTextFormat(Qt::PlainText);
    value->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Preferred);
    value->setAlignment(Qt::AlignTrailing | Qt::AlignVCenter);
    rowLayout->addWidget(value);
    layout->addWidget(row);
    return value;
}

// Names `widget` and gives it a margin-free column, so the rows placed in it show and hide together.
QVBoxLayout *column(QWidget *widget, const char *name)
{
    widget->setObjectName(QLatin1StringView(name));
    auto *layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    return layout;
}

QPushButton *button(QWidget *parent, const QString &text, const char *name)
{
    auto *result = new QPushButton(text, parent);
    result->setObjectName(QLatin1StringView(name));
    result->setAutoDefault(false);
    return result;
}

// A collapsed disclosure: a toggle with an arrow that shows and hides `content`.
QToolButton *disclosure(QVBoxLayout *layout, QWidget *parent, QWidget *content, const char *name)
{
    auto *toggle = new DisclosureButton(QString(), false, parent);
    toggle->setObjectName(QLatin1StringView(name));
    toggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    content->setVisible(false);
    QObject::connect(toggle, &QToolButton::toggled, content, &QWidget::setVisible);
    layout->addWidget(toggle, 0, Qt::AlignLeading);
    layout->addWidget(content);
    return toggle;
}

// The panel sits among the destination pane's sections and looks like them.
QVBoxLayout *section(QVBoxLayout *layout, QWidget *parent, const QString &title, const char *name)
{
    auto *box = new DetailSection(title, false, parent);
    box->setObjectName(QLatin1StringView(name));
    box->body()->setSpacing(8);
    layout->addWidget(box);
    return box->body();
}

void setVisibleText(QLabel *label, const std::optional<QString> &text)
{
    label->setText(text.value_or(QString()));
    label->setVisible(text.has_value());
}

} // namespace

ProtectionDetails::ProtectionDetails(const Destination &destination, QWidget *parent)
    : ProtectionDetails(new ProtectionDetailsModel(destination), parent)
{
}

ProtectionDetails::ProtectionDetails(ProtectionDetailsModel *model, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
{
    m_model->setParent(this);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    m_sections = { section(layout, this, tr("Coverage and recovery"), "coverageSection"),
        section(layout, this, tr("Repository integrity"), "integritySection"),
        section(layout, this, tr("Storage and cost estimate"), "storageSection") };
    buildCoverage(m_sections[0]);
    buildIntegrity(m_sections[1]);
    buildStorage(m_sections[2]);

    connect(m_model, &ProtectionDetailsModel::destinationChanged, this, &ProtectionDetails::refreshDestination);
    connect(m_model, &ProtectionDetailsModel::healthChanged, this, &ProtectionDetails::refreshHealth);
    connect(m_model, &ProtectionDetailsModel::auditChanged, this, &ProtectionDetails::refreshAudit);
    connect(m_model, &ProtectionDetailsModel::workingChanged, this, &ProtectionDetails::refreshWorking);
    connect(m_model, &ProtectionDetailsModel::messageChanged, this, &ProtectionDetails::refreshMessage);
    refreshDestination();
    refreshAudit();
    refreshWorking();
    refreshMessage();
}

ProtectionDetails::~ProtectionDetails() = default;

void ProtectionDetails::buildCoverage(QVBoxLayout *layout)
{
    QWidget *box = layout->parentWidget();
    layout->addWidget(caption(box,
        tr("Coverage applies to your selected folders and exclusions. Read access alone does not prove "
           "recoverability."),
        "coverageNote", true));
    m_reviewCoverage = button(box, tr("Review Coverage"), "reviewCoverageButton");
    layout->addWidget(m_reviewCoverage, 0, Qt::AlignLeading);

    m_auditDetails = new QWidget(box);
    auto *audit = column(m_auditDetails, "auditDetails");
    m_readableFiles = labelledValue(audit, m_auditDetails, tr("Locally readable files"), "readableFiles");
    m_excludedEntries = labelledValue(audit, m_auditDetails, tr("Excluded entries"), "excludedEntries");
    audit->addWidget(caption(m_auditDetails, tr("This metadata scan uses approximate exclude matching."), "auditNote"));
    m_issues = new QWidget(m_auditDetails);
    m_issueRows = column(m_issues, "issues");
    m_issueRows->setSpacing(2);
    audit->addWidget(m_issues);
    m_issueLimitNote = textLabel(m_auditDetails, tr("Showing the first 100 access issues."), "issueLimitNote");
    audit->addWidget(m_issueLimitNote);
    layout->addWidget(m_auditDetails);

    m_folders = new StripedList({}, box);
    m_folders->setObjectName(QStringLiteral("foldersList"));
    m_foldersToggle = disclosure(layout, box, m_folders, "foldersDisclosure");

    m_exclusionsContent = new QWidget(box);
    auto *exclusions = column(m_exclusionsContent, "exclusionsContent");
    m_exclusions = new StripedList({}, m_exclusionsContent);
    m_exclusions->setObjectName(QStringLiteral("exclusionsList"));
    exclusions->addWidget(m_exclusions);
    exclusions->addWidget(caption(m_exclusionsContent,
        tr("Excluded files are outside this backup's protection, including any files synced elsewhere."),
        "exclusionsNote"));
    m_exclusionsToggle = disclosure(layout, box, m_exclusionsContent, "exclusionsDisclosure");

    m_lastVerifiedRestore = labelledValue(layout, box, tr("Last verified restore"), "lastVerifiedRestore");
    // It names a folder, which may be one long word: cut in the middle rather than widen the pane.
    m_verifiedSelection = new PathLabel(box);
    m_verifiedSelection->setObjectName(QStringLiteral("verifiedSelection"));
    m_verifiedSelection->setFont(StatusStyle::captionFont(m_verifiedSelection->font()));
    makeSelectable(m_verifiedSelection);
    layout->addWidget(m_verifiedSelection);
    layout->addWidget(caption(box,
        tr("Use Find and Restore Files to run a small recovery test. Restored contents are verified; one "
           "successful restore does not verify every backup."),
        "recoveryNote"));

    m_exportKit = button(box, tr("Export Recovery Kit…"), "exportKitButton");
    m_testRecovery = button(box, tr("Test Recovery with a Small File"), "testRecoveryButton");
    layout->addWidget(m_exportKit, 0, Qt::AlignLeading);
    layout->addWidget(m_testRecovery, 0, Qt::AlignLeading);
    layout->addWidget(caption(box,
        tr("Downloads and verifies one file up to 1 MiB into a private temporary folder, then removes the sample."),
        "sampleNote", true));

    connect(m_reviewCoverage, &QPushButton::clicked, m_model, &ProtectionDetailsModel::scan);
    connect(m_testRecovery, &QPushButton::clicked, m_model, &ProtectionDetailsModel::testRecovery);
    connect(m_exportKit, &QPushButton::clicked, this, &ProtectionDetails::showRecoveryKit);
}

void ProtectionDetails::buildIntegrity(QVBoxLayout *layout)
{
    QWidget *box = layout->parentWidget();
    m_lastCheck = labelledValue(layout, box, tr("Last check"), "lastCheck");
    m_integrityMessage = textLabel(box, QString(), "integrityMessage");
    makeSelectable(m_integrityMessage);
    layout->addWidget(m_integrityMessage);
    m_check = button(box, tr("Check Structure and 5% of Stored Data"), "checkButton");
    layout->addWidget(m_check, 0, Qt::AlignLeading);
    m_checkNote = caption(box, QString(), "checkNote", true);
    layout->addWidget(m_checkNote);
    connect(m_check, &QPushButton::clicked, m_model, &ProtectionDetailsModel::check);
}

void ProtectionDetails::buildStorage(QVBoxLayout *layout)
{
    QWidget *box = layout->parentWidget();
    m_usage = new QWidget(box);
    auto *usage = column(m_usage, "usage");
    m_referencedData = labelledValue(usage, m_usage, tr("Referenced repository data"), "referencedData");
    m_measured = caption(m_usage, QString(), "measuredCaption");
    m_change = caption(m_usage, QString(), "changeCaption");
    usage->addWidget(m_measured);
    usage->addWidget(m_change);
    m_estimate = labelledValue(usage, m_usage, tr("Estimated storage/month"), "estimate");
    m_estimateRow = m_estimate->parentWidget();
    m_rate = caption(m_usage, QString(), "rateCaption");
    usage->addWidget(m_rate);
    m_budgetWarning = textLabel(m_usage,
        tr("Estimated storage exceeds your budget warning. This warning does not stop uploads or enforce a provider "
           "cap."),
        "budgetWarning");
    StatusStyle::applyTone(*m_budgetWarning, StatusTone::warning);
    usage->addWidget(m_budgetWarning);
    layout->addWidget(m_usage);

    m_measure = button(box, tr("Measure Repository Data"), "measureButton");
    layout->addWidget(m_measure, 0, Qt::AlignLeading);

    m_busy = new QWidget(box);
    m_busy->setObjectName(QStringLiteral("busyIndicator"));
    auto *busy = new QHBoxLayout(m_busy);
    busy->setContentsMargins(0, 0, 0, 0);
    auto *progress = new QProgressBar(m_busy);
    StatusStyle::nameProgress(*progress, tr("Working"));
    progress->setRange(0, 0); // indeterminate
    progress->setTextVisible(false);
    progress->setMaximumSize(60, QFontMetrics(font()).height() / 2 + 4);
    busy->addWidget(progress, 0, Qt::AlignVCenter);
    busy->addWidget(textLabel(m_busy, tr("Working…"), "busyLabel"), 1);
    m_message = new MessageLabel(box);
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setTone(StatusTone::warning);
    placeFeedback();

    connect(m_measure, &QPushButton::clicked, m_model, &ProtectionDetailsModel::measure);
}

void ProtectionDetails::setDestination(const Destination &destination)
{
    m_model->setDestination(destination);
}

void ProtectionDetails::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_model->isPolling())
        m_model->start();
}

void ProtectionDetails::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_model->stop();
}

void ProtectionDetails::showRecoveryKit()
{
    if (m_recoveryKit)
        return;
    m_recoveryKit = new RecoveryKitSheet(m_model->destination(), this);
    m_recoveryKit->setObjectName(QStringLiteral("recoveryKitSheet"));
    m_recoveryKit->setAttribute(Qt::WA_DeleteOnClose);
    m_recoveryKit->open();
}

void ProtectionDetails::refreshDestination()
{
    const Destination &destination = m_model->destination();
    m_foldersToggle->setText(tr("Selected folders (%1)").arg(Format::count(destination.sources.size())));
    m_folders->setItems(destination.sources);
    m_exclusionsToggle->setText(tr("Deliberate exclusions (%1)").arg(Format::count(destination.excludes.size())));
    m_exclusions->setItems(destination.excludes);
    // A disk of the user's own charges nothing for reads.
    m_checkNote->setText(destination.kind == Destination::Kind::local
            ? tr("Reads a random sample of the stored data.")
            : tr("Downloads a random data sample and may incur provider charges."));
    // The cost depends on the destination's rate and budget as much as on the record.
    refreshHealth();
}

void ProtectionDetails::refreshHealth()
{
    const ProtectionDetailsModel &model = *m_model;
    const RepositoryHealth &health = model.health();

    m_lastVerifiedRestore->setText(model.lastVerifiedRestoreText());
    m_verifiedSelection->setPath(model.verifiedSelectionText().value_or(QString()));
    m_verifiedSelection->setVisible(model.verifiedSelectionText().has_value());

    m_lastCheck->setText(model.lastCheckText());
    setVisibleText(m_integrityMessage, health.integrityMessage);
    StatusStyle::applyTone(*m_integrityMessage, model.integrityMessageTone());

    const std::optional<UsageMeasurement> latest = model.latestMeasurement();
    m_usage->setVisible(latest.has_value());
    m_referencedData->setText(latest ? Format::bytes(latest->bytes) : QString());
    setVisibleText(m_measured, model.measuredCaption());
    setVisibleText(m_change, model.changeCaption());
    const std::optional<double> estimate = model.estimate();
    m_estimateRow->setVisible(estimate.has_value());
    m_estimate->setText(estimate ? Format::dollars(*estimate) : QString());
    setVisibleText(m_rate, model.rateCaption());
    m_budgetWarning->setVisible(model.showsBudgetWarning());
}

void ProtectionDetails::refreshAudit()
{
    const std::optional<CoverageAudit> &audit = m_model->audit();
    m_auditDetails->setVisible(audit.has_value());
    while (QLayoutItem *item = m_issueRows->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    if (!audit)
        return;
    m_readableFiles->setText(Format::count(audit->readableFiles));
    m_excludedEntries->setText(Format::count(audit->excludedEntries));
    for (const QString &issue : audit->issues) {
        // An issue names a path, which may be thousands of characters without a break: it
        // gives way in the middle rather than widen the pane.
        auto *row = new PathLabel(issue, m_issues);
        row->setObjectName(QStringLiteral("issue"));
        makeSelectable(row);
        StatusStyle::applyTone(*row, StatusTone::warning);
        m_issueRows->addWidget(row);
        row->show(); // the panel may be on screen already
    }
    m_issues->setVisible(!audit->issues.isEmpty());
    m_issueLimitNote->setVisible(m_model->showsIssueLimitNote());
}

void ProtectionDetails::refreshWorking()
{
    const bool working = m_model->isWorking();
    for (QPushButton *action : { m_reviewCoverage, m_testRecovery, m_check, m_measure })
        action->setEnabled(!working);
    placeFeedback();
    m_busy->setVisible(working);
}

void ProtectionDetails::placeFeedback()
{
    // Progress and the outcome show in the section of the action, under its buttons.
    QVBoxLayout *target = m_sections[std::size_t(m_model->actionSection())];
    if (target == m_feedbackSection)
        return;
    for (QWidget *widget : std::initializer_list<QWidget *> { m_busy, m_message }) {
        const bool hidden = widget->isHidden();
        if (m_feedbackSection)
            m_feedbackSection->removeWidget(widget);
        widget->setParent(target->parentWidget());
        target->addWidget(widget);
        widget->setHidden(hidden);
    }
    m_feedbackSection = target;
}

void ProtectionDetails::refreshMessage()
{
    placeFeedback();
    const std::optional<QString> &message = m_model->message();
    m_message->setText(message.value_or(QString()));
    m_message->setVisible(message.has_value());
}

} // namespace vellmir

#include "protection/ConfigReviewView.h"

#include "config/DestinationStore.h"
#include "kit/MessageLabel.h"
#include "kit/StatusStyle.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace vellmir {

namespace {

// The differences box: a faint rounded background behind the rows.
class ChangesBox : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = palette().color(QPalette::WindowText);
        fill.setAlphaF(0.06);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(QRectF(rect()), 8, 8);
    }
};

const QString titleFromAnotherComputer = QStringLiteral("Confirm settings from another computer");
const QString titleChanged = QStringLiteral("Vellmir's settings were changed outside the app");
const QString explanationFromAnotherComputer = QStringLiteral(
    "These settings were saved by Vellmir on another computer, probably copied here with a home folder or "
    "by a restore. Confirm them if you moved them; backups start once you do. Passwords and keys don't move with "
    "them, so you may need to enter them again.");
const QString explanationChanged = QStringLiteral(
    "Vellmir didn't make these changes. If you didn't make them either, another program on this computer may be "
    "trying to send your files somewhere else. Until you decide, backups use the settings Vellmir last saved.");
// With nothing trusted there are no last saved settings to back up with.
const QString explanationNothingTrusted = QStringLiteral(
    "Vellmir didn't make these changes. If you didn't make them either, another program on this computer may be "
    "trying to send your files somewhere else. Until you decide, no backups run.");

QPushButton *makeButton(const QString &text, const QString &name, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(name);
    // Return always means the variant's default action, whichever button has focus.
    button->setAutoDefault(false);
    return button;
}

} // namespace

QWidget *BulletLabelStyle::makeLabel(const QString &symbol, const QString &title, QWidget *parent)
{
    auto *row = new QWidget(parent);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);

    // A stored name or path may be one long word: it wraps inside, rather than widening the sheet.
    auto *text = new MessageLabel(title, row);
    text->setTone(StatusTone::normal);
    text->setObjectName(QStringLiteral("changeText"));

    const int size = 6;
    auto *icon = new QLabel(row);
    icon->setObjectName(QStringLiteral("bullet"));
    icon->setPixmap(StatusStyle::symbolIcon(symbol, StatusStyle::color(StatusTone::secondary, row->palette()), size)
                        .pixmap(size, size));
    icon->setFixedSize(size, size);
    // Centred on the first line's lower-case letters, as if aligned on its baseline.
    const QFontMetrics metrics(text->font());
    const int top = qMax(0, metrics.ascent() - metrics.xHeight() / 2 - size / 2);
    auto *iconColumn = new QVBoxLayout;
    iconColumn->setContentsMargins(0, top, 0, 0);
    iconColumn->addWidget(icon);
    iconColumn->addStretch(1);

    layout->addLayout(iconColumn);
    layout->addWidget(text, 1);
    return row;
}

QLayout *ConfigReviewView::buildTitleRow()
{
    auto *symbol = new QLabel(this);
    symbol->setObjectName(QStringLiteral("titleSymbol"));
    m_title = new QLabel(this);
    m_title->setObjectName(QStringLiteral("title"));
    m_title->setWordWrap(true);
    QFont titleFont = m_title->font();
    // The platform's third title size is about 15 points beside a 13-point body.
    titleFont.setPointSizeF(titleFont.pointSizeF() * 15 / 13);
    titleFont.setBold(true);
    m_title->setFont(titleFont);
    StatusStyle::applyTone(*m_title, StatusTone::warning);
    const int symbolSize = QFontMetrics(titleFont).height();
    symbol->setPixmap(StatusStyle::symbolIcon(
        QStringLiteral("exclamationmark.shield.fill"), StatusStyle::color(StatusTone::warning, palette()), symbolSize)
                          .pixmap(symbolSize, symbolSize));
    auto *titleRow = new QHBoxLayout;
    titleRow->setSpacing(8);
    titleRow->addWidget(symbol, 0, Qt::AlignTop);
    titleRow->addWidget(m_title, 1);
    return titleRow;
}

ConfigReviewView::ConfigReviewView(DestinationStore &store, QWidget *parent)
    : QDialog(parent)
    , m_model(new ConfigReview(store, this))
{
    setWindowModality(Qt::WindowModal);
    setObjectName(QStringLiteral("configReview"));

    QLayout *titleRow = buildTitleRow();

    m_explanation = new QLabel(this);
    m_explanation->setObjectName(QStringLiteral("explanation"));
    m_explanation->setWordWrap(true);

    m_changesBox = new ChangesBox(this);
    m_changesBox->setObjectName(QStringLiteral("changesBox"));
    m_changesLayout = new QVBoxLayout(m_changesBox);
    m_changesLayout->setContentsMargins(12, 12, 12, 12);
    m_changesLayout->setSpacing(6);

    m_result = new MessageLabel(this);
    m_result->setObjectName(QStringLiteral("result"));
    m_result->setTone(StatusTone::secondary);
    m_result->hide();
    m_error = new MessageLabel(this);
    m_error->setObjectName(QStringLiteral("errorMessage"));
    m_error->hide();

    m_keepButton = makeButton(QStringLiteral("Keep These Changes…"), QStringLiteral("keepButton"), this);
    m_useButton = makeButton(QStringLiteral("Use These Settings"), QStringLiteral("useButton"), this);
    m_laterButton = makeButton(QStringLiteral("Later"), QStringLiteral("laterButton"), this);
    m_undoButton = makeButton(QStringLiteral("Undo These Changes"), QStringLiteral("undoButton"), this);
    m_buttons = new QHBoxLayout;

    // Everything but the buttons scrolls, so that however long the differences are, the buttons
    // stay on the sheet and the sheet on the screen.
    auto *content = new QWidget;
    content->setObjectName(QStringLiteral("reviewContent"));
    m_layout = new QVBoxLayout(content);
    m_layout->setContentsMargins(20, 20, 20, 0);
    m_layout->setSpacing(14);
    m_layout->addLayout(titleRow);
    m_layout->addWidget(m_explanation);
    m_layout->addWidget(m_changesBox);
    m_layout->addWidget(m_result);
    m_layout->addWidget(m_error);
    m_scroll = new QScrollArea(this);
    m_scroll->setObjectName(QStringLiteral("reviewScroll"));
    m_scroll->setAccessibleName(QStringLiteral("Changes"));
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setWidget(content);
    auto *sheet = new QVBoxLayout(this);
    sheet->setContentsMargins(0, 0, 0, 20);
    sheet->setSpacing(14);
    sheet->addWidget(m_scroll, 1);
    m_buttons->setContentsMargins(20, 0, 20, 0);
    sheet->addLayout(m_buttons);
    setFixedWidth(sheetWidth);

    // Escape rejects the dialog, which is what "Later" does: nothing changes.
    connect(m_laterButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_useButton, &QPushButton::clicked, m_model, &ConfigReview::keep);
    connect(m_keepButton, &QPushButton::clicked, m_model, &ConfigReview::requestKeep);
    connect(m_undoButton, &QPushButton::clicked, m_model, &ConfigReview::undo);
    connect(m_model, &ConfigReview::dismissRequested, this, &QDialog::accept);
    connect(m_model, &ConfigReview::fromAnotherComputerChanged, this, &ConfigReviewView::showVariant);
    connect(m_model, &ConfigReview::changesChanged, this, &ConfigReviewView::showChanges);
    connect(m_model, &ConfigReview::resultChanged, this, &ConfigReviewView::showResult);
    connect(m_model, &ConfigReview::errorMessageChanged, this, &ConfigReviewView::showError);
    connect(m_model, &ConfigReview::confirmingKeepChanged, this, &ConfigReviewView::showKeepAlert);

    showVariant();
}

void ConfigReviewView::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!m_loaded) {
        m_loaded = true;
        m_model->load();
    }
    fitHeight();
}

void ConfigReviewView::showVariant()
{
    const bool fromAnotherComputer = m_model->fromAnotherComputer();
    m_title->setText(fromAnotherComputer ? titleFromAnotherComputer : titleChanged);
    setWindowTitle(m_title->text());
    m_explanation->setText(fromAnotherComputer ? explanationFromAnotherComputer
            : m_model->nothingTrusted()        ? explanationNothingTrusted
                                               : explanationChanged);

    while (QLayoutItem *item = m_buttons->takeAt(0))
        delete item; // widget items only; the buttons themselves stay
    if (fromAnotherComputer) {
        m_buttons->addStretch(1);
        m_buttons->addWidget(m_laterButton);
        m_buttons->addWidget(m_useButton);
    } else {
        m_buttons->addWidget(m_keepButton);
        m_buttons->addStretch(1);
        m_buttons->addWidget(m_laterButton);
        m_buttons->addWidget(m_undoButton);
    }
    m_keepButton->setVisible(!fromAnotherComputer);
    m_undoButton->setVisible(!fromAnotherComputer);
    m_useButton->setVisible(fromAnotherComputer);
    m_useButton->setDefault(fromAnotherComputer);
    m_undoButton->setDefault(!fromAnotherComputer);
    fitHeight();
}

void ConfigReviewView::showChanges()
{
    while (QLayoutItem *item = m_changesLayout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const QString &change : m_model->changes()) {
        QWidget *row = BulletLabelStyle::makeLabel(QStringLiteral("circle.fill"), change, m_changesBox);
        m_changesLayout->addWidget(row);
        // Shown now rather than on the next event-loop pass, so the height below counts it.
        row->show();
    }
    fitHeight();
}

void ConfigReviewView::showResult()
{
    m_result->setText(m_model->result().value_or(QString()));
    m_result->setVisible(m_model->result().has_value());
    fitHeight();
}

void ConfigReviewView::showError()
{
    m_error->setText(m_model->errorMessage().value_or(QString()));
    m_error->setVisible(m_model->errorMessage().has_value());
    fitHeight();
}

void ConfigReviewView::showKeepAlert()
{
    if (!m_model->confirmingKeep())
        return;
    auto *alert = new QMessageBox(this);
    alert->setObjectName(QStringLiteral("keepAlert"));
    alert->setWindowModality(Qt::WindowModal);
    alert->setIcon(QMessageBox::Warning);
    alert->setText(QStringLiteral("Keep changes Vellmir didn't make?"));
    alert->setInformativeText(QStringLiteral("Only keep them if you made them yourself, for example by editing "
                                             "Vellmir's files by hand. Backups will then follow them."));
    QPushButton *cancel = alert->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    cancel->setObjectName(QStringLiteral("keepAlertCancel"));
    QPushButton *keep = alert->addButton(QStringLiteral("Keep Changes"), QMessageBox::DestructiveRole);
    keep->setObjectName(QStringLiteral("keepAlertKeep"));
    alert->setEscapeButton(cancel);
    alert->setDefaultButton(cancel);
    connect(alert, &QMessageBox::finished, this, [this, alert, keep] {
        alert->deleteLater();
        if (alert->clickedButton() == keep)
            m_model->keep();
        else
            m_model->cancelKeep();
    });
    alert->open();
}

void ConfigReviewView::fitHeight()
{
    // The width is fixed; the height follows the wrapped content, as far as the screen allows.
    // Beyond that the content scrolls, with room kept for a scroll bar.
    m_layout->invalidate();
    layout()->invalidate();
    const int scrollBar = m_scroll->verticalScrollBar()->sizeHint().width();
    const auto contentHeight = [this](int width) {
        return m_layout->hasHeightForWidth() ? m_layout->totalHeightForWidth(width)
                                             : m_layout->totalSizeHint().height();
    };
    const QMargins margins = layout()->contentsMargins();
    const int chrome = margins.top() + margins.bottom() + layout()->spacing() + m_buttons->sizeHint().height();
    QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    // Room for the window manager's frame.
    const int largest = (screen ? screen->availableGeometry().height() : 600) - 48;
    int height = contentHeight(sheetWidth) + chrome;
    if (height > largest)
        height = std::min(contentHeight(sheetWidth - scrollBar) + chrome, largest);
    setFixedHeight(height);
    // A sheet that grew once it was placed keeps its buttons on the screen.
    if (isVisible() && screen) {
        const QRect available = screen->availableGeometry();
        const int frame = frameGeometry().height() - geometry().height();
        const int top = std::max(available.top(), std::min(y(), available.bottom() + 1 - height - frame));
        if (top != y())
            move(x(), top);
    }
}

} // namespace vellmir

#include "restore/BackupExplorerView.h"

#include "kit/PathLabel.h"
#include "kit/StatusStyle.h"
#include "restore/RestoreKit.h"

#include <QEnterEvent>
#include <QFontDatabase>
#include <QGraphicsOpacityEffect>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QProgressBar>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStyleOptionFocusRect>
#include <QToolButton>

namespace vellmir {

PlainRowButton::PlainRowButton(QWidget *parent)
    : QAbstractButton(parent)
{
    setFocusPolicy(Qt::TabFocus);
}

QSize PlainRowButton::sizeHint() const
{
    return layout() ? layout()->sizeHint() : QAbstractButton::sizeHint();
}

QSize PlainRowButton::minimumSizeHint() const
{
    return layout() ? layout()->minimumSize() : QAbstractButton::minimumSizeHint();
}

void PlainRowButton::paintEvent(QPaintEvent *)
{
    // The face is the child widgets; only keyboard focus needs drawing.
    if (!hasFocus())
        return;
    QPainter painter(this);
    QStyleOptionFocusRect option;
    option.initFrom(this);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
}

namespace {

// A row that tells its explorer when the pointer enters and leaves it.
class EntryRow : public QWidget {
public:
    EntryRow(BackupExplorerModel *model, QString id, QWidget *parent)
        : QWidget(parent)
        , m_model(model)
        , m_id(std::move(id))
    {
        setAttribute(Qt::WA_Hover);
    }

protected:
    void enterEvent(QEnterEvent *event) override
    {
        m_model->setHoveredID(m_id);
        QWidget::enterEvent(event);
    }
    void leaveEvent(QEvent *event) override
    {
        if (m_model->hoveredID() == m_id)
            m_model->setHoveredID(std::nullopt);
        QWidget::leaveEvent(event);
    }

private:
    BackupExplorerModel *m_model;
    QString m_id;
};

// A symbol drawn in the given mode, whatever the row's state.
class SymbolLabel : public QWidget {
public:
    SymbolLabel(const QIcon &icon, bool dimmed, QWidget *parent)
        : QWidget(parent)
        , m_icon(icon)
        , m_mode(dimmed ? QIcon::Disabled : QIcon::Normal)
    {
        const int side = fontMetrics().height();
        setFixedSize(side, side);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        m_icon.paint(&painter, rect(), Qt::AlignCenter, m_mode);
    }

private:
    QIcon m_icon;
    QIcon::Mode m_mode;
};

QLabel *secondaryLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    StatusStyle::applyTone(*label, StatusTone::secondary);
    return label;
}

} // namespace

BackupExplorerView::BackupExplorerView(const QString &directory, ProposedBackupSheetModel *sheet, QWidget *parent)
    : QWidget(parent)
    , m_model(new BackupExplorerModel(directory, sheet, this))
{
    setObjectName(QStringLiteral("explorer:") + directory);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    m_pages = new QStackedWidget(this);
    m_pages->setObjectName(QStringLiteral("explorerPages"));
    layout->addWidget(m_pages);

    auto *loading = new QWidget(m_pages);
    loading->setObjectName(QStringLiteral("scanningRow"));
    auto *loadingColumn = new QVBoxLayout(loading);
    auto *loadingRow = new QHBoxLayout;
    auto *spinner = new QProgressBar(loading);
    StatusStyle::nameProgress(*spinner, QStringLiteral("Loading"));
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setFixedSize(32, 8);
    loadingRow->addWidget(spinner);
    loadingRow->addWidget(secondaryLabel(QStringLiteral("Scanning\u2026"), loading));
    loadingRow->addStretch();
    loadingColumn->addLayout(loadingRow);
    loadingColumn->addStretch();
    m_pages->addWidget(loading);

    auto *empty = new QWidget(m_pages);
    empty->setObjectName(QStringLiteral("emptyRow"));
    auto *emptyColumn = new QVBoxLayout(empty);
    emptyColumn->addWidget(secondaryLabel(QStringLiteral("Empty"), empty));
    emptyColumn->addStretch();
    m_pages->addWidget(empty);

    auto *scroll = new QScrollArea(m_pages);
    scroll->setObjectName(QStringLiteral("entryList"));
    scroll->setAccessibleName(QStringLiteral("Folder contents"));
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_rows = new QWidget(scroll);
    m_rowLayout = new QVBoxLayout(m_rows);
    m_rowLayout->setSpacing(2);
    m_rowLayout->addStretch();
    scroll->setWidget(m_rows);
    m_pages->addWidget(scroll);

    connect(m_model, &BackupExplorerModel::loadingChanged, this, &BackupExplorerView::refresh);
    connect(m_model, &BackupExplorerModel::entriesChanged, this, &BackupExplorerView::rebuild);
    connect(m_model, &BackupExplorerModel::hoveredIDChanged, this, &BackupExplorerView::showHover);
    rebuild();
}

void BackupExplorerView::refresh()
{
    m_pages->setCurrentIndex(m_model->loading() ? 0 : m_model->entries().isEmpty() ? 1 : 2);
}

void BackupExplorerView::rebuild()
{
    m_toggles.clear();
    while (m_rowLayout->count() > 1) {
        QLayoutItem *item = m_rowLayout->takeAt(0);
        if (QWidget *widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
    int index = 0;
    for (const BackupEntry &entry : m_model->entries())
        m_rowLayout->insertWidget(index++, row(entry));
    showHover();
    refresh();
}

QWidget *BackupExplorerView::row(const BackupEntry &entry)
{
    auto *row = new EntryRow(m_model, entry.id, m_rows);
    row->setObjectName(QStringLiteral("row:") + entry.path);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->setSpacing(8);
    const StatusTone tone = entry.isExcluded ? StatusTone::secondary : StatusTone::normal;

    // The open button lies over the row's face rather than holding it, so a file's row, which
    // cannot be opened, keeps the colours of an included entry instead of a disabled button's.
    auto *cell = new QGridLayout;
    auto *faceWidget = new QWidget(row);
    auto *face = new QHBoxLayout(faceWidget);
    face->setContentsMargins(0, 0, 0, 0);
    const QString symbol = entry.isDirectory ? QStringLiteral("folder") : QStringLiteral("doc");
    auto *icon = new SymbolLabel(restorekit::icon(symbol), entry.isExcluded, faceWidget);
    icon->setObjectName(QStringLiteral("iconLabel"));
    icon->setProperty("symbol", symbol);
    face->addWidget(icon);
    auto *name = new PathLabel(entry.name, faceWidget);
    name->setObjectName(QStringLiteral("nameLabel"));
    QFont nameFont = name->font();
    nameFont.setStrikeOut(entry.isExcluded);
    name->setFont(nameFont);
    StatusStyle::applyTone(*name, tone);
    // As wide as the name, narrower (elided) only when the row is short of room.
    name->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    face->addWidget(name);
    if (entry.isExcluded) {
        auto *excluded = new QLabel(QStringLiteral("excluded"), faceWidget);
        excluded->setObjectName(QStringLiteral("excludedLabel"));
        excluded->setFont(StatusStyle::captionFont(excluded->font()));
        StatusStyle::applyTone(*excluded, StatusTone::warning);
        face->addWidget(excluded);
    }
    face->addStretch(1);
    auto *size = secondaryLabel(BackupExplorerModel::sizeText(entry), faceWidget);
    size->setObjectName(QStringLiteral("sizeLabel"));
    QFont digits = size->font();
    digits.setFamilies(QFontDatabase::systemFont(QFontDatabase::FixedFont).families());
    size->setFont(digits);
    face->addWidget(size);
    auto *button = new PlainRowButton(row);
    button->setObjectName(QStringLiteral("openButton"));
    button->setEnabled(BackupExplorerModel::canOpen(entry));
    button->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    connect(button, &QAbstractButton::clicked, m_model, [model = m_model, entry] { model->open(entry); });
    cell->addWidget(faceWidget, 0, 0);
    cell->addWidget(button, 0, 0);
    layout->addLayout(cell, 1);

    auto *toggle = new QToolButton(row);
    toggle->setObjectName(QStringLiteral("toggleButton"));
    toggle->setAutoRaise(true);
    const StatusTone toggleTone = entry.isExcluded ? StatusTone::success : StatusTone::failure;
    toggle->setIcon(StatusStyle::symbolIcon(
        BackupExplorerModel::toggleSymbol(entry), StatusStyle::color(toggleTone, palette()), 16));
    toggle->setProperty("symbol", BackupExplorerModel::toggleSymbol(entry));
    toggle->setToolTip(m_model->toggleHelp(entry));
    toggle->setAccessibleName(BackupExplorerModel::toggleAccessibleName(entry));
    toggle->setEnabled(m_model->isToggleable(entry));
    toggle->setGraphicsEffect(new QGraphicsOpacityEffect(toggle));
    // Queued: toggling rebuilds the rows, this button's included.
    connect(
        toggle, &QToolButton::clicked, m_model, [model = m_model, entry] { model->toggleExclusion(entry); },
        Qt::QueuedConnection);
    layout->addWidget(toggle);
    m_toggles.insert(entry.id, toggle);
    return row;
}

void BackupExplorerView::showHover()
{
    for (const BackupEntry &entry : m_model->entries()) {
        if (QToolButton *toggle = m_toggles.value(entry.id)) {
            if (auto *effect = qobject_cast<QGraphicsOpacityEffect *>(toggle->graphicsEffect()))
                effect->setOpacity(m_model->toggleOpacity(entry));
        }
    }
}

} // namespace vellmir

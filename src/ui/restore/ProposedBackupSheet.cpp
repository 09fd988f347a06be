#include "restore/ProposedBackupSheet.h"

#include "kit/PathLabel.h"
#include "kit/PlainText.h"
#include "kit/StatusStyle.h"
#include "restore/BackupExplorerView.h"
#include "restore/RestoreKit.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace vellmir {

ProposedBackupSheet::ProposedBackupSheet(const QStringList &sources, const QStringList &excludes, QWidget *parent)
    : QDialog(parent)
    , m_model(new ProposedBackupSheetModel(sources, excludes, this))
{
    setObjectName(QStringLiteral("proposedBackupSheet"));
    setWindowTitle(QStringLiteral("Proposed Backup"));
    setWindowModality(Qt::WindowModal);
    setMinimumSize(640, 540);

    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(8);

    // The navigation bar: the way back, and where the user is.
    auto *bar = new QHBoxLayout;
    m_back = new QToolButton(this);
    m_back->setObjectName(QStringLiteral("backButton"));
    m_back->setAutoRaise(true);
    m_back->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_back->setIcon(style()->standardIcon(QStyle::SP_ArrowBack));
    bar->addWidget(m_back);
    m_title = new QLabel(this);
    m_title->setObjectName(QStringLiteral("titleLabel"));
    m_title->setTextFormat(Qt::PlainText);
    m_title->setAlignment(Qt::AlignCenter);
    m_title->setFont(StatusStyle::headlineFont(m_title->font()));
    bar->addWidget(m_title, 1);
    // Keeps the title centred against the back button.
    auto *balance = new QWidget(this);
    balance->setFixedWidth(m_back->sizeHint().width());
    bar->addWidget(balance);
    layout->addLayout(bar);

    m_stack = new QStackedWidget(this);
    m_stack->setObjectName(QStringLiteral("navigationStack"));
    if (m_model->showsFolderList())
        m_stack->addWidget(folderList());
    else
        m_stack->addWidget(new BackupExplorerView(m_model->rootDirectory(), m_model, m_stack));
    layout->addWidget(m_stack, 1);

    auto *buttons = new QDialogButtonBox(this);
    m_done = buttons->addButton(QStringLiteral("Done"), QDialogButtonBox::RejectRole);
    m_done->setObjectName(QStringLiteral("doneButton"));
    m_done->setAutoDefault(false);
    layout->addWidget(buttons);

    // Every change is already in the model, so closing by any means keeps it.
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::accept);
    connect(m_back, &QToolButton::clicked, m_model, &ProposedBackupSheetModel::goBack);
    connect(m_model, &ProposedBackupSheetModel::pathChanged, this, &ProposedBackupSheet::syncPages);
    showHeader();
}

QWidget *ProposedBackupSheet::folderList()
{
    auto *scroll = new QScrollArea(m_stack);
    scroll->setObjectName(QStringLiteral("folderList"));
    scroll->setAccessibleName(QStringLiteral("Folders"));
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto *rows = new QWidget(scroll);
    auto *column = new QVBoxLayout(rows);
    column->setSpacing(2);
    for (const QString &source : m_model->sources()) {
        auto *row = new PlainRowButton(rows);
        row->setObjectName(QStringLiteral("folder:") + source);
        auto *face = new QHBoxLayout(row);
        face->setContentsMargins(4, 4, 4, 4);
        auto *icon = new QLabel(row);
        const int side = icon->fontMetrics().height();
        icon->setPixmap(restorekit::icon(QStringLiteral("folder")).pixmap(side, side));
        face->addWidget(icon);
        face->addWidget(new PathLabel(source, row), 1);
        face->addStretch();
        connect(row, &QAbstractButton::clicked, m_model, [model = m_model, source] { model->open(source); });
        column->addWidget(row);
    }
    column->addStretch();
    scroll->setWidget(rows);
    return scroll;
}

void ProposedBackupSheet::setLister(const BackupLister &lister)
{
    m_lister = lister;
    for (BackupExplorerView *view : explorers())
        view->model()->setLister(lister);
}

BackupExplorerView *ProposedBackupSheet::currentExplorer() const
{
    return qobject_cast<BackupExplorerView *>(m_stack->currentWidget());
}

QList<BackupExplorerView *> ProposedBackupSheet::explorers() const
{
    QList<BackupExplorerView *> views;
    for (int i = 0; i < m_stack->count(); ++i) {
        if (auto *view = qobject_cast<BackupExplorerView *>(m_stack->widget(i)))
            views.append(view);
    }
    return views;
}

void ProposedBackupSheet::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (m_started)
        return;
    m_started = true;
    if (BackupExplorerView *root = currentExplorer())
        root->appear();
}

// Page i + 1 of the stack shows path()[i]; pages past the common prefix go, missing ones come.
void ProposedBackupSheet::syncPages()
{
    const QStringList &path = m_model->path();
    int keep = 1;
    while (keep < m_stack->count() && keep - 1 < path.size()) {
        auto *view = qobject_cast<BackupExplorerView *>(m_stack->widget(keep));
        if (!view || view->model()->directory() != path.at(keep - 1))
            break;
        ++keep;
    }
    const bool popped = keep < m_stack->count();
    while (m_stack->count() > keep) {
        QWidget *page = m_stack->widget(m_stack->count() - 1);
        m_stack->removeWidget(page);
        page->deleteLater();
    }
    const bool pushed = keep - 1 < path.size();
    for (qsizetype i = keep - 1; i < path.size(); ++i) {
        auto *view = new BackupExplorerView(path.at(i), m_model, m_stack);
        if (m_lister)
            view->model()->setLister(m_lister);
        m_stack->addWidget(view);
    }
    m_stack->setCurrentIndex(m_stack->count() - 1);
    showHeader();
    // A directory shown again is listed again, so its sizes reflect exclusions made deeper down.
    if ((pushed || popped) && m_started) {
        if (BackupExplorerView *top = currentExplorer())
            top->appear();
    }
}

void ProposedBackupSheet::showHeader()
{
    const QStringList &path = m_model->path();
    if (path.isEmpty()) {
        m_title->setText(m_model->showsFolderList() ? QStringLiteral("Proposed Backup")
                                                    : ProposedBackupSheetModel::title(m_model->rootDirectory()));
    } else {
        m_title->setText(ProposedBackupSheetModel::title(path.constLast()));
    }
    m_back->setVisible(!path.isEmpty());
    // The back control names where it leads, as a navigation stack's does.
    if (path.size() > 1)
        m_back->setText(plainButtonText(ProposedBackupSheetModel::title(path.at(path.size() - 2))));
    else if (!path.isEmpty())
        m_back->setText(m_model->showsFolderList()
                ? QStringLiteral("Proposed Backup")
                : plainButtonText(ProposedBackupSheetModel::title(m_model->rootDirectory())));
}

} // namespace vellmir

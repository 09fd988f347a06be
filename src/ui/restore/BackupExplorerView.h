#pragma once

#include "restore/BackupExplorerModel.h"

#include <QAbstractButton>
#include <QHash>
#include <QWidget>

class QStackedWidget;
class QToolButton;
class QVBoxLayout;

namespace vellmir {

// A button without chrome whose face is the widgets laid out in it: the whole row answers a
// click, as a list row does.
class PlainRowButton : public QAbstractButton {
    Q_OBJECT

public:
    explicit PlainRowButton(QWidget *parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// One folder's listing in the proposed-backup sheet, which makes one for each folder the user
// opens. It renders its BackupExplorerModel and forwards the rows' clicks and the pointer to it;
// the sheet calls appear() whenever it shows it.
class BackupExplorerView : public QWidget {
    Q_OBJECT

public:
    BackupExplorerView(const QString &directory, ProposedBackupSheetModel *sheet, QWidget *parent = nullptr);

    BackupExplorerModel *model() const { return m_model; }
    void appear() { m_model->appear(); }

    // The row of one entry (see rebuild()).
    QWidget *row(const BackupEntry &entry);

private:
    void refresh();
    void rebuild();
    void showHover();

    BackupExplorerModel *m_model;
    QStackedWidget *m_pages;
    QWidget *m_rows;
    QVBoxLayout *m_rowLayout;
    QHash<QString, QToolButton *> m_toggles; // by entry id
};

} // namespace vellmir

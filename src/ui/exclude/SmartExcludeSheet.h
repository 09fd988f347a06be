#pragma once

#include "exclude/SmartExcludeSheetModel.h"

#include <QDialog>

class QGroupBox;
class QLabel;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

namespace vellmir {

// "Smart Exclude": a window-modal sheet in which the user turns suggested folders into exclude
// patterns of one destination. Open it with open(); it scans when first shown, and on "Add
// Selected" hands the new patterns to the callback and closes. It never writes a destination.
// It renders its SmartExcludeSheetModel and forwards the user's actions to it.
class SmartExcludeSheet : public QDialog {
    Q_OBJECT

public:
    SmartExcludeSheet(const QStringList &sources, const QStringList &existingExcludes,
        SmartExcludeSheetModel::ApplyCallback onApply, SmartExcludeServices services = SmartExcludeServices::standard(),
        QWidget *parent = nullptr);

    SmartExcludeSheetModel *model() const { return m_model; }

    void reject() override;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QWidget *buildHeader();
    QWidget *buildAIControls();
    QWidget *buildContent();
    void rebuildRules();
    void rebuildAI();
    void rebuildIssues();
    void refresh();
    void showApplyError();

    SmartExcludeSheetModel *m_model;
    QPushButton *m_toggleAll;
    QLabel *m_rulesSize;
    QWidget *m_reviewProgress;
    QPushButton *m_stopReview;
    QPushButton *m_review;
    QPushButton *m_refreshAvailability;
    QLabel *m_aiNote;
    QLabel *m_aiStatus;
    QVBoxLayout *m_issues;
    QStackedWidget *m_content;
    QLabel *m_scanningText;
    QWidget *m_form;
    QGroupBox *m_rulesSection;
    QVBoxLayout *m_ruleRows;
    QGroupBox *m_aiSection;
    QVBoxLayout *m_aiRows;
    QPushButton *m_cancel;
    QPushButton *m_add;
    QMessageBox *m_alert = nullptr;
};

} // namespace vellmir

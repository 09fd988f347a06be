#pragma once

#include "config/Destination.h"
#include "protection/RecoveryKitSheet.h" // QPointer's conversion in recoveryKitSheet() needs the whole type

#include <QPointer>
#include <QWidget>
#include <array>

class QGroupBox;
class QLabel;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace vellmir {

class MessageLabel;
class PathLabel;
class ProtectionDetailsModel;
class StripedList;

// How well one destination protects its data, in three sections of the destination pane:
// "Coverage and recovery" (what the folders and exclusions cover, the last verified restore, a
// test restore and the recovery kit), "Repository integrity" (the last check and a new one) and
// "Storage and cost estimate" (the last measurement, its monthly cost and a new measurement).
// It renders a ProtectionDetailsModel, re-reading the health record while shown, and forwards
// its buttons; the last section ends with the busy indicator and message of all four actions.
class ProtectionDetails : public QWidget {
    Q_OBJECT

public:
    explicit ProtectionDetails(const Destination &destination, QWidget *parent = nullptr);
    // For tests: a model over another health folder, restic or folder walk. Takes ownership.
    explicit ProtectionDetails(ProtectionDetailsModel *model, QWidget *parent = nullptr);
    ~ProtectionDetails() override;

    ProtectionDetailsModel &model() const { return *m_model; }
    // The pane's destination was edited; a new repository string re-reads the record at once.
    void setDestination(const Destination &destination);
    // The recovery kit sheet while it is shown.
    RecoveryKitSheet *recoveryKitSheet() const { return m_recoveryKit; }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void buildCoverage(QVBoxLayout *layout);
    void buildIntegrity(QVBoxLayout *layout);
    void buildStorage(QVBoxLayout *layout);
    void placeFeedback();
    void showRecoveryKit();

    void refreshDestination();
    void refreshHealth();
    void refreshAudit();
    void refreshWorking();
    void refreshMessage();

    ProtectionDetailsModel *m_model;
    QPointer<RecoveryKitSheet> m_recoveryKit;

    // Coverage and recovery
    QPushButton *m_reviewCoverage = nullptr;
    QWidget *m_auditDetails = nullptr;
    QLabel *m_readableFiles = nullptr;
    QLabel *m_excludedEntries = nullptr;
    QWidget *m_issues = nullptr;
    QVBoxLayout *m_issueRows = nullptr;
    QLabel *m_issueLimitNote = nullptr;
    QToolButton *m_foldersToggle = nullptr;
    StripedList *m_folders = nullptr;
    QToolButton *m_exclusionsToggle = nullptr;
    QWidget *m_exclusionsContent = nullptr;
    StripedList *m_exclusions = nullptr;
    QLabel *m_lastVerifiedRestore = nullptr;
    PathLabel *m_verifiedSelection = nullptr;
    QPushButton *m_exportKit = nullptr;
    QPushButton *m_testRecovery = nullptr;

    // Repository integrity
    QLabel *m_lastCheck = nullptr;
    QLabel *m_integrityMessage = nullptr;
    QLabel *m_checkNote = nullptr;
    QPushButton *m_check = nullptr;

    // Storage and cost estimate
    QWidget *m_usage = nullptr;
    QLabel *m_referencedData = nullptr;
    QLabel *m_measured = nullptr;
    QLabel *m_change = nullptr;
    QWidget *m_estimateRow = nullptr;
    QLabel *m_estimate = nullptr;
    QLabel *m_rate = nullptr;
    QLabel *m_budgetWarning = nullptr;
    QPushButton *m_measure = nullptr;
    QWidget *m_busy = nullptr;
    std::array<QVBoxLayout *, 3> m_sections {}; // by ProtectionDetailsModel::Section
    QVBoxLayout *m_feedbackSection = nullptr; // holding m_busy and m_message
    MessageLabel *m_message = nullptr;
};

} // namespace vellmir

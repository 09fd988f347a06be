#pragma once

#include "exclude/ExcludeCandidate.h"
#include "exclude/ExcludeReviewModel.h"
#include "util/Receiver.h"
#include "util/Workers.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace vellmir {

// What the smart-exclude sheet scans, asks and shows with. The sheet uses standard(); tests
// hand in scripted scans and a scripted model.
struct SmartExcludeServices {
    // The rule suggestions for the sources: cloud-sync, home-data, app-data and rule-scan
    // candidates, in that order. Runs on a worker thread and never fails.
    std::function<QList<ExcludeCandidate>(const QStringList &sources)> detect;
    // The evidence scan behind the AI review and the recheck before applying.
    ExcludeEvidenceScanner evidenceScanner;
    // The model that reviews the evidence; one per review run.
    std::function<std::shared_ptr<ExcludeModelProviding>()> provider;
    std::function<ExcludeAIAvailability()> availability;
    // Shows a folder selected in the file manager.
    std::function<void(const QString &path)> reveal;

    static SmartExcludeServices standard();
};

// The logic of the smart-exclude sheet: the rule suggestions found when it opens, their
// selection, the AI review it owns, and the one apply step that rechecks approved AI folders
// and hands every new pattern to the caller, or nothing at all.
//
// Lives on the GUI thread. The initial scan and the recheck run on worker threads; what they
// post back is dropped once the model is gone.
class SmartExcludeSheetModel : public QObject {
    Q_OBJECT

public:
    using ApplyCallback = std::function<void(const QStringList &patterns)>;
    enum class Content { scanning, empty, list };

    SmartExcludeSheetModel(QStringList sources, QStringList existingExcludes, ApplyCallback onApply,
        SmartExcludeServices services = SmartExcludeServices::standard(), QObject *parent = nullptr);
    ~SmartExcludeSheetModel() override;

    const QStringList &sources() const { return m_sources; }
    const QStringList &existingExcludes() const { return m_existingExcludes; }
    const QList<ExcludeCandidate> &candidates() const { return m_candidates; }
    // Why folders the scan found cannot be offered (no pattern can name them), one sentence each.
    const QStringList &unofferedNotes() const { return m_unoffered; }
    // Ids of the selected rule suggestions.
    const QSet<QString> &selected() const { return m_selected; }
    bool isScanning() const { return m_scanning; }
    bool isApplying() const { return m_applying; }
    const std::optional<QString> &applyError() const { return m_applyError; }
    void clearApplyError();
    ExcludeReviewModel *aiReview() const { return m_aiReview; }

    // Starts the scan for rule suggestions; the sheet calls it once, when it is shown.
    void initialScan();

    // Rule selection.
    bool isSelected(const QString &id) const { return m_selected.contains(id); }
    void setSelected(const QString &id, bool on);
    bool allSelected() const;
    // Deselects every rule when all are selected, otherwise selects them all.
    void toggleAllRules();

    // Texts of the sheet.
    QString selectedSizeText() const;
    static QString detail(const ExcludeCandidate &candidate);
    QString toggleAllTitle() const;
    QString rulesText() const;
    QString scanningText() const;
    QString rulesHeader() const;
    QString aiHeader() const;
    // Whether the header shows the select-all button and the rules size.
    bool showsRuleControls() const;
    Content content() const;
    QString addButtonTitle() const;
    bool canAdd() const;

    // Rechecks the approved AI folders, then hands their patterns and the selected rule
    // patterns, without duplicates and sorted, to the callback and asks to be dismissed.
    void applySelected();
    // The sheet's Cancel and its closing: stops the AI review and the apply step.
    void cancel();

    // The AI review section.
    QString reviewButtonTitle() const;
    bool canStartReview() const;
    void startReview();
    void stopReview();
    void refreshAvailability();
    QString aiNote() const;
    QString aiStatus() const;
    static QString aiStatus(const ExcludeReviewState &state, const ExcludeDiscovery &discovery,
        const QList<ExcludeAssessment> &assessments);
    // Approves or withdraws one AI suggestion; a folder the review did not suggest is never approved.
    void setAISelected(const ExcludeAssessment &assessment, bool on);
    static QString verdict(const ExcludeAssessment &assessment);
    static QString evidenceTitle(const ExcludeEvidence &evidence);
    // The lines of the evidence disclosure, top to bottom.
    static QStringList evidenceLines(const ExcludeEvidence &evidence);
    void reveal(const QString &path) const;

    static const QString privacyNote;
    static const QString rulesFooter;
    static const QString aiFooter;

Q_SIGNALS:
    void candidatesChanged();
    void selectedChanged();
    void scanningChanged();
    void applyingChanged();
    void applyErrorChanged();
    // A successful apply is done: the sheet should close.
    void dismissRequested();

private:
    void deliverScan(const QList<ExcludeCandidate> &found);
    void finishApply(
        quint64 generation, const std::optional<QStringList> &aiPatterns, const std::optional<QString> &error);
    void setApplying(bool applying);

    QStringList m_sources;
    QStringList m_existingExcludes;
    ApplyCallback m_onApply;
    SmartExcludeServices m_services;
    QList<ExcludeCandidate> m_candidates;
    QStringList m_unoffered;
    QSet<QString> m_selected;
    bool m_scanning = true;
    bool m_scanStarted = false;
    bool m_applying = false;
    std::optional<QString> m_applyError;
    std::optional<std::stop_source> m_applyTask;
    quint64 m_applyGeneration = 0;
    ExcludeReviewModel *m_aiReview;
    std::shared_ptr<Receiver<SmartExcludeSheetModel>> m_receiver;
    // Its jobs read copies only: asked to stop when the model goes, they end without holding it.
    Workers m_workers;
};

} // namespace vellmir

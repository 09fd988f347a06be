#include "exclude/SmartExcludeSheet.h"
#include "SmartExcludeFixture.h"
#include "TestSupport.h"
#include "kit/Screenshot.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QtTest>

using namespace vellmir;
using test::candidate;
using test::eligibleEvidence;
using Source = ExcludeCandidate::Source;

// The smart-exclude sheet as the user sees it, offscreen, one screenshot per state.
class SmartExcludeSheetTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::SmartExcludeWorld> m_world;

    std::unique_ptr<SmartExcludeSheet> sheet(const QStringList &sources = { QStringLiteral("/home/me/Projects") })
    {
        auto dialog
            = std::make_unique<SmartExcludeSheet>(sources, QStringList {}, m_world->callback(), m_world->services());
        dialog->resize(700, 640);
        dialog->show();
        return dialog;
    }
    std::unique_ptr<SmartExcludeSheet> scanned()
    {
        auto dialog = sheet();
        if (!QTest::qWaitFor([&] { return !dialog->model()->isScanning(); }))
            qFatal("the scan never delivered");
        return dialog;
    }
    void review(SmartExcludeSheet &dialog)
    {
        ExcludeDiscovery discovery;
        ExcludeEvidence notes = eligibleEvidence(QStringLiteral("/home/me/Projects/notes"), 300);
        notes.markers.clear();
        notes.recovery.reset();
        discovery.candidates = { eligibleEvidence(QStringLiteral("/home/me/Projects/app/build"), 2'400'000), notes };
        discovery.inspectedEntries = 1200;
        discovery.issues = { QStringLiteral("Scan limit reached after 30000 entries.") };
        m_world->setDiscovery(discovery);
        part<QPushButton>(dialog, "reviewButton")->click();
        QTRY_VERIFY(dialog.model()->aiReview()->state() == ExcludeReviewState::complete());
    }
    template <typename T> static T *part(const QWidget &dialog, const char *name)
    {
        T *found = dialog.findChild<T *>(QLatin1String(name));
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }
    static QList<QWidget *> rows(const QWidget &dialog, const char *name)
    {
        return dialog.findChildren<QWidget *>(QLatin1String(name));
    }
    static QString text(const QWidget &dialog, const char *name) { return part<QLabel>(dialog, name)->text(); }
    static void shoot(QWidget &dialog, const char *state)
    {
        // Widgets added or shown just now are laid out by posted events.
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QVERIFY(
            saveScreenshot(dialog, test::screenshotPath(QStringLiteral("SmartExcludeSheet-") + QLatin1String(state))));
    }

private Q_SLOTS:
    void init()
    {
        m_world = std::make_unique<test::SmartExcludeWorld>();
        m_world->provider = std::make_shared<test::ScriptedExcludeModel>(
            test::keeping({ QStringLiteral("/home/me/Projects/notes") }));
    }
    void cleanup()
    {
        m_world->shared->scanGate.open();
        m_world->shared->evidenceGate.open();
        m_world.reset();
    }

    void scanningShowsOnlyTheTitleAndProgress()
    {
        m_world->shared->scanGate.close();
        auto dialog = sheet();
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Smart Exclude"));
        QVERIFY(dialog->windowModality() == Qt::WindowModal);
        QVERIFY(dialog->minimumWidth() >= 680 && dialog->minimumHeight() >= 600);
        QCOMPARE(
            part<QStackedWidget>(*dialog, "content")->currentWidget()->objectName(), QStringLiteral("scanningPage"));
        QCOMPARE(text(*dialog, "scanningText"), QStringLiteral("Scanning 1 folder…"));
        QVERIFY(!part<QWidget>(*dialog, "toggleAllButton")->isVisible());
        QVERIFY(!part<QWidget>(*dialog, "rulesSizeLabel")->isVisible());
        QVERIFY(!part<QPushButton>(*dialog, "addButton")->isEnabled());
        QVERIFY(!part<QPushButton>(*dialog, "reviewButton")->isEnabled());
        shoot(*dialog, "scanning");
        m_world->shared->scanGate.open();
        QTRY_VERIFY(!dialog->model()->isScanning());
    }

    void nothingFoundShowsTheEmptyPanel()
    {
        auto dialog = scanned();
        QCOMPARE(part<QStackedWidget>(*dialog, "content")->currentWidget()->objectName(), QStringLiteral("emptyPage"));
        QCOMPARE(text(*dialog, "emptyTitle"), QStringLiteral("Nothing to exclude"));
        QCOMPARE(text(*dialog, "emptyText"),
            QStringLiteral("No known regenerable folders were found in the selected sources."));
        QVERIFY(!part<QWidget>(*dialog, "toggleAllButton")->isVisible());
        QVERIFY(!part<QWidget>(*dialog, "rulesSizeLabel")->isVisible());
        QCOMPARE(part<QPushButton>(*dialog, "reviewButton")->text(), QStringLiteral("Review Folders"));
        QCOMPARE(text(*dialog, "aiNote"), SmartExcludeSheetModel::privacyNote);
        shoot(*dialog, "empty");
    }

    void rulesListPreselectsAndTogglesAll()
    {
        m_world->setFound({ candidate(QStringLiteral("/home/me/Drop\nbox"), 5'000'000, false, Source::cloud),
            candidate(QStringLiteral("node_modules"), 12'000'000, true, Source::rule, 3) });
        auto dialog = scanned();
        const QList<QWidget *> list = rows(*dialog, "ruleRow");
        QCOMPARE(list.size(), 2);
        QCOMPARE(part<QLabel>(*list[0], "rulePattern")->text(), QStringLiteral("node_modules"));
        QCOMPARE(part<QLabel>(*list[0], "ruleDetail")->text(), QStringLiteral("3 found · 12 MB"));
        QVERIFY(part<QCheckBox>(*list[0], "ruleToggle")->isChecked());
        QCOMPARE(part<QLabel>(*list[1], "badge")->text(), QStringLiteral("Cloud"));
        QCOMPARE(part<QLabel>(*list[1], "rulePattern")->text(), QStringLiteral("/home/me/Drop\u27E8U+000A\u27E9box"));
        QCOMPARE(part<QLabel>(*list[1], "ruleDetail")->text(), QStringLiteral("cloud-synced · 5 MB"));
        QVERIFY(!part<QCheckBox>(*list[1], "ruleToggle")->isChecked());
        QCOMPARE(part<QGroupBox>(*dialog, "rulesSection")->title(), QStringLiteral("2 suggestions"));
        QVERIFY(!part<QWidget>(*dialog, "aiSection")->isVisible());
        auto *toggleAll = part<QPushButton>(*dialog, "toggleAllButton");
        QCOMPARE(toggleAll->text(), QStringLiteral("Select All Rules"));
        QCOMPARE(text(*dialog, "rulesSizeLabel"), QStringLiteral("Rules: 12 MB"));
        QVERIFY(part<QPushButton>(*dialog, "addButton")->isEnabled());
        shoot(*dialog, "rules");

        toggleAll->click();
        QCOMPARE(toggleAll->text(), QStringLiteral("Deselect Rules"));
        QVERIFY(part<QCheckBox>(*list[1], "ruleToggle")->isChecked());
        QCOMPARE(text(*dialog, "rulesSizeLabel"), QStringLiteral("Rules: 17 MB"));
        toggleAll->click();
        QVERIFY(!part<QCheckBox>(*list[0], "ruleToggle")->isChecked());
        QCOMPARE(text(*dialog, "rulesSizeLabel"), QStringLiteral("Rules: Zero KB"));
        QVERIFY(!part<QPushButton>(*dialog, "addButton")->isEnabled());
        shoot(*dialog, "rules-none");

        part<QCheckBox>(*list[1], "ruleToggle")->click();
        QVERIFY(dialog->model()->isSelected(QStringLiteral("/home/me/Drop\nbox")));
    }

    void unavailableModelExplainsAndBlocksTheStart()
    {
        m_world->setAvailability(ExcludeAIAvailability::unavailable(QStringLiteral("No on-device model here.")));
        auto dialog = scanned();
        QCOMPARE(text(*dialog, "aiNote"), QStringLiteral("No on-device model here."));
        QVERIFY(!part<QPushButton>(*dialog, "reviewButton")->isEnabled());
        auto *refresh = part<QPushButton>(*dialog, "refreshAvailabilityButton");
        QVERIFY(refresh->isEnabled());
        shoot(*dialog, "unavailable");

        m_world->setAvailability(ExcludeAIAvailability::available());
        refresh->click();
        QVERIFY(part<QPushButton>(*dialog, "reviewButton")->isEnabled());
        QCOMPARE(text(*dialog, "aiNote"), SmartExcludeSheetModel::privacyNote);
    }

    void runningReviewShowsOnlyStop()
    {
        m_world->setFound({ candidate(QStringLiteral("build"), 10, true) });
        auto dialog = scanned();
        m_world->shared->evidenceGate.close();
        part<QPushButton>(*dialog, "reviewButton")->click();
        QVERIFY(part<QWidget>(*dialog, "reviewProgress")->isVisible());
        QVERIFY(part<QWidget>(*dialog, "stopReviewButton")->isVisible());
        QVERIFY(!part<QWidget>(*dialog, "reviewButton")->isVisible());
        QVERIFY(!part<QWidget>(*dialog, "refreshAvailabilityButton")->isVisible());
        QCOMPARE(text(*dialog, "aiStatus"), QStringLiteral("Inspecting nested folders and local metadata…"));
        QVERIFY(!part<QPushButton>(*dialog, "addButton")->isEnabled());
        shoot(*dialog, "reviewing");

        part<QPushButton>(*dialog, "stopReviewButton")->click();
        QCOMPARE(part<QPushButton>(*dialog, "reviewButton")->text(), QStringLiteral("Review Again"));
        QVERIFY(part<QWidget>(*dialog, "refreshAvailabilityButton")->isVisible());
        QCOMPARE(text(*dialog, "aiStatus"),
            QStringLiteral("Review cancelled. No new exclusions were added. You can retry."));
        QVERIFY(part<QPushButton>(*dialog, "addButton")->isEnabled());
    }

    void completedReviewRowsNeedIndividualApproval()
    {
        auto dialog = scanned();
        review(*dialog);
        QCOMPARE(text(*dialog, "aiStatus"),
            QStringLiteral("Review complete: 1 suggestions need your approval. Inspected 1200 entries."));
        QCOMPARE(part<QLabel>(*dialog, "aiIssue")->text(), QStringLiteral("Scan limit reached after 30000 entries."));
        QCOMPARE(part<QStackedWidget>(*dialog, "content")->currentWidget()->objectName(), QStringLiteral("listPage"));
        QCOMPARE(part<QGroupBox>(*dialog, "rulesSection")->title(), QStringLiteral("0 suggestions"));
        const QList<QWidget *> list = rows(*dialog, "aiRow");
        QCOMPARE(list.size(), 2);
        auto *suggested = part<QCheckBox>(*list[0], "aiToggle");
        auto *blocked = part<QCheckBox>(*list[1], "aiToggle");
        QVERIFY(!suggested->isChecked());
        QVERIFY(!blocked->isEnabled());
        QCOMPARE(part<QLabel>(*list[1], "aiVerdict")->text(),
            QStringLiteral("Recommendation: keep backed up · AI exclusion blocked"));
        QCOMPARE(part<QGroupBox>(*dialog, "aiSection")->title(),
            QStringLiteral("AI review: 1 suggestions · Zero KB selected"));
        QVERIFY(!part<QPushButton>(*dialog, "addButton")->isEnabled());
        shoot(*dialog, "review-complete");

        suggested->click();
        QVERIFY(dialog->model()->aiReview()->selected().contains(list[0]->property("evidenceID").toString()));
        QCOMPARE(part<QGroupBox>(*dialog, "aiSection")->title(),
            QStringLiteral("AI review: 1 suggestions · 2.4 MB selected"));
        QVERIFY(part<QPushButton>(*dialog, "addButton")->isEnabled());

        auto *details = part<QWidget>(*list[1], "evidenceDetails");
        QVERIFY(!details->isVisible());
        part<QToolButton>(*list[1], "evidenceToggle")->click();
        QVERIFY(details->isVisible());
        QStringList lines;
        for (QLabel *line : details->findChildren<QLabel *>(QStringLiteral("evidenceLine")))
            lines.append(line->text());
        QVERIFY(lines.contains(QStringLiteral("Evidence: No verified regeneration markers")));
        QVERIFY(lines.contains(QStringLiteral("Recovery: Not established. Keep this folder backed up.")));
        shoot(*dialog, "review-approved");

        part<QPushButton>(*list[1], "revealButton")->click();
        QCOMPARE(m_world->revealed(), QStringList({ QStringLiteral("/home/me/Projects/notes") }));
    }

    void addSelectedHandsOverAndCloses()
    {
        m_world->setFound({ candidate(QStringLiteral("node_modules"), 10, true) });
        auto dialog = scanned();
        review(*dialog);
        part<QCheckBox>(*rows(*dialog, "aiRow")[0], "aiToggle")->click();
        part<QPushButton>(*dialog, "addButton")->click();
        QTRY_VERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QCOMPARE(m_world->applied,
            QList<QStringList>({ { QStringLiteral("/home/me/Projects/app/build"), QStringLiteral("node_modules") } }));
    }

    void changedFolderShowsTheAlertAndKeepsTheChoice()
    {
        m_world->setFound({ candidate(QStringLiteral("node_modules"), 10, true) });
        auto dialog = scanned();
        review(*dialog);
        part<QCheckBox>(*rows(*dialog, "aiRow")[0], "aiToggle")->click();
        ExcludeDiscovery changed;
        changed.candidates = { eligibleEvidence(QStringLiteral("/home/me/Projects/app/build"), 2'500'000) };
        m_world->setDiscovery(changed);
        part<QPushButton>(*dialog, "addButton")->click();
        QTRY_VERIFY(!dialog->model()->isApplying());
        auto *alert = dialog->findChild<QMessageBox *>(QStringLiteral("applyErrorAlert"));
        QVERIFY(alert && alert->isVisible());
        QCOMPARE(alert->text(), QStringLiteral("Exclusions were not added"));
        QCOMPARE(alert->informativeText(),
            QStringLiteral("A selected folder changed or could not be fully rechecked. No exclusions were added. Run "
                           "AI review again."));
        QVERIFY(dialog->isVisible());
        QVERIFY(m_world->applied.isEmpty());
        QVERIFY(part<QCheckBox>(*rows(*dialog, "ruleRow")[0], "ruleToggle")->isChecked());
        QCOMPARE(part<QPushButton>(*dialog, "addButton")->text(), QStringLiteral("Add Selected"));
        shoot(*alert, "apply-failed-alert");
        shoot(*dialog, "apply-failed");

        alert->button(QMessageBox::Ok)->click();
        QVERIFY(!dialog->model()->applyError());
    }

    void cancelWhileRecheckingClosesQuietly()
    {
        auto dialog = scanned();
        review(*dialog);
        part<QCheckBox>(*rows(*dialog, "aiRow")[0], "aiToggle")->click();
        m_world->shared->evidenceGate.close();
        part<QPushButton>(*dialog, "addButton")->click();
        QCOMPARE(part<QPushButton>(*dialog, "addButton")->text(), QStringLiteral("Rechecking…"));
        QVERIFY(!part<QPushButton>(*dialog, "addButton")->isEnabled());
        QVERIFY(!part<QWidget>(*dialog, "form")->isEnabled());
        shoot(*dialog, "rechecking");

        part<QPushButton>(*dialog, "cancelButton")->click();
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        m_world->shared->evidenceGate.open();
        QTest::qWait(50);
        QVERIFY(m_world->applied.isEmpty());
        QVERIFY(!dialog->findChild<QMessageBox *>(QStringLiteral("applyErrorAlert")));
    }
};

QTEST_MAIN(SmartExcludeSheetTest)
#include "SmartExcludeSheetTest.moc"

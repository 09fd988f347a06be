#include "restore/ProposedBackupSheet.h"
#include "ExplorerFixture.h"
#include "kit/PathLabel.h"
#include "kit/Screenshot.h"
#include "restore/BackupExplorerView.h"

#include <QEnterEvent>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QThreadPool>
#include <QToolButton>
#include <QtTest>

using namespace vellmir;
using namespace vellmir::test;

// The proposed-backup sheet as the user sees it, offscreen, one screenshot per state.
class ProposedBackupSheetTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ExplorerFixture> m_world;

    static std::unique_ptr<ProposedBackupSheet> sheet(
        const QStringList &sources, const QStringList &excludes, const BackupLister &lister = {})
    {
        auto dialog = std::make_unique<ProposedBackupSheet>(sources, excludes);
        if (lister)
            dialog->setLister(lister);
        dialog->resize(660, 560);
        dialog->show();
        return dialog;
    }
    static BackupExplorerView *settled(const ProposedBackupSheet &dialog)
    {
        BackupExplorerView *view = dialog.currentExplorer();
        if (!view)
            qFatal("no explorer on top");
        if (!QTest::qWaitFor([view] { return !view->model()->loading(); }, 10'000))
            qFatal("the listing did not land");
        return view;
    }
    template <typename T> static T *part(const QWidget &parent, const QString &name)
    {
        T *found = parent.findChild<T *>(name);
        if (!found)
            qFatal("no widget %s", qPrintable(name));
        return found;
    }
    QWidget *row(const QWidget &view, const QString &relative) const
    {
        return part<QWidget>(view, QStringLiteral("row:") + m_world->path(relative));
    }
    static QString title(const ProposedBackupSheet &dialog)
    {
        return part<QLabel>(dialog, QStringLiteral("titleLabel"))->text();
    }
    static QString page(const BackupExplorerView &view)
    {
        return part<QStackedWidget>(view, QStringLiteral("explorerPages"))->currentWidget()->objectName();
    }
    static void shoot(ProposedBackupSheet &dialog, const char *state)
    {
        QVERIFY(saveScreenshot(dialog, screenshotPath(QStringLiteral("ProposedBackupSheet-") + QLatin1String(state))));
    }
    static void click(QWidget *widget)
    {
        QVERIFY(widget->isEnabled());
        QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(4, widget->height() / 2));
    }

private Q_SLOTS:
    void init() { m_world = std::make_unique<ExplorerFixture>(); }
    void cleanup()
    {
        QThreadPool::globalInstance()->waitForDone();
        m_world.reset();
    }

    void oneFolderOpensOnItsListing()
    {
        HeldLister held;
        held.held = { 1 };
        auto dialog = sheet({ m_world->root }, { ".DS_Store" }, held.lister());
        QVERIFY(!dialog->findChild<QWidget *>(QStringLiteral("folderList")));
        QCOMPARE(title(*dialog), QStringLiteral("proj"));
        QVERIFY(!part<QToolButton>(*dialog, QStringLiteral("backButton"))->isVisible());
        QCOMPARE(page(*dialog->currentExplorer()), QStringLiteral("scanningRow"));
        shoot(*dialog, "scanning");

        held.release();
        BackupExplorerView *view = settled(*dialog);
        QCOMPARE(page(*view), QStringLiteral("entryList"));
        // Included first, largest first; the name-pattern exclusion last.
        QList<int> tops;
        for (const char *name : { "big.bin", "src", "notes.txt", ".DS_Store" })
            tops.append(row(*view, QLatin1String(name))->y());
        QVERIFY(std::is_sorted(tops.cbegin(), tops.cend()));
        shoot(*dialog, "listing");
    }

    void severalFoldersOpenOnTheirList()
    {
        const QString other = m_world->path("src");
        auto dialog = sheet({ m_world->root, other }, {});
        QVERIFY(!dialog->currentExplorer());
        QCOMPARE(title(*dialog), QStringLiteral("Proposed Backup"));
        auto *first = part<QAbstractButton>(*dialog, QStringLiteral("folder:") + m_world->root);
        QCOMPARE(first->findChild<PathLabel *>()->path(), m_world->root);
        QVERIFY(dialog->findChild<QAbstractButton *>(QStringLiteral("folder:") + other));
        shoot(*dialog, "folders");

        click(first);
        settled(*dialog);
        QCOMPARE(dialog->model()->path(), QStringList { m_world->root });
        QCOMPARE(title(*dialog), QStringLiteral("proj"));
        auto *back = part<QToolButton>(*dialog, QStringLiteral("backButton"));
        QVERIFY(back->isVisible());
        QCOMPARE(back->text(), QStringLiteral("Proposed Backup"));
        back->click();
        QVERIFY(!dialog->currentExplorer());
        QCOMPARE(title(*dialog), QStringLiteral("Proposed Backup"));
    }

    void excludingARowMarksItAndMovesItDown()
    {
        auto dialog = sheet({ m_world->root }, {});
        BackupExplorerView *view = settled(*dialog);
        QSignalSpy excludes(dialog->model(), &ProposedBackupSheetModel::excludesChanged);
        auto *toggle = part<QToolButton>(*row(*view, "big.bin"), QStringLiteral("toggleButton"));
        QCOMPARE(toggle->toolTip(), QStringLiteral("Exclude from backup"));
        QCOMPARE(toggle->accessibleName(), QStringLiteral("Exclude big.bin from backup"));
        QCOMPARE(toggle->property("symbol").toString(), QStringLiteral("minus.circle.fill"));
        toggle->click();
        QTRY_COMPARE(excludes.count(), 1);
        QCOMPARE(dialog->model()->excludes(), QStringList { "~/proj/big.bin" });

        QTRY_VERIFY(row(*view, "big.bin")->findChild<QLabel *>(QStringLiteral("excludedLabel")));
        QWidget *big = row(*view, "big.bin");
        QCOMPARE(part<QLabel>(*big, QStringLiteral("sizeLabel"))->text(), QStringLiteral("\u2014"));
        QVERIFY(part<PathLabel>(*big, QStringLiteral("nameLabel"))->font().strikeOut());
        QCOMPARE(part<QLabel>(*big, QStringLiteral("excludedLabel"))->text(), QStringLiteral("excluded"));
        QVERIFY(!part<QAbstractButton>(*big, QStringLiteral("openButton"))->isEnabled());
        auto *plus = part<QToolButton>(*big, QStringLiteral("toggleButton"));
        QVERIFY(plus->isEnabled());
        QCOMPARE(plus->toolTip(), QStringLiteral("Re-include in backup"));
        QCOMPARE(plus->property("symbol").toString(), QStringLiteral("plus.circle.fill"));
        dialog->adjustSize();
        QApplication::processEvents();
        QVERIFY(big->y() > row(*view, "notes.txt")->y());
        shoot(*dialog, "excluded");

        // Re-including lists again and brings it back to the top with its size.
        plus->click();
        QTRY_VERIFY(!row(*view, "big.bin")->findChild<QLabel *>(QStringLiteral("excludedLabel")));
        QVERIFY(dialog->model()->excludes().isEmpty());
        QTRY_VERIFY(row(*view, "big.bin")->y() < row(*view, "src")->y());
    }

    void anotherRuleDisablesTheToggle()
    {
        auto dialog = sheet({ m_world->root }, { ".DS_Store", m_world->path("notes.txt") });
        BackupExplorerView *view = settled(*dialog);
        for (const char *name : { ".DS_Store", "notes.txt" }) {
            auto *toggle = part<QToolButton>(*row(*view, QLatin1String(name)), QStringLiteral("toggleButton"));
            QVERIFY(!toggle->isEnabled());
            QCOMPARE(toggle->toolTip(), QStringLiteral("Excluded by another rule. Edit Exclude Rules to change it."));
        }
        // Files cannot be opened, included folders can.
        QVERIFY(!part<QAbstractButton>(*row(*view, "big.bin"), QStringLiteral("openButton"))->isEnabled());
        QVERIFY(part<QAbstractButton>(*row(*view, "src"), QStringLiteral("openButton"))->isEnabled());
        shoot(*dialog, "other-rule");
    }

    void hoverBringsTheMinusButtonOut()
    {
        auto dialog = sheet({ m_world->root }, { ".DS_Store" });
        BackupExplorerView *view = settled(*dialog);
        auto opacity = [&](const char *name) {
            auto *toggle = part<QToolButton>(*row(*view, QLatin1String(name)), QStringLiteral("toggleButton"));
            return qobject_cast<QGraphicsOpacityEffect *>(toggle->graphicsEffect())->opacity();
        };
        QCOMPARE(opacity("big.bin"), 0.35);
        QCOMPARE(opacity(".DS_Store"), 1.0);
        QWidget *big = row(*view, "big.bin");
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QCoreApplication::sendEvent(big, &enter);
        QCOMPARE(view->model()->hoveredID(), std::optional<QString>(m_world->path("big.bin")));
        QCOMPARE(opacity("big.bin"), 1.0);
        QCOMPARE(opacity("notes.txt"), 0.35);
        shoot(*dialog, "hovered");
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(big, &leave);
        QVERIFY(!view->model()->hoveredID());
        QCOMPARE(opacity("big.bin"), 0.35);
    }

    void goingBackListsTheParentAgain()
    {
        HeldLister held;
        held.held = { 3 }; // the parent's second listing, after coming back
        auto dialog = sheet({ m_world->root }, {}, held.lister());
        BackupExplorerView *root = settled(*dialog);
        const qint64 before = entryNamed(root->model()->entries(), "src").size;
        click(part<QAbstractButton>(*row(*root, "src"), QStringLiteral("openButton")));
        BackupExplorerView *src = settled(*dialog);
        QVERIFY(src != root);
        QCOMPARE(title(*dialog), QStringLiteral("src"));
        QCOMPARE(part<QToolButton>(*dialog, QStringLiteral("backButton"))->text(), QStringLiteral("proj"));
        part<QToolButton>(*row(*src, "src/build"), QStringLiteral("toggleButton"))->click();
        QTRY_COMPARE(dialog->model()->excludes(), QStringList { "~/proj/src/build" });
        shoot(*dialog, "nested");

        part<QToolButton>(*dialog, QStringLiteral("backButton"))->click();
        QCOMPARE(dialog->currentExplorer(), root);
        QCOMPARE(page(*root), QStringLiteral("scanningRow"));
        shoot(*dialog, "back-scanning");
        held.release();
        settled(*dialog);
        QVERIFY(entryNamed(root->model()->entries(), "src").size < before);
        QTRY_COMPARE(dialog->explorers().size(), 1);
    }

    void backButtonShowsAmpersandsOfFolderNames()
    {
        auto dialog = sheet({ QStringLiteral("/nowhere/Tom & Jerry") }, {});
        dialog->model()->open(QStringLiteral("/nowhere/Tom & Jerry/R&D"));
        auto *back = part<QToolButton>(*dialog, QStringLiteral("backButton"));
        QCOMPARE(title(*dialog), QStringLiteral("R&D"));
        // A button takes "&" for the mark of its shortcut key and would hide it.
        QVERIFY(QKeySequence::mnemonic(back->text()).isEmpty());
        QCOMPARE(back->text().replace(QStringLiteral("&&"), QStringLiteral("&")), QStringLiteral("Tom & Jerry"));
    }

    void doneAtAnyDepthClosesAndKeepsTheExclusions()
    {
        auto dialog = sheet({ m_world->root, m_world->path("src") }, { "*.tmp" });
        click(part<QAbstractButton>(*dialog, QStringLiteral("folder:") + m_world->root));
        BackupExplorerView *root = settled(*dialog);
        part<QToolButton>(*row(*root, "notes.txt"), QStringLiteral("toggleButton"))->click();
        QTRY_COMPARE(dialog->model()->excludes(), (QStringList { "*.tmp", "~/proj/notes.txt" }));
        click(part<QAbstractButton>(*row(*root, "src"), QStringLiteral("openButton")));
        settled(*dialog);
        QSignalSpy finished(dialog.get(), &QDialog::finished);
        part<QPushButton>(*dialog, QStringLiteral("doneButton"))->click();
        QVERIFY(!dialog->isVisible());
        QCOMPARE(finished.count(), 1);
        QCOMPARE(dialog->model()->excludes(), (QStringList { "*.tmp", "~/proj/notes.txt" }));
    }
};

QTEST_MAIN(ProposedBackupSheetTest)
#include "ProposedBackupSheetTest.moc"

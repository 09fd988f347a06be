#include "restore/SnapshotBrowserSheet.h"
#include "RestoreFixture.h"
#include "kit/PathLabel.h"
#include "kit/Screenshot.h"
#include "kit/StatusLabel.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

using namespace vellmir;
using Phase = RestoreRunner::Phase;
using Node = test::RestoreFixture;

// The snapshot browser as the user sees it, offscreen, one screenshot per state.
class SnapshotBrowserSheetTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::RestoreFixture> m_world;

    std::unique_ptr<SnapshotBrowserSheet> sheet(std::optional<Snapshot> chosen = std::nullopt) const
    {
        auto dialog = std::make_unique<SnapshotBrowserSheet>(m_world->destination,
            QList<Snapshot> { m_world->newest, m_world->older }, chosen.value_or(m_world->newest), m_world->services());
        dialog->model()->setFolderChooser([] { return std::nullopt; });
        dialog->model()->setFolderOpener([](const QString &) {});
        dialog->model()->setTargetPath(m_world->path(QStringLiteral("target")));
        dialog->resize(760, 580);
        dialog->show();
        return dialog;
    }
    void listing() const
    {
        m_world->script(QStringLiteral("ls.stdout"),
            Node::node(QStringLiteral("/home"), QStringLiteral("dir"))
                + Node::node(QStringLiteral("/home/ann"), QStringLiteral("dir"))
                + Node::node(QStringLiteral("/home/ann/Documents"), QStringLiteral("dir"))
                + Node::node(QStringLiteral("/home/ann/notes.txt"), QStringLiteral("file"), 1200)
                + Node::node(QStringLiteral("/home/ann/photo.jpg"), QStringLiteral("file"), 4'200'000));
    }
    template <typename T> static T *part(const QWidget &dialog, const QString &name)
    {
        T *found = dialog.findChild<T *>(name);
        if (!found)
            qFatal("no widget %s", qPrintable(name));
        return found;
    }
    static QTreeWidget *list(const QWidget &dialog) { return part<QTreeWidget>(dialog, QStringLiteral("entryList")); }
    static QTreeWidgetItem *row(const QWidget &dialog, const QString &path)
    {
        QTreeWidget *tree = list(dialog);
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            if (tree->topLevelItem(i)->data(0, Qt::UserRole).toString() == path)
                return tree->topLevelItem(i);
        }
        qFatal("no row %s", qPrintable(path));
    }
    static void doubleClick(const QWidget &dialog, const QString &path)
    {
        QTreeWidget *tree = list(dialog);
        const QPoint point = tree->visualItemRect(row(dialog, path)).topLeft() + QPoint(8, 4);
        // An item view counts a double-click only on the index its press landed on.
        QTest::mousePress(tree->viewport(), Qt::LeftButton, {}, point);
        QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, point);
    }
    static QStringList rowTexts(const QWidget &dialog)
    {
        QStringList texts;
        QTreeWidget *tree = list(dialog);
        for (int i = 0; i < tree->topLevelItemCount(); ++i)
            texts.append(tree->topLevelItem(i)->text(0));
        return texts;
    }
    static QPushButton *button(const QWidget &dialog, const char *name)
    {
        return part<QPushButton>(dialog, QLatin1String(name));
    }
    static void shoot(QWidget &widget, const char *state)
    {
        QVERIFY(saveScreenshot(
            widget, test::screenshotPath(QStringLiteral("SnapshotBrowserSheet-") + QLatin1String(state))));
    }
    static void waitListed(SnapshotBrowserSheet &dialog) { QTRY_VERIFY(!dialog.model()->loading()); }

private Q_SLOTS:
    void init() { m_world = std::make_unique<test::RestoreFixture>(); }
    void cleanup() { m_world.reset(); }

    void opensOnTheChosenSnapshotAtRoot()
    {
        m_world->script(QStringLiteral("ls.stdout"),
            Node::node(QStringLiteral("/home"), QStringLiteral("dir"))
                + Node::node(QStringLiteral("/etc"), QStringLiteral("dir")));
        m_world->script(QStringLiteral("sleep"), "30");
        auto dialog = sheet(m_world->older);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Find and Restore Files"));
        auto *picker = part<QComboBox>(*dialog, QStringLiteral("versionPicker"));
        QCOMPARE(picker->count(), 2);
        QCOMPARE(picker->currentIndex(), 1);
        // The short id tells apart versions made within the same minute.
        QVERIFY(picker->currentText().endsWith(QStringLiteral(" \u00B7 laptop \u00B7 ") + m_world->older.shortID));
        QVERIFY(part<QWidget>(*dialog, QStringLiteral("loadingRow"))->isVisible());
        auto *up = part<QToolButton>(*dialog, QStringLiteral("upButton"));
        QVERIFY(!up->isEnabled());
        QCOMPARE(up->toolTip(), QStringLiteral("Go to parent folder (Ctrl+Up)"));
        // Icon-only controls are named for screen readers.
        QCOMPARE(up->accessibleName(), QStringLiteral("Go to parent folder"));
        auto *search = part<QLineEdit>(*dialog, QStringLiteral("searchField"));
        QCOMPARE(search->accessibleName(), QStringLiteral("Search"));
        QCOMPARE(search->findChild<QToolButton *>()->accessibleName(), QStringLiteral("Clear search"));
        QVERIFY(!part<QToolButton>(*dialog, QStringLiteral("rootButton"))->isVisible());
        shoot(*dialog, "loading");

        m_world->unscript(QStringLiteral("sleep"));
        dialog->model()->setSnapshotID(m_world->newest.id);
        QCOMPARE(picker->currentIndex(), 0);
        waitListed(*dialog);
        QCOMPARE(rowTexts(*dialog), (QStringList { QStringLiteral("etc"), QStringLiteral("home") }));
        QVERIFY(!part<QWidget>(*dialog, QStringLiteral("loadingRow"))->isVisible());
        QCOMPARE(part<QStackedWidget>(*dialog, QStringLiteral("restoreBar"))->currentWidget()->objectName(),
            QStringLiteral("barHint"));
        QVERIFY(!part<QLabel>(*dialog, QStringLiteral("limitNote"))->isVisible());
        shoot(*dialog, "listed");
    }

    void unknownSnapshotLeavesThePickerEmpty()
    {
        Snapshot stranger = m_world->older;
        stranger.id = QStringLiteral("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
        auto dialog = sheet(stranger);
        QCOMPARE(part<QComboBox>(*dialog, QStringLiteral("versionPicker"))->currentIndex(), -1);
        waitListed(*dialog);
        QVERIFY(m_world->runs().constFirst().contains(stranger.id));
    }

    void navigatingByRowsCrumbsAndKeys()
    {
        listing();
        auto dialog = sheet();
        waitListed(*dialog);
        // A file's double-click does nothing; a folder's opens it.
        doubleClick(*dialog, QStringLiteral("/home/ann/notes.txt"));
        QCOMPARE(dialog->model()->directory(), QStringLiteral("/"));
        doubleClick(*dialog, QStringLiteral("/home/ann"));
        QCOMPARE(dialog->model()->directory(), QStringLiteral("/home/ann"));
        waitListed(*dialog);
        QCOMPARE(rowTexts(*dialog),
            (QStringList { QStringLiteral("home"), QStringLiteral("Documents"), QStringLiteral("notes.txt"),
                QStringLiteral("photo.jpg") }));
        QVERIFY(part<QToolButton>(*dialog, QStringLiteral("rootButton"))->isVisible());
        QVERIFY(part<QToolButton>(*dialog, QStringLiteral("upButton"))->isEnabled());
        shoot(*dialog, "folder");

        part<QToolButton>(*dialog, QStringLiteral("crumb:/home"))->click();
        QTRY_COMPARE(dialog->model()->directory(), QStringLiteral("/home"));
        dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        QTest::keyClick(list(*dialog), Qt::Key_Up, Qt::ControlModifier);
        QTRY_COMPARE(dialog->model()->directory(), QStringLiteral("/"));

        // Searching shows whole paths, disables going up and offers "Root".
        waitListed(*dialog);
        QTest::keyClicks(part<QLineEdit>(*dialog, QStringLiteral("searchField")), QStringLiteral("doc"));
        QCOMPARE(dialog->model()->search(), QStringLiteral("doc"));
        waitListed(*dialog);
        QCOMPARE(m_world->runs().size(), 4);
        QCOMPARE(rowTexts(*dialog), QStringList { QStringLiteral("/home/ann/Documents") });
        QVERIFY(!part<QToolButton>(*dialog, QStringLiteral("upButton"))->isEnabled());
        QVERIFY(part<QToolButton>(*dialog, QStringLiteral("rootButton"))->isVisible());
        shoot(*dialog, "search");
        // "Open" on a found folder opens it and clears the search.
        auto *open = qobject_cast<QToolButton *>(
            list(*dialog)->itemWidget(row(*dialog, QStringLiteral("/home/ann/Documents")), 1));
        QVERIFY(open);
        open->click();
        QTRY_COMPARE(dialog->model()->directory(), QStringLiteral("/home/ann/Documents"));
        QCOMPARE(part<QLineEdit>(*dialog, QStringLiteral("searchField"))->text(), QString());
    }

    void failedListingShowsTheMessage()
    {
        m_world->script(QStringLiteral("ls.stderr"), "Fatal: snapshot \"0123abcd\" not found\n");
        m_world->script(QStringLiteral("ls.exit"), "1");
        auto dialog = sheet();
        waitListed(*dialog);
        auto *error = part<MessageLabel>(*dialog, QStringLiteral("errorMessage"));
        QVERIFY(error->isVisible());
        QCOMPARE(error->text(), QStringLiteral("Fatal: snapshot \"0123abcd\" not found"));
        QCOMPARE(list(*dialog)->topLevelItemCount(), 0);
        shoot(*dialog, "error");
    }

    void fullListShowsTheLimitNote()
    {
        QByteArray nodes;
        for (int i = 0; i < 1000; ++i)
            nodes += Node::node(QStringLiteral("/data/file%1.bin").arg(i), QStringLiteral("file"), 1000 * i);
        m_world->script(QStringLiteral("ls.stdout"), nodes);
        auto dialog = sheet();
        waitListed(*dialog);
        QVERIFY(part<QLabel>(*dialog, QStringLiteral("limitNote"))->isVisible());
        QCOMPARE(list(*dialog)->topLevelItem(0)->text(1), QStringLiteral("Zero KB"));
        shoot(*dialog, "limit");
    }

    void fileRestoreRunsFromTheBar()
    {
        listing();
        m_world->script(QStringLiteral("restore.stdout"), Node::restoreOutput(1, 1200));
        auto dialog = sheet();
        dialog->model()->openFolder(QStringLiteral("/home/ann"));
        waitListed(*dialog);
        list(*dialog)->setCurrentItem(row(*dialog, QStringLiteral("/home/ann/notes.txt")));
        QCOMPARE(dialog->model()->selected()->path, QStringLiteral("/home/ann/notes.txt"));
        QCOMPARE(part<QStackedWidget>(*dialog, QStringLiteral("restoreBar"))->currentWidget()->objectName(),
            QStringLiteral("barSelected"));
        QCOMPARE(part<QLabel>(*dialog, QStringLiteral("selectedName"))->text(), QStringLiteral("notes.txt"));
        QCOMPARE(button(*dialog, "restoreButton")->text(), QStringLiteral("Restore File"));
        QVERIFY(button(*dialog, "restoreButton")->isEnabled());
        QCOMPARE(part<PathLabel>(*dialog, QStringLiteral("targetPath"))->path(), QStringLiteral("~/target"));
        shoot(*dialog, "selected-file");

        m_world->script(QStringLiteral("restore.sleep"), "30");
        m_world->script(QStringLiteral("ls.stdout"),
            Node::node(QStringLiteral("/home/ann/notes.txt"), QStringLiteral("file"), 1200));
        button(*dialog, "restoreButton")->click();
        QTRY_COMPARE(part<QLabel>(*dialog, QStringLiteral("progressFiles"))->text(), QStringLiteral("1 / 1 files"));
        QVERIFY(!button(*dialog, "chooseButton")->isEnabled());
        QVERIFY(!button(*dialog, "closeButton")->isEnabled());
        shoot(*dialog, "running");
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        QVERIFY(dialog->isVisible());
        button(*dialog, "cancelButton")->click();
        QTRY_VERIFY(dialog->model()->runner()->phase() == Phase::idle);
        QVERIFY(part<QLabel>(*dialog, QStringLiteral("readyHint"))->isVisible());
        QVERIFY(!part<StatusLabel>(*dialog, QStringLiteral("failureLabel"))->isVisible());
        QVERIFY(button(*dialog, "closeButton")->isEnabled());

        m_world->unscript(QStringLiteral("restore.sleep"));
        button(*dialog, "restoreButton")->click();
        QTRY_COMPARE(button(*dialog, "closeButton")->text(), QStringLiteral("Done"));
        QVERIFY(part<StatusLabel>(*dialog, QStringLiteral("successLabel"))->isVisible());
        QCOMPARE(button(*dialog, "showButton")->text(), QStringLiteral("Show in File Manager"));
        shoot(*dialog, "finished");
        // Choosing another row brings back the ready row and "Close".
        list(*dialog)->setCurrentItem(row(*dialog, QStringLiteral("/home/ann/photo.jpg")));
        QCOMPARE(button(*dialog, "closeButton")->text(), QStringLiteral("Close"));
        QCOMPARE(part<QStackedWidget>(*dialog, QStringLiteral("restorePhase"))->currentWidget()->objectName(),
            QStringLiteral("ready"));
    }

    void failedRestoreShowsItsMessageInTheBar()
    {
        listing();
        m_world->script(QStringLiteral("restore.exit"), "2");
        auto dialog = sheet();
        dialog->model()->openFolder(QStringLiteral("/home/ann"));
        waitListed(*dialog);
        list(*dialog)->setCurrentItem(row(*dialog, QStringLiteral("/home/ann/photo.jpg")));
        button(*dialog, "restoreButton")->click();
        QTRY_VERIFY(part<StatusLabel>(*dialog, QStringLiteral("failureLabel"))->isVisible());
        QVERIFY(part<StatusLabel>(*dialog, QStringLiteral("failureLabel"))
                    ->text()
                    .startsWith(
                        QStringLiteral("Restore failed (exit code 2).\nWhat was restored before it stopped is in ")));
        QVERIFY(!part<QLabel>(*dialog, QStringLiteral("readyHint"))->isVisible());
        QVERIFY(button(*dialog, "restoreButton")->isEnabled());
        shoot(*dialog, "failed");
    }

    void folderRestoreAsksFirst()
    {
        listing();
        auto dialog = sheet();
        dialog->model()->openFolder(QStringLiteral("/home/ann"));
        waitListed(*dialog);
        list(*dialog)->setCurrentItem(row(*dialog, QStringLiteral("/home/ann/Documents")));
        QCOMPARE(button(*dialog, "restoreButton")->text(), QStringLiteral("Restore Folder\u2026"));
        button(*dialog, "restoreButton")->click();
        QMessageBox *box = dialog->folderConfirmation();
        QVERIFY(box);
        QTRY_VERIFY(box->isVisible());
        QCOMPARE(box->text(), QStringLiteral("Restore this folder?"));
        QVERIFY(box->informativeText().startsWith(QStringLiteral("/home/ann/Documents and everything in it")));
        shoot(*box, "confirm-folder");
        part<QPushButton>(*box, QStringLiteral("confirmCancelButton"))->click();
        QTRY_VERIFY(!dialog->folderConfirmation());
        QVERIFY(!dialog->model()->confirmingFolderRestore());
        QVERIFY(dialog->model()->runner()->phase() == Phase::idle);

        button(*dialog, "restoreButton")->click();
        QTRY_VERIFY(dialog->folderConfirmation() && dialog->folderConfirmation()->isVisible());
        part<QPushButton>(*dialog->folderConfirmation(), QStringLiteral("confirmRestoreButton"))->click();
        QTRY_VERIFY(dialog->model()->runner()->phase() == Phase::finished);
        QCOMPARE(Node::restoreFolders(m_world->path(QStringLiteral("target"))).size(), 1);
    }
};

QTEST_MAIN(SnapshotBrowserSheetTest)
#include "SnapshotBrowserSheetTest.moc"

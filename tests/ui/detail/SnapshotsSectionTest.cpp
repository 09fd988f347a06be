#include "detail/SnapshotsSection.h"
#include "../kit/ShownToolTip.h"
#include "DetailFixture.h"
#include "kit/Screenshot.h"
#include "kit/StatusLabel.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>

using namespace vellmir;
using Fixture = test::DetailFixture;

namespace {

struct Shown {
    Fixture &fixture;
    std::unique_ptr<DestinationDetailModel> model;
    std::unique_ptr<SnapshotsSection> section;

    explicit Shown(Fixture &f)
        : fixture(f)
        , model(f.model())
    {
        section = std::make_unique<SnapshotsSection>(model.get());
        section->setFixedWidth(560);
        section->show();
    }
    void load() const
    {
        model->loadSnapshots();
        QVERIFY(Fixture::waitFor([&] { return !model->loadingSnapshots(); }));
    }
    template <typename T = QWidget> T *find(const char *name) const
    {
        return section->findChild<T *>(QLatin1StringView(name));
    }
    bool visible(const char *name) const { return find(name)->isVisible(); }
    bool enabled(const char *name) const { return find(name)->isEnabled(); }
    bool screenshot(const QString &state) const
    {
        return saveScreenshot(*section, test::screenshotPath(QStringLiteral("SnapshotsSection-") + state));
    }
};

} // namespace

class SnapshotsSectionTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void emptyRepository();
    void listedWithoutSelection();
    void computerNameAsWritten();
    void selectingARow();
    void loadingHidesAnEarlierList();
    void loadError();
    void contextMenu();
    void collapses();
};

void SnapshotsSectionTest::emptyRepository()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), "[]");
    Shown shown(f);
    shown.load();
    QVERIFY(QTest::qWaitForWindowExposed(shown.section.get()));
    QCOMPARE(shown.find<QLabel>("sectionTitle")->text(), QStringLiteral("Snapshots"));
    QVERIFY(shown.visible("snapshotCount"));
    QCOMPARE(shown.find<QLabel>("snapshotCount")->text(), QStringLiteral("0"));
    QVERIFY(shown.visible("noSnapshots"));
    QCOMPARE(
        shown.find<QLabel>("noSnapshots")->text(), QStringLiteral("No snapshots yet. Run a backup to create one."));
    QVERIFY(!shown.visible("snapshotTable"));
    QVERIFY(!shown.enabled("findButton") && !shown.enabled("restoreButton") && shown.enabled("refreshButton"));
    QVERIFY(shown.screenshot(QStringLiteral("empty")));
}

void SnapshotsSectionTest::listedWithoutSelection()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(5));
    Shown shown(f);
    shown.load();
    QVERIFY(QTest::qWaitForWindowExposed(shown.section.get()));
    auto *table = shown.find<QTreeWidget>("snapshotTable");
    QVERIFY(table->isVisible());
    QCOMPARE(table->topLevelItemCount(), 5);
    QCOMPARE(table->height(), 164);
    QCOMPARE(shown.find<QLabel>("snapshotCount")->text(), QStringLiteral("5"));
    const Snapshot newest = shown.model->snapshots().first();
    QTreeWidgetItem *first = table->topLevelItem(0);
    QCOMPARE(first->text(1), QStringLiteral("workstation"));
    QCOMPARE(first->text(2), QStringLiteral("7.5 MB"));
    QCOMPARE(first->text(3), newest.shortID);
    QCOMPARE(table->headerItem()->text(1), QStringLiteral("Computer"));
    QVERIFY(shown.enabled("findButton") && !shown.enabled("restoreButton"));
    QVERIFY(shown.screenshot(QStringLiteral("listed")));
    // As narrow as a 480-pixel window leaves it, the date still shows whole.
    shown.section->setFixedWidth(300);
    QTRY_VERIFY(table->header()->sectionSize(0) >= table->fontMetrics().horizontalAdvance(first->text(0)));
    QCOMPARE(first->toolTip(0), first->text(0));
    QVERIFY(shown.screenshot(QStringLiteral("listed-narrow")));
    shown.find<QPushButton>("findButton")->click();
    QCOMPARE(shown.model->browseTarget().value().id, newest.id);
}

void SnapshotsSectionTest::computerNameAsWritten()
{
    Fixture f;
    f.script(
        QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(1).replace("workstation", "<b>work</b>\\nstation"));
    Shown shown(f);
    shown.load();
    const QTreeWidgetItem *first = shown.find<QTreeWidget>("snapshotTable")->topLevelItem(0);
    QCOMPARE(first->text(1), QStringLiteral("<b>work</b>\u27E8U+000A\u27E9station"));
    QCOMPARE(test::shownToolTip(first->toolTip(1)), first->text(1));
}

void SnapshotsSectionTest::selectingARow()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(2));
    Shown shown(f);
    shown.load();
    auto *table = shown.find<QTreeWidget>("snapshotTable");
    QCOMPARE(table->height(), DestinationDetailModel::minimumTableHeight);
    table->topLevelItem(1)->setSelected(true);
    const Snapshot older = shown.model->snapshots()[1];
    QCOMPARE(shown.model->snapshotSelection().value_or(QString()), older.id);
    QVERIFY(shown.enabled("restoreButton"));
    QVERIFY(shown.screenshot(QStringLiteral("selected")));
    shown.find<QPushButton>("restoreButton")->click();
    QCOMPARE(shown.model->restoreTarget().value().id, older.id);

    // The selection comes back with its row after a reload.
    shown.load();
    QVERIFY(table->topLevelItem(1)->isSelected());

    // Double-click opens the browser on the row's snapshot.
    Q_EMIT table->itemDoubleClicked(table->topLevelItem(0), 0);
    QCOMPARE(shown.model->browseTarget().value().id, shown.model->snapshots()[0].id);
}

void SnapshotsSectionTest::loadingHidesAnEarlierList()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(2));
    Shown shown(f);
    shown.load();
    f.script(QStringLiteral("sleep"), "1");
    shown.model->loadSnapshots();
    QVERIFY(QTest::qWaitForWindowExposed(shown.section.get()));
    QVERIFY(shown.visible("loadingRow"));
    QVERIFY(!shown.visible("snapshotTable"));
    QVERIFY(!shown.visible("snapshotCount"));
    QVERIFY(!shown.enabled("refreshButton"));
    QVERIFY(shown.screenshot(QStringLiteral("loading")));
    QVERIFY(Fixture::waitFor([&] { return !shown.model->loadingSnapshots(); }));
    QVERIFY(shown.visible("snapshotTable") && shown.enabled("refreshButton"));
}

void SnapshotsSectionTest::loadError()
{
    Fixture f;
    f.script(
        QStringLiteral("snapshots.stderr"), "Fatal: unable to open config file: stat /repo/config: no such file\n");
    f.script(QStringLiteral("snapshots.exit"), "1");
    Shown shown(f);
    shown.load();
    QVERIFY(QTest::qWaitForWindowExposed(shown.section.get()));
    auto *error = shown.find<StatusLabel>("snapshotError");
    QVERIFY(error->isVisible());
    QCOMPARE(error->text(), QStringLiteral("Fatal: unable to open config file: stat /repo/config: no such file"));
    QVERIFY(error->tone() == StatusTone::failure);
    QCOMPARE(error->symbol(), QStringLiteral("xmark.circle.fill"));
    QVERIFY(error->isSelectable());
    QVERIFY(!shown.visible("snapshotCount"));
    QVERIFY(!shown.visible("noSnapshots"));
    QVERIFY(shown.screenshot(QStringLiteral("error")));
}

void SnapshotsSectionTest::contextMenu()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(3));
    Shown shown(f);
    shown.load();
    QVERIFY(!shown.section->contextMenu(QStringLiteral("unknown")));
    const Snapshot clicked = shown.model->snapshots()[2];
    shown.model->setSnapshotSelection(shown.model->snapshots()[0].id);
    std::unique_ptr<QMenu> menu(shown.section->contextMenu(clicked.id));
    QVERIFY(menu);
    const QList<QAction *> actions = menu->actions();
    QCOMPARE(actions.size(), 4);
    QCOMPARE(actions[0]->text(), QStringLiteral("Find and Restore Files…"));
    QCOMPARE(actions[1]->text(), QStringLiteral("Restore Everything…"));
    QVERIFY(actions[2]->isSeparator());
    QCOMPARE(actions[3]->text(), QStringLiteral("Copy Snapshot ID"));
    actions[0]->trigger();
    QCOMPARE(shown.model->browseTarget().value().id, clicked.id);
    actions[1]->trigger();
    QCOMPARE(shown.model->restoreTarget().value().id, clicked.id);
    QApplication::clipboard()->setText(QStringLiteral("something else"));
    actions[3]->trigger();
    QCOMPARE(QApplication::clipboard()->text(), clicked.id);
    QCOMPARE(QApplication::clipboard()->mimeData()->formats(), QStringList { QStringLiteral("text/plain") });
}

void SnapshotsSectionTest::collapses()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(1));
    Shown shown(f);
    shown.load();
    QVERIFY(shown.model->snapshotsExpanded());
    shown.find<QToolButton>("disclosure")->click();
    QVERIFY(!shown.model->snapshotsExpanded());
    QVERIFY(!shown.visible("sectionBody"));
    QVERIFY(shown.screenshot(QStringLiteral("collapsed")));
}

QTEST_MAIN(SnapshotsSectionTest)
#include "SnapshotsSectionTest.moc"

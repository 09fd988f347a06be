#include "protection/ConfigReviewView.h"
#include "ConfigReviewFixture.h"
#include "kit/MessageLabel.h"
#include "kit/Screenshot.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QtTest>

using namespace vellmir;

namespace {

QPushButton *button(QWidget &view, const char *name)
{
    return view.findChild<QPushButton *>(QLatin1StringView(name));
}

QString text(QWidget &view, const char *name)
{
    return view.findChild<QLabel *>(QLatin1StringView(name))->text();
}

QStringList rows(QWidget &view)
{
    QStringList lines;
    for (MessageLabel *label : view.findChild<QWidget *>(QStringLiteral("changesBox"))
                                   ->findChildren<MessageLabel *>(QStringLiteral("changeText")))
        lines.append(label->text());
    return lines;
}

// The button row as laid out: button texts, "|" for a flexible spacer.
QStringList buttonRow(QWidget &view)
{
    QHBoxLayout *row = nullptr;
    for (QHBoxLayout *layout : view.findChildren<QHBoxLayout *>()) {
        if (layout->indexOf(button(view, "laterButton")) >= 0)
            row = layout;
    }
    QStringList items;
    for (int i = 0; row && i < row->count(); ++i) {
        if (auto *b = qobject_cast<QPushButton *>(row->itemAt(i)->widget()))
            items.append(b->text());
        else if (row->itemAt(i)->spacerItem())
            items.append(QStringLiteral("|"));
    }
    return items;
}

// Every wrapped text gets the height its lines need: the sheet's height follows the content.
bool nothingClipped(QWidget &view)
{
    for (QLabel *label : view.findChildren<QLabel *>()) {
        if (label->isVisible() && label->wordWrap() && label->height() < label->heightForWidth(label->width()))
            return false;
    }
    return view.findChild<QScrollArea *>()->verticalScrollBar()->maximum() == 0;
}

QMessageBox *openAlert(QWidget &view)
{
    QMessageBox *alert = nullptr;
    for (QMessageBox *box : view.findChildren<QMessageBox *>(QStringLiteral("keepAlert"))) {
        if (box->isVisible())
            alert = box;
    }
    return alert;
}

} // namespace

class ConfigReviewViewTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void changedOutside();
    void keepAlert();
    void undoNamesRemovedDestinations();
    void undoFailureStaysOpen();
    void fromAnotherComputer_data();
    void fromAnotherComputer();
    void comparisonFailure();
    void forgedNameLeavesTheFieldsInReach();
};

void ConfigReviewViewTest::changedOutside()
{
    test::ConfigReviewFixture f;
    f.changeOutside();
    QWidget window;
    window.resize(700, 600);
    window.show();
    ConfigReviewView view(*f.store, &window);
    QSignalSpy finished(&view, &QDialog::finished);
    view.open();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    QVERIFY(view.windowModality() == Qt::WindowModal);
    QCOMPARE(view.width(), 520);
    QCOMPARE(text(view, "title"), QStringLiteral("Vellmir's settings were changed outside the app"));
    QVERIFY(text(view, "explanation").startsWith(QStringLiteral("Vellmir didn't make these changes.")));
    QCOMPARE(rows(view), QStringList { QStringLiteral("Added destination “Intruder”, backing up to sftp:evil:/x.") });
    QCOMPARE(buttonRow(view),
        (QStringList { QStringLiteral("Keep These Changes…"), QStringLiteral("|"), QStringLiteral("Later"),
            QStringLiteral("Undo These Changes") }));
    QVERIFY(!button(view, "useButton")->isVisible());
    QVERIFY(!view.findChild<MessageLabel *>(QStringLiteral("result"))->isVisible());
    QVERIFY(!view.findChild<MessageLabel *>(QStringLiteral("errorMessage"))->isVisible());
    QVERIFY(view.findChild<MessageLabel *>(QStringLiteral("changeText"))->textInteractionFlags()
        & Qt::TextSelectableByMouse);
    QVERIFY(nothingClipped(view));
    QVERIFY(saveScreenshot(view, test::screenshotPath(QStringLiteral("ConfigReviewView-changedOutside"))));

    // Return undoes; nothing was removed, so the sheet closes.
    QTest::keyClick(&view, Qt::Key_Return);
    QCOMPARE(finished.count(), 1);
    QVERIFY(!view.isVisible());
    QVERIFY(f.store->integrity().isValid());
    QCOMPARE(f.store->destinations().size(), 2);
    QCOMPARE(f.readDestinations().size(), 2);
}

void ConfigReviewViewTest::keepAlert()
{
    test::ConfigReviewFixture f;
    f.changeOutside();
    ConfigReviewView view(*f.store);
    QSignalSpy finished(&view, &QDialog::finished);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    const auto before = f.snapshotFiles();

    QTest::mouseClick(button(view, "keepButton"), Qt::LeftButton);
    QMessageBox *alert = openAlert(view);
    QVERIFY(alert);
    QCOMPARE(alert->text(), QStringLiteral("Keep changes Vellmir didn't make?"));
    QCOMPARE(alert->informativeText(),
        QStringLiteral("Only keep them if you made them yourself, for example by editing Vellmir's files by hand. "
                       "Backups will then follow them."));
    QVERIFY(f.snapshotFiles() == before);
    QVERIFY(saveScreenshot(*alert, test::screenshotPath(QStringLiteral("ConfigReviewView-keepAlert"))));

    QTest::mouseClick(alert->findChild<QPushButton *>(QStringLiteral("keepAlertCancel")), Qt::LeftButton);
    QTRY_VERIFY(!openAlert(view));
    QVERIFY(!view.model().confirmingKeep());
    QVERIFY(f.snapshotFiles() == before);
    QVERIFY(view.isVisible());

    // Another change lands while the sheet is open: keeping seals nothing the user has not
    // seen, and the sheet shows the new list instead.
    QList<Destination> list = f.readDestinations();
    list.append(test::SealFixture::destination(
        QStringLiteral("Second intruder"), Destination::Kind::sftp, QStringLiteral("sftp:evil:/y")));
    f.writeDestinations(list);
    const auto changedAgain = f.snapshotFiles();
    const auto keepThroughAlert = [&view] {
        QTest::mouseClick(button(view, "keepButton"), Qt::LeftButton);
        QMessageBox *shown = openAlert(view);
        QVERIFY(shown);
        QCOMPARE(shown->buttonRole(shown->findChild<QPushButton *>(QStringLiteral("keepAlertKeep"))),
            QMessageBox::DestructiveRole);
        QTest::mouseClick(shown->findChild<QPushButton *>(QStringLiteral("keepAlertKeep")), Qt::LeftButton);
    };
    keepThroughAlert();
    QCOMPARE(finished.count(), 0);
    QVERIFY(f.snapshotFiles() == changedAgain);
    QVERIFY(!f.store->integrity().isValid());
    QCOMPARE(rows(view),
        (QStringList { QStringLiteral("Added destination “Intruder”, backing up to sftp:evil:/x."),
            QStringLiteral("Added destination “Second intruder”, backing up to sftp:evil:/y.") }));
    QCOMPARE(
        view.findChild<MessageLabel *>(QStringLiteral("errorMessage"))->text(), ConfigReview::changedAgainMessage());
    QVERIFY(nothingClipped(view));
    QVERIFY(saveScreenshot(view, test::screenshotPath(QStringLiteral("ConfigReviewView-changedAgain"))));

    // Keeping what is now shown seals it.
    keepThroughAlert();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.constFirst().constFirst().toInt(), int(QDialog::Accepted));
    QVERIFY(f.store->integrity().isValid());
    QCOMPARE(f.store->destinations().size(), 4);
}

void ConfigReviewViewTest::undoNamesRemovedDestinations()
{
    test::ConfigReviewFixture f;
    f.replaceSecrets({ QStringLiteral("Pictures"), QStringLiteral("Offsite") });
    ConfigReviewView view(*f.store);
    QSignalSpy finished(&view, &QDialog::finished);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QCOMPARE(rows(view),
        (QStringList { QStringLiteral("Replaced the stored password or keys for “Pictures”."),
            QStringLiteral("Replaced the stored password or keys for “Offsite”.") }));
    const int heightBefore = view.height();

    QTest::mouseClick(button(view, "undoButton"), Qt::LeftButton);
    QCOMPARE(finished.count(), 0);
    auto *result = view.findChild<MessageLabel *>(QStringLiteral("result"));
    QVERIFY(result->isVisible());
    QCOMPARE(result->text(),
        QStringLiteral("Removed Pictures, Offsite because its stored password or keys were replaced. Its backups "
                       "are untouched; add it again with vellmir add-destination and its kind and repository, without "
                       "initialize."));
    QVERIFY(view.height() > heightBefore);
    QVERIFY(nothingClipped(view));
    // The differences are not refreshed.
    QCOMPARE(rows(view).size(), 2);
    QVERIFY(f.store->destinations().isEmpty());
    QVERIFY(saveScreenshot(view, test::screenshotPath(QStringLiteral("ConfigReviewView-undoRemoved"))));
}

void ConfigReviewViewTest::undoFailureStaysOpen()
{
    test::ConfigReviewFixture f;
    f.changeOutside();
    QFile::remove(f.sealPath());
    ConfigReviewView view(*f.store);
    QSignalSpy finished(&view, &QDialog::finished);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    QTest::mouseClick(button(view, "undoButton"), Qt::LeftButton);
    QCOMPARE(finished.count(), 0);
    auto *error = view.findChild<MessageLabel *>(QStringLiteral("errorMessage"));
    QVERIFY(error->isVisible());
    QCOMPARE(error->text(), QStringLiteral("There is no trusted configuration to go back to."));
    QVERIFY(error->textInteractionFlags() & Qt::TextSelectableByMouse);
    QVERIFY(saveScreenshot(view, test::screenshotPath(QStringLiteral("ConfigReviewView-undoFailed"))));
}

void ConfigReviewViewTest::fromAnotherComputer_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("trusted");
    QTest::newRow("Return uses the settings") << int(Qt::Key_Return) << true;
    QTest::newRow("Escape is Later") << int(Qt::Key_Escape) << false;
}

void ConfigReviewViewTest::fromAnotherComputer()
{
    QFETCH(int, key);
    QFETCH(bool, trusted);
    test::ConfigReviewFixture f;
    f.moveToAnotherComputer();
    ConfigReviewView view(*f.store);
    QSignalSpy finished(&view, &QDialog::finished);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    QCOMPARE(text(view, "title"), QStringLiteral("Confirm settings from another computer"));
    QVERIFY(text(view, "explanation")
                .startsWith(QStringLiteral("These settings were saved by Vellmir on another computer")));
    QCOMPARE(buttonRow(view),
        (QStringList { QStringLiteral("|"), QStringLiteral("Later"), QStringLiteral("Use These Settings") }));
    QVERIFY(!button(view, "keepButton")->isVisible());
    QVERIFY(!button(view, "undoButton")->isVisible());
    QCOMPARE(rows(view).size(), 2);
    QVERIFY(nothingClipped(view));
    if (trusted)
        QVERIFY(saveScreenshot(view, test::screenshotPath(QStringLiteral("ConfigReviewView-fromAnotherComputer"))));
    const auto before = f.snapshotFiles();

    QTest::keyClick(&view, Qt::Key(key));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(f.store->fromAnotherComputer(), !trusted);
    QCOMPARE(f.store->integrity().isValid(), trusted);
    if (!trusted)
        QVERIFY(f.snapshotFiles() == before);
    else
        // The variant follows the store once it has reloaded.
        QCOMPARE(text(view, "title"), QStringLiteral("Vellmir's settings were changed outside the app"));
}

void ConfigReviewViewTest::comparisonFailure()
{
    test::ConfigReviewFixture f;
    f.changeOutside();
    writeFileAtomically(f.policyPath(), "{ not json");
    ConfigReviewView view(*f.store);
    QSignalSpy finished(&view, &QDialog::finished);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QCOMPARE(
        rows(view), QStringList { QStringLiteral("Vellmir could not compare its settings with the files on disk.") });
    QVERIFY(saveScreenshot(view, test::screenshotPath(QStringLiteral("ConfigReviewView-comparisonFailed"))));

    QTest::mouseClick(button(view, "undoButton"), Qt::LeftButton);
    QCOMPARE(finished.count(), 1);
    QVERIFY(f.store->integrity().isValid());
}

// A hand-edited name that imitates the fields and pads itself with blanks: the real fields still
// have lines of their own, the blanks are written out, and the sheet scrolls with its buttons on
// the screen.
void ConfigReviewViewTest::forgedNameLeavesTheFieldsInReach()
{
    test::ConfigReviewFixture f;
    QList<Destination> list = f.pair;
    list[0].name = QStringLiteral("Pictures”, backing up to /srv/a. Excludes: none.") + QString(1500, QChar(0x2800));
    list[0].excludes = { QStringLiteral("*") };
    f.writeDestinations(list);
    QFile::remove(f.sealPath());
    f.makeStore(f.keys);
    ConfigReviewView view(*f.store);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    const QString shown = rows(view).join(u'\n');
    QVERIFY(shown.split(u'\n').contains(QStringLiteral("Excludes: *")));
    QVERIFY(!shown.contains(QChar(0x2800)));
    QVERIFY(view.findChild<QScrollArea *>()->verticalScrollBar()->maximum() > 0);
    QPushButton *undo = button(view, "undoButton");
    QVERIFY(view.screen()->availableGeometry().contains(QRect(undo->mapToGlobal(QPoint(0, 0)), undo->size())));
}

QTEST_MAIN(ConfigReviewViewTest)
#include "ConfigReviewViewTest.moc"

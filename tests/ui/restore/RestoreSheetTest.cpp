#include "restore/RestoreSheet.h"
#include "RestoreFixture.h"
#include "kit/PathLabel.h"
#include "kit/Screenshot.h"
#include "kit/StatusLabel.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

using namespace vellmir;
using Phase = RestoreRunner::Phase;

// The restore sheet as the user sees it, offscreen, one screenshot per state.
class RestoreSheetTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::RestoreFixture> m_world;

    std::unique_ptr<RestoreSheet> sheet(const std::optional<QString> &include = std::nullopt) const
    {
        auto dialog
            = std::make_unique<RestoreSheet>(m_world->newest, m_world->destination, include, m_world->services());
        dialog->model()->setFolderChooser([] { return std::nullopt; });
        dialog->model()->setFolderOpener([](const QString &) {});
        dialog->resize(560, 460);
        dialog->show();
        return dialog;
    }
    template <typename T> static T *part(const QWidget &dialog, const char *name)
    {
        T *found = dialog.findChild<T *>(QLatin1String(name));
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }
    static void shoot(RestoreSheet &dialog, const char *state)
    {
        QVERIFY(saveScreenshot(dialog, test::screenshotPath(QStringLiteral("RestoreSheet-") + QLatin1String(state))));
    }

private Q_SLOTS:
    void init() { m_world = std::make_unique<test::RestoreFixture>(); }
    void cleanup() { m_world.reset(); }

    void opensAskingForAFolder()
    {
        auto dialog = sheet();
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Restore Snapshot"));
        QVERIFY(dialog->windowModality() == Qt::WindowModal);
        QCOMPARE(part<QLabel>(*dialog, "idValue")->text(), QStringLiteral("43c4900e"));
        QCOMPARE(part<QLabel>(*dialog, "hostValue")->text(), QStringLiteral("workstation"));
        QCOMPARE(part<QLabel>(*dialog, "contentsValue")->text(), QStringLiteral("Whole snapshot"));
        QCOMPARE(part<PathLabel>(*dialog, "targetPath")->path(), QStringLiteral("Choose a folder\u2026"));
        QVERIFY(!part<QPushButton>(*dialog, "restoreButton")->isEnabled());
        QVERIFY(part<QPushButton>(*dialog, "restoreButton")->isVisible());
        QVERIFY(!part<QWidget>(*dialog, "failureLabel")->isVisible());
        QCOMPARE(part<QPushButton>(*dialog, "closeButton")->text(), QStringLiteral("Close"));
        shoot(*dialog, "opened");
    }

    void longTargetStaysOnOneLine()
    {
        auto dialog = sheet(QStringLiteral("/home/ann/Documents/report.pdf"));
        const QString target = m_world->path(QStringLiteral("target"));
        dialog->model()->setFolderChooser([&] { return target + QStringLiteral("/") + QString(60, u'x'); });
        part<QPushButton>(*dialog, "chooseButton")->click();
        auto *label = part<PathLabel>(*dialog, "targetPath");
        QVERIFY(label->text().contains(u'\u2026'));
        QVERIFY(label->text().endsWith(u'x'));
        QVERIFY(label->height() < 2 * label->fontMetrics().height());
        QVERIFY(part<QPushButton>(*dialog, "restoreButton")->isEnabled());
        QCOMPARE(part<QLabel>(*dialog, "contentsValue")->text(), QStringLiteral("/home/ann/Documents/report.pdf"));
        shoot(*dialog, "chosen-long-path");
    }

    void chooseOpensInTheShownFolder()
    {
        // The sheet's own folder dialog, not the test's stand-in.
        RestoreSheet dialog(m_world->newest, m_world->destination, std::nullopt, m_world->services());
        dialog.show();
        const QString target = m_world->path(QStringLiteral("target"));
        dialog.model()->setTargetPath(target);
        QString openedIn;
        QTimer closer;
        closer.setInterval(20);
        connect(&closer, &QTimer::timeout, this, [&] {
            if (auto *chooser = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
                openedIn = chooser->directory().absolutePath();
                chooser->reject();
            }
        });
        closer.start();
        part<QPushButton>(dialog, "chooseButton")->click();
        QCOMPARE(openedIn, target);
        QCOMPARE(dialog.model()->targetPath(), target);
    }

    void runningHidesRestoreAndHoldsTheSheet()
    {
        m_world->script(QStringLiteral("restore.stdout"), test::RestoreFixture::restoreOutput(1, 1));
        m_world->script(QStringLiteral("restore.sleep"), "30");
        // restic counts the folder it recreates ("1 / 2"); the progress counts the file, as the result does.
        m_world->script(QStringLiteral("ls.stdout"),
            test::RestoreFixture::node(QStringLiteral("/home"), QStringLiteral("dir"))
                + test::RestoreFixture::node(QStringLiteral("/home/a.txt"), QStringLiteral("file"), 1));
        auto dialog = sheet();
        dialog->model()->setTargetPath(m_world->path(QStringLiteral("target")));
        part<QPushButton>(*dialog, "restoreButton")->click();
        QTRY_COMPARE(part<QLabel>(*dialog, "progressFiles")->text(), QStringLiteral("1 / 1 files"));
        QVERIFY(!part<QPushButton>(*dialog, "restoreButton")->isVisible());
        QVERIFY(part<QWidget>(*dialog, "progress")->isVisible());
        QCOMPARE(part<QPushButton>(*dialog, "closeButton")->text(), QStringLiteral("Close"));
        QVERIFY(!part<QPushButton>(*dialog, "closeButton")->isEnabled());
        QVERIFY(part<QPushButton>(*dialog, "chooseButton")->isEnabled());
        shoot(*dialog, "running");

        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        QVERIFY(dialog->isVisible());
        QVERIFY(!dialog->close());

        part<QPushButton>(*dialog, "cancelButton")->click();
        QTRY_VERIFY(part<QPushButton>(*dialog, "restoreButton")->isVisible());
        QVERIFY(part<QPushButton>(*dialog, "closeButton")->isEnabled());
        QCOMPARE(dialog->model()->targetPath(), m_world->path(QStringLiteral("target")));
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        QVERIFY(!dialog->isVisible());
    }

    void finishedShowsTheResult()
    {
        m_world->script(QStringLiteral("restore.stdout"), test::RestoreFixture::restoreOutput(1234, 5600000));
        m_world->restoreWrites(1234);
        auto dialog = sheet();
        dialog->model()->setTargetPath(m_world->path(QStringLiteral("target")));
        QString opened;
        dialog->model()->setFolderOpener([&](const QString &path) { opened = path; });
        part<QPushButton>(*dialog, "restoreButton")->click();
        QTRY_COMPARE(part<QPushButton>(*dialog, "closeButton")->text(), QStringLiteral("Done"));
        QVERIFY(part<QPushButton>(*dialog, "closeButton")->isEnabled());
        QVERIFY(part<StatusLabel>(*dialog, "successLabel")->isVisible());
        QVERIFY(part<StatusLabel>(*dialog, "successLabel")->text().startsWith(QStringLiteral("Restored 1234 files, ")));
        QVERIFY(!part<QPushButton>(*dialog, "restoreButton")->isVisible());
        shoot(*dialog, "finished");
        part<QPushButton>(*dialog, "showButton")->click();
        QVERIFY(QFileInfo(opened).fileName().startsWith(QStringLiteral("Vellmir Restore ")));
    }

    void failureIsShownAndRestoreOffersAnotherTry()
    {
        // A path longer than the sheet is wide: the message still ends inside the sheet.
        const QByteArray path = "/srv/backup/" + QByteArray(240, 'x');
        m_world->script(QStringLiteral("restore.stderr"), "Fatal: unable to open repository at " + path + "\n");
        m_world->script(QStringLiteral("restore.exit"), "1");
        auto dialog = sheet();
        dialog->model()->setTargetPath(m_world->path(QStringLiteral("target")));
        part<QPushButton>(*dialog, "restoreButton")->click();
        QTRY_VERIFY(part<StatusLabel>(*dialog, "failureLabel")->isVisible());
        auto *failure = part<StatusLabel>(*dialog, "failureLabel");
        // restic's error line may show before the run has ended and the message is complete.
        QTRY_VERIFY(failure->text().startsWith(
            QStringLiteral("Fatal: unable to open repository at ") + QString::fromLatin1(path) + u'\n'));
        QVERIFY(failure->textLabel()->textInteractionFlags() & Qt::TextSelectableByMouse);
        QTRY_VERIFY(
            failure->textLabel()->mapTo(dialog.get(), QPoint(failure->textLabel()->width(), 0)).x() <= dialog->width());
        // restic's error line arrives while the restore still runs; the run ends just after.
        QTRY_VERIFY(part<QPushButton>(*dialog, "restoreButton")->isEnabled());
        QTRY_COMPARE(part<QPushButton>(*dialog, "closeButton")->text(), QStringLiteral("Close"));
        shoot(*dialog, "failed");
    }
};

QTEST_MAIN(RestoreSheetTest)
#include "RestoreSheetTest.moc"

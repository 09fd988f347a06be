#include "agent/ApprovalDialog.h"
#include "TestSupport.h"
#include "kit/Screenshot.h"
#include "util/TextRules.h"

#include <QApplication>
#include <QDialog>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextLayout>
#include <QtTest>
#include <atomic>
#include <thread>

using namespace vellmir;

namespace {
QDialog *shownDialog()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QStringLiteral("approvalDialog") && widget->isVisible())
            return qobject_cast<QDialog *>(widget);
    return nullptr;
}

QPushButton *button(int index)
{
    return shownDialog()->findChild<QPushButton *>(QStringLiteral("approvalButton%1").arg(index));
}

ChangeRequest request()
{
    // Agents choose these words: markup in them must show as typed.
    return ChangeRequest { QStringLiteral("remove-destination"), QStringLiteral("Remove destination “Home<br>”?"),
        { QStringLiteral("Repository: /srv/backup<span style='font-size:1px'>"), QStringLiteral("Folders: ~/.ssh") } };
}

// A question of this test's own: other tests may show theirs meanwhile. `clock`: the dialog's.
std::shared_ptr<DialogApprover> approver(double timeout = 300, SteadyClock clock = {})
{
    return std::make_shared<DialogApprover>(timeout, std::make_shared<ApprovalDialog>(std::move(clock)),
        QStringLiteral("vellmir-test-approval-%1").arg(QCoreApplication::applicationPid()));
}

// Asks on a thread of its own. Stopped should the test end early, so a failed check ends the
// question at once instead of leaving the test waiting for its time-out.
std::jthread ask(DialogApprover &asker, std::atomic<int> &decision)
{
    return std::jthread(
        [&](std::stop_token stop) { decision = static_cast<int>(asker.decide(request(), std::move(stop))); });
}

QDialog *exposedDialog()
{
    QDialog *dialog = shownDialog();
    return dialog && dialog->windowHandle()->isExposed() ? dialog : nullptr;
}

// Whether this process shows its windows under the theme Qt picks for `desktop`.
bool underDesktop(const QString &desktop)
{
    return QGuiApplication::platformName() == QLatin1String("xcb")
        && qEnvironmentVariable("XDG_CURRENT_DESKTOP") == desktop;
}

// Runs the current row again in a process of its own, on an X server of its own, under the theme
// Qt picks for `desktop`: Qt chooses its theme once, as the application starts.
void runUnderDesktop(const QString &desktop)
{
    if (QStandardPaths::findExecutable(QStringLiteral("xvfb-run")).isEmpty())
        QSKIP("xvfb-run is missing; scripts/setup installs it");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), desktop);
    environment.insert(QStringLiteral("KDE_SESSION_VERSION"), QStringLiteral("5"));
    QProcess row;
    row.setProcessEnvironment(environment);
    row.setProcessChannelMode(QProcess::MergedChannels);
    row.start(QStringLiteral("xvfb-run"),
        { QStringLiteral("-a"), QStringLiteral("-s"), QStringLiteral("-nolisten tcp"),
            QCoreApplication::applicationFilePath(),
            QStringLiteral("%1:%2").arg(
                QString::fromLatin1(QTest::currentTestFunction()), QString::fromLatin1(QTest::currentDataTag())) });
    QVERIFY(row.waitForFinished(60000));
    QVERIFY2(row.exitStatus() == QProcess::NormalExit && row.exitCode() == 0, row.readAll().constData());
}
} // namespace

class ApprovalDialogTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A click in the first moment does nothing: the question may have just appeared under it, or
    // a window over it (a look-alike question's) may have just gone. The moment starts again each
    // time the window comes back.
    void allowActsOnlyAfterAMomentOnScreen_data()
    {
        QTest::addColumn<QString>("comesBack");
        QTest::newRow("shown again") << "shown";
        QTest::newRow("uncovered") << "exposed";
        QTest::newRow("activated") << "activated";
        QTest::newRow("the pointer comes in") << "entered";
    }

    void allowActsOnlyAfterAMomentOnScreen()
    {
        QFETCH(QString, comesBack);
        std::atomic<qint64> now { 0 };
        const auto asker = approver(300, [&now] { return now.load(); });
        std::atomic<int> decision { -1 };
        const std::jthread worker = ask(*asker, decision);

        QTRY_VERIFY(exposedDialog() != nullptr);
        QDialog *dialog = shownDialog();
        QWindow *window = dialog->windowHandle();
        const ApprovalPrompt::Alert alert = asker->alert(request());
        QCOMPARE(
            dialog->findChild<QPlainTextEdit *>(QStringLiteral("approvalTitle"))->toPlainText(), alert.messageText);
        QCOMPARE(dialog->findChild<QPlainTextEdit *>(QStringLiteral("approvalDetails"))->toPlainText(),
            alert.informativeText);
        QVERIFY(saveScreenshot(*dialog, test::screenshotPath(QStringLiteral("ApprovalDialog-asking"))));
        QVERIFY(button(0)->isDefault());
        QCOMPARE(button(0)->text(), QStringLiteral("Deny"));
        QVERIFY(!button(1)->isEnabled());
        now = 999;
        QTest::mouseClick(button(1), Qt::LeftButton);
        QVERIFY(shownDialog() == dialog);
        if (comesBack == u"shown") {
            dialog->hide();
            QTRY_VERIFY(!window->isExposed());
            dialog->show();
            QTRY_VERIFY(exposedDialog() == dialog);
        } else if (comesBack == u"exposed") {
            QExposeEvent exposed(QRegion(QRect(QPoint(), window->size())));
            QCoreApplication::sendEvent(window, &exposed);
        } else if (comesBack == u"activated") {
            QFocusEvent focus(QEvent::FocusIn, Qt::ActiveWindowFocusReason);
            QCoreApplication::sendEvent(window, &focus);
        } else {
            QEnterEvent entered(QPointF(1, 1), QPointF(1, 1), window->mapToGlobal(QPointF(1, 1)));
            QCoreApplication::sendEvent(window, &entered);
        }
        now = 1500;
        QVERIFY(!button(1)->isEnabled());
        QTest::mouseClick(button(1), Qt::LeftButton);
        QVERIFY(shownDialog() == dialog);
        QCOMPARE(decision.load(), -1);
        now = 1999;
        QTest::mouseClick(button(1), Qt::LeftButton);
        QTRY_COMPARE(decision.load(), static_cast<int>(ApprovalDecision::approvedByUser));
    }

    // Text typed for another window reaches the question when it takes the keyboard: Tab may
    // move to Allow, but no key of a stream, nor one right after the window appeared, presses
    // it, whichever keys the desktop's theme lets press a button. A Space after a pause does,
    // for those who answer without a pointer.
    void typedKeysNeverApprove_data()
    {
        // Typed 10 ms apart; "~" lets two seconds pass, "^" gives the window the focus back,
        // "\n" is Return, "\r" the keypad's Enter and ">" the right arrow.
        QTest::addColumn<QString>("keys");
        QTest::addColumn<qint64>("start"); // on the dialog's clock; it came on screen at 0
        QTest::addColumn<bool>("approved");
        QTest::addColumn<QString>("desktop"); // the theme's, as XDG_CURRENT_DESKTOP names it; "": Qt's own
        QTest::newRow("a name typed through after a second") << "Alice\tSmith 42" << qint64(1200) << false << "";
        QTest::newRow("Tab then Space") << "\t " << qint64(1500) << false << "";
        QTest::newRow("Space after a pause") << "\t" << qint64(1500) << true << "";
        QTest::newRow("Space as the focus comes back from typing elsewhere") << "\t~^ " << qint64(1500) << false << "";
        // No key of a stream, whichever it is, leaves Allow where a Space after a pause presses it.
        QTest::newRow("text, an arrow, text, a pause, Space") << "abc>def~ " << qint64(1200) << false << "";
        QTest::newRow("Tab after a pause, text, a pause, Space") << "\tdef~ " << qint64(1500) << false << "";
        // GNOME's theme lets Return and Enter press the focused button; KDE's and Qt's own do not.
        QTest::newRow("a name, Tab, Return: Qt's theme") << "Alice\t\n" << qint64(1200) << false << "";
        QTest::newRow("a name, Tab, Return: GNOME") << "Alice\t\n" << qint64(1200) << false << "GNOME";
        QTest::newRow("a name, Tab, Enter: KDE") << "Alice\t\r" << qint64(1200) << false << "KDE";
    }

    void typedKeysNeverApprove()
    {
        QFETCH(QString, keys);
        QFETCH(qint64, start);
        QFETCH(bool, approved);
        QFETCH(QString, desktop);
        if (!desktop.isEmpty() && !underDesktop(desktop)) {
            runUnderDesktop(desktop);
            return;
        }
        std::atomic<qint64> now { 0 };
        const auto asker = approver(300, [&now] { return now.load(); });
        std::atomic<int> decision { -1 };
        const std::jthread worker = ask(*asker, decision);
        QTRY_VERIFY(exposedDialog() != nullptr);
        // One order under every theme: Deny at the right-hand end, Allow beside it.
        QVERIFY(button(1)->x() < button(0)->x());
        const QPointer<QWindow> window = shownDialog()->windowHandle();
        now = start;
        for (const QChar key : keys) {
            if (!window)
                break; // answered
            if (key == u'~') {
                now += 2000;
                continue;
            }
            if (key == u'^') {
                QFocusEvent focus(QEvent::FocusIn, Qt::ActiveWindowFocusReason);
                QCoreApplication::sendEvent(window.data(), &focus);
                now += 10;
                continue;
            }
            QTest::keyClick(window.data(),
                key == u'\t'       ? Qt::Key_Tab
                    : key == u' '  ? Qt::Key_Space
                    : key == u'\n' ? Qt::Key_Return
                    : key == u'\r' ? Qt::Key_Enter
                    : key == u'>'  ? Qt::Key_Right
                                   : Qt::Key(key.toUpper().unicode()),
                key == u'\r' ? Qt::KeypadModifier : Qt::NoModifier);
            now += 10;
        }
        if (approved) {
            QVERIFY(window);
            now += 1000;
            QTest::keyClick(window.data(), Qt::Key_Space);
            QTRY_COMPARE(decision.load(), static_cast<int>(ApprovalDecision::approvedByUser));
            return;
        }
        // Return may have given the safe answer already.
        if (window)
            QTest::keyClick(window.data(), Qt::Key_Escape);
        QTRY_COMPARE(decision.load(), static_cast<int>(ApprovalDecision::denied));
    }

    void keysDenyAtOnce_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("focusAllowFirst");
        QTest::newRow("Escape") << int(Qt::Key_Escape) << false;
        // Focus that passed over Allow does not make it Return's answer.
        QTest::newRow("Return after Allow had the focus") << int(Qt::Key_Return) << true;
    }

    void keysDenyAtOnce()
    {
        QFETCH(int, key);
        QFETCH(bool, focusAllowFirst);
        const auto asker = approver();
        std::atomic<int> decision { -1 };
        const std::jthread worker = ask(*asker, decision);
        QTRY_VERIFY(shownDialog() != nullptr);
        if (focusAllowFirst) {
            QTRY_VERIFY_WITH_TIMEOUT(button(1)->isEnabled(), 3000);
            button(1)->setFocus();
            shownDialog()->findChild<QPlainTextEdit *>(QStringLiteral("approvalDetails"))->setFocus();
        }
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : shownDialog(), Qt::Key(key));
        QTRY_COMPARE_WITH_TIMEOUT(decision.load(), static_cast<int>(ApprovalDecision::denied), 900);
    }

    void longQuestionWrapsScrollsAndKeepsItsButtonsOnScreen()
    {
        const QString longFolder = QStringLiteral("Back up: ~/") + QString(4000, u's') + QStringLiteral("END");
        QStringList details(300, QStringLiteral("Back up: ~/Documents/folder-with-a-name"));
        details.prepend(longFolder);
        const auto asker = approver();
        std::jthread worker([&](std::stop_token stop) {
            asker->decide(ChangeRequest { QStringLiteral("update-destination"), QString(256, u'n'), details }, stop);
        });
        QTRY_VERIFY(shownDialog() != nullptr);
        QDialog *dialog = shownDialog();
        const QRect available = dialog->screen()->availableGeometry();
        QVERIFY(available.contains(dialog->frameGeometry()));
        for (int i = 0; i < 2; ++i)
            QVERIFY(dialog->rect().contains(QRect(button(i)->mapTo(dialog, QPoint()), button(i)->size())));
        auto *view = dialog->findChild<QPlainTextEdit *>(QStringLiteral("approvalDetails"));
        QCOMPARE(view->horizontalScrollBar()->maximum(), 0);
        QVERIFY(view->verticalScrollBar()->maximum() > 0);
        QVERIFY(saveScreenshot(*dialog, test::screenshotPath(QStringLiteral("ApprovalDialog-long"))));
        QTest::keyClick(dialog, Qt::Key_Escape);
    }

    void linesAreDrawnAsTheyRead()
    {
        // Few enough marks for the text rules, yet stacked they climb over the line above.
        const auto asker = approver();
        const QString hebrew = QStringLiteral("\u05D0\u05D1"); // alef, bet
        const QString other = QStringLiteral("\u05D2\u05D3"); // gimel, dalet
        std::jthread worker([&](std::stop_token stop) {
            asker->decide(
                ChangeRequest { QStringLiteral("update-destination"), QStringLiteral("Change?"),
                    { QStringLiteral("Stop backing up: ~/Documents"),
                        QStringLiteral("Back up: ~/a\u0301\u0301\u0301\u0301"),
                        QStringLiteral("Back up: ") + TextRules::isolated("~/" + hebrew + "/Documents"),
                        QStringLiteral("Back up: ") + TextRules::isolated("~/x/" + hebrew + "/" + other + "/y") } },
                stop);
        });
        QTRY_VERIFY(shownDialog() != nullptr);
        auto *view = shownDialog()->findChild<QPlainTextEdit *>(QStringLiteral("approvalDetails"));
        QVERIFY2(view->toPlainText().startsWith(
                     QStringLiteral("Stop backing up: ~/Documents\nBack up: ~/a⟨U+0301⟩⟨U+0301⟩⟨U+0301⟩⟨U+0301⟩\n")),
            qPrintable(view->toPlainText()));
        // A path reads left to right, each name in its own direction, whatever direction its first
        // name has: on screen, each of these characters lies right of the one before.
        const auto rightwards = [view](int blockNumber, const QStringList &characters) {
            const QTextBlock block = view->document()->findBlockByNumber(blockNumber);
            const QTextLine line = block.layout()->lineAt(0);
            // Where each character is, found from the screen's side: the character under each pixel.
            QHash<int, int> leftmost;
            for (int x = qFloor(line.naturalTextWidth()); x >= 0; --x)
                leftmost[line.xToCursor(x, QTextLine::CursorOnCharacter)] = x;
            int last = -1;
            for (const QString &character : characters) {
                const int at = static_cast<int>(block.text().indexOf(character));
                if (at < 0 || !leftmost.contains(at) || leftmost.value(at) <= last)
                    return false;
                last = leftmost.value(at);
            }
            return true;
        };
        QVERIFY(rightwards(2, { "~", hebrew.right(1), hebrew.left(1), "Documents" }));
        QVERIFY(rightwards(3, { "~", "x", hebrew.right(1), hebrew.left(1), other.right(1), other.left(1), "y" }));
        QTest::keyClick(shownDialog(), Qt::Key_Escape);
    }

    void unansweredDialogTimesOutAndGoesAway()
    {
        const auto asker = approver(0.3);
        std::atomic<int> decision { -1 };
        const std::jthread worker = ask(*asker, decision);
        QTRY_COMPARE(decision.load(), static_cast<int>(ApprovalDecision::timedOut));
        QTRY_VERIFY(shownDialog() == nullptr);
    }
};

QTEST_MAIN(ApprovalDialogTest)
#include "ApprovalDialogTest.moc"

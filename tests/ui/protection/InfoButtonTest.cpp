#include "protection/InfoButton.h"
#include "TestSupport.h"
#include "kit/Screenshot.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocument>
#include <QToolTip>
#include <QVBoxLayout>

using namespace vellmir;

class InfoButtonTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void explainsOnHoverAndForAssistiveTools();
    void pressingTogglesThePopover();
    void popoverSitsOnTheTrailingSide();
    void longTextWrapsAndGrows();
    void emptyTextStillShowsTheButton();
    void clickElsewhereCloses();
    void pressOnTheButtonWhileOpenCloses();
};

namespace {

QLabel *popoverText(InfoButton &button)
{
    return button.popover() ? button.popover()->findChild<QLabel *>(QStringLiteral("popoverText")) : nullptr;
}

QWidget *toolTipWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QLatin1String("qtooltip_label"))
            return widget;
    return nullptr;
}

struct Host {
    QWidget window;
    InfoButton *button;
    explicit Host(const QString &text)
        : button(new InfoButton(text))
    {
        auto *layout = new QVBoxLayout(&window);
        layout->addWidget(button);
        window.move(100, 100);
        window.show();
    }
};

} // namespace

void InfoButtonTest::explainsOnHoverAndForAssistiveTools()
{
    InfoButton button(QStringLiteral("Where restic keeps the backups."));
    // Rich text, so that Qt wraps it; what reads is the text exactly, markup and all.
    QVERIFY(Qt::mightBeRichText(button.toolTip()));
    QTextDocument shown;
    shown.setHtml(button.toolTip());
    QCOMPARE(shown.toPlainText(), QStringLiteral("Where restic keeps the backups."));
    InfoButton marked(QStringLiteral("Folders like <img src=x> & co."));
    shown.setHtml(marked.toolTip());
    QCOMPARE(shown.toPlainText(), QStringLiteral("Folders like <img src=x> & co."));
    QCOMPARE(button.accessibleName(), QStringLiteral("More information"));
    // A screen reader reads the text, never the tooltip's markup.
    QCOMPARE(marked.accessibleDescription(), QStringLiteral("Folders like <img src=x> & co."));
    QVERIFY(!button.icon().isNull());
    QVERIFY(button.autoRaise());
    QVERIFY(!button.isShowing());
    QVERIFY(!button.popover());
}

void InfoButtonTest::pressingTogglesThePopover()
{
    Host host(QStringLiteral("Short help."));
    QVERIFY(QTest::qWaitForWindowExposed(&host.window));
    QSignalSpy changed(host.button, &InfoButton::showingChanged);
    host.button->click();
    QVERIFY(host.button->isShowing());
    QVERIFY(host.button->popover()->isVisible());
    QCOMPARE(popoverText(*host.button)->text(), QStringLiteral("Short help."));
    QVERIFY(saveScreenshot(*host.button->popover(), test::screenshotPath(QStringLiteral("InfoButton-open"))));
    host.button->click();
    QVERIFY(!host.button->isShowing());
    QVERIFY(!host.button->popover()->isVisible());
    QCOMPARE(changed.count(), 2);
}

void InfoButtonTest::popoverSitsOnTheTrailingSide()
{
    Host host(QStringLiteral("Beside me."));
    QVERIFY(QTest::qWaitForWindowExposed(&host.window));
    host.button->click();
    const QRect button(host.button->mapToGlobal(QPoint(0, 0)), host.button->size());
    const QRect popover = host.button->popover()->frameGeometry();
    // Beside the button on its right, not over it (the offscreen platform shifts windows by a frame margin).
    QVERIFY(popover.left() > button.right());
    QVERIFY(popover.left() - button.right() <= 4);
    QVERIFY(popover.top() <= button.center().y() && popover.bottom() >= button.center().y());
    host.button->click();
}

void InfoButtonTest::longTextWrapsAndGrows()
{
    const QString text = QStringLiteral("A long explanation that cannot fit on one line of three hundred points, so "
                                        "it wraps onto several lines, and the popover grows in height to show every "
                                        "word of it rather than cutting any of it off at the bottom edge.");
    Host host(text);
    QVERIFY(QTest::qWaitForWindowExposed(&host.window));
    host.button->click();
    QLabel *label = popoverText(*host.button);
    QCOMPARE(label->width(), InfoButton::textWidth);
    QVERIFY(label->wordWrap());
    const int oneLine = label->fontMetrics().height();
    QVERIFY(label->height() >= 3 * oneLine);
    QVERIFY(label->height() >= label->heightForWidth(InfoButton::textWidth));
    QVERIFY(host.button->popover()->height() > label->height());
    QVERIFY(saveScreenshot(*host.button->popover(), test::screenshotPath(QStringLiteral("InfoButton-long"))));
    host.button->click();

    // The hover tooltip wraps too, at a readable width, rather than running across the screen.
    QToolTip::showText(host.button->mapToGlobal(QPoint(0, 0)), host.button->toolTip(), host.button);
    QLabel *tip = nullptr;
    QTRY_VERIFY((tip = qobject_cast<QLabel *>(toolTipWindow())) && tip->isVisible());
    QVERIFY2(tip->width() <= 640, QByteArray::number(tip->width()).constData());
    QVERIFY(tip->height() >= 2 * tip->fontMetrics().height());
    QVERIFY(saveScreenshot(*tip, test::screenshotPath(QStringLiteral("InfoButton-tooltip"))));
    QToolTip::hideText();
}

void InfoButtonTest::emptyTextStillShowsTheButton()
{
    Host host { QString() };
    QVERIFY(QTest::qWaitForWindowExposed(&host.window));
    QVERIFY(host.button->isVisible());
    QVERIFY(host.button->width() > 0);
    host.button->click();
    QVERIFY(host.button->isShowing());
    QVERIFY(popoverText(*host.button)->text().isEmpty());
    QVERIFY(saveScreenshot(*host.button->popover(), test::screenshotPath(QStringLiteral("InfoButton-empty"))));
    host.button->click();
}

void InfoButtonTest::clickElsewhereCloses()
{
    Host host(QStringLiteral("Help."));
    QVERIFY(QTest::qWaitForWindowExposed(&host.window));
    host.button->click();
    QWidget *popover = host.button->popover();
    // Presses outside a popup go to the popup first; far away from the button.
    QTest::mousePress(popover, Qt::LeftButton, {}, QPoint(-200, -200));
    QVERIFY(!popover->isVisible());
    QVERIFY(!host.button->isShowing());
    // It opens again on the next press.
    host.button->click();
    QVERIFY(host.button->isShowing());
    host.button->click();
}

void InfoButtonTest::pressOnTheButtonWhileOpenCloses()
{
    Host host(QStringLiteral("Help."));
    QVERIFY(QTest::qWaitForWindowExposed(&host.window));
    host.button->click();
    QWidget *popover = host.button->popover();
    const QPoint onButton = popover->mapFromGlobal(host.button->mapToGlobal(host.button->rect().center()));
    QTest::mousePress(popover, Qt::LeftButton, {}, onButton);
    QVERIFY(!popover->isVisible());
    QVERIFY(!host.button->isShowing());
    // The press that closed the popover must not reach the button and reopen it.
    QTest::qWait(50);
    QVERIFY(!host.button->isShowing());
}

QTEST_MAIN(InfoButtonTest)
#include "InfoButtonTest.moc"

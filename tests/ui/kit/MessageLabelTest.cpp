#include "kit/MessageLabel.h"
#include "TestSupport.h"
#include "kit/Screenshot.h"

#include <QScrollBar>
#include <QTest>

using namespace vellmir;

class MessageLabelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void showsTheMessageAsItCame();
};

void MessageLabelTest::showsTheMessageAsItCame()
{
    // restic's messages can hold anything a path can, markup-like text included.
    const QString message
        = QStringLiteral("Fatal: unable to open config file: <html>/repo/a&b\nIs there a repository?");
    MessageLabel label(message);
    label.setFixedWidth(300);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    QCOMPARE(label.text(), message);
    QCOMPARE(label.toPlainText(), message);
    QVERIFY(label.wordWrap());
    QVERIFY(label.textInteractionFlags().testFlag(Qt::TextSelectableByMouse));
    QVERIFY(label.tone() == StatusTone::failure);
    QCOMPARE(label.palette().color(QPalette::WindowText), StatusStyle::color(StatusTone::failure, label.palette()));
    QVERIFY(saveScreenshot(label, test::screenshotPath(QStringLiteral("MessageLabel-failure"))));

    // A path longer than the line, with restic's reason after it: all of it shows, on more lines.
    const QString longPath
        = QStringLiteral("open /home/u/") + QString(300, u'a') + QStringLiteral(": file name too long");
    label.setText(longPath);
    QVERIFY(label.minimumSizeHint().width() <= 300);
    QVERIFY(label.heightForWidth(300) >= 3 * label.fontMetrics().height());
    QCOMPARE(label.toPlainText(), longPath);

    // A restore's 33 errors: the label keeps to its height, and the rest scrolls into view.
    QStringList errors { QStringLiteral("Fatal: There were 33 errors:") };
    for (int item = 1; item <= 33; ++item)
        errors.append(QStringLiteral("/home/u/f%1: permission denied").arg(item));
    label.setText(errors.join(u'\n'));
    label.setMaxLines(12);
    label.setFixedHeight(label.heightForWidth(300));
    QVERIFY(label.height() <= 13 * label.fontMetrics().lineSpacing());
    QTRY_VERIFY(label.verticalScrollBar()->maximum() > 0);
    QVERIFY(label.verticalScrollBar()->isVisible());
    label.setMaxLines(0);
    label.setMinimumHeight(0);
    label.setMaximumHeight(QWIDGETSIZE_MAX);

    // A name that would turn the line around, or hide a character, shows it written out.
    label.setText(QStringLiteral("cannot read /home/u/lap\u202Etop/a\u200Bb"));
    QCOMPARE(label.toPlainText(), QStringLiteral("cannot read /home/u/lap⟨U+202E⟩top/a⟨U+200B⟩b"));
    QVERIFY(saveScreenshot(label, test::screenshotPath(QStringLiteral("MessageLabel-long-path"))));
}

QTEST_MAIN(MessageLabelTest)
#include "MessageLabelTest.moc"

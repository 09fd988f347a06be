#include "kit/MessageLabel.h"
#include "TestSupport.h"
#include "kit/Screenshot.h"

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

    // A name that would turn the line around, or hide a character, shows it written out.
    label.setText(QStringLiteral("cannot read /home/u/lap\u202Etop/a\u200Bb"));
    QCOMPARE(label.toPlainText(), QStringLiteral("cannot read /home/u/lap⟨U+202E⟩top/a⟨U+200B⟩b"));
    QVERIFY(saveScreenshot(label, test::screenshotPath(QStringLiteral("MessageLabel-long-path"))));
}

QTEST_MAIN(MessageLabelTest)
#include "MessageLabelTest.moc"

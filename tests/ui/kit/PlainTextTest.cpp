#include "kit/PlainText.h"
#include "ShownToolTip.h"

#include <QKeySequence>
#include <QLabel>
#include <QTest>

using namespace vellmir;

class PlainTextTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void toolTipsShowTheirText_data();
    void toolTipsShowTheirText();
    void buttonTitlesKeepAmpersands_data();
    void buttonTitlesKeepAmpersands();
    void labelsAreAsTallAsQtWouldMakeThem_data();
    void labelsAreAsTallAsQtWouldMakeThem();
};

void PlainTextTest::toolTipsShowTheirText_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("plain") << QStringLiteral("/home/someone/a  b.txt");
    QTest::newRow("image tag") << QStringLiteral("/restore/<img src=\"/dev/zero\">");
    QTest::newRow("bold tag") << QStringLiteral("<b>bold</b> and  more");
    QTest::newRow("entity") << QStringLiteral("/x/a&lt;b&amp;c");
    QTest::newRow("two lines") << QStringLiteral("<i>first</i>\nsecond");
}

void PlainTextTest::toolTipsShowTheirText()
{
    QFETCH(QString, text);
    const QString tip = plainAutoText(text);
    QCOMPARE(test::shownToolTip(tip), text);
    QCOMPARE(tip.isEmpty(), text.isEmpty());
}

void PlainTextTest::buttonTitlesKeepAmpersands_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("none") << QStringLiteral("Documents");
    QTest::newRow("one") << QStringLiteral("Tom & Jerry");
    QTest::newRow("before a letter") << QStringLiteral("R&D");
    QTest::newRow("doubled") << QStringLiteral("a&&b");
}

void PlainTextTest::buttonTitlesKeepAmpersands()
{
    QFETCH(QString, text);
    const QString title = plainButtonText(text);
    QVERIFY(QKeySequence::mnemonic(title).isEmpty());
    QCOMPARE(QString(title).replace(QStringLiteral("&&"), QStringLiteral("&")), text);
}

void PlainTextTest::labelsAreAsTallAsQtWouldMakeThem_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("then");
    const QString longLine = QStringLiteral("Last backup failed: ").repeated(12);
    QTest::newRow("fits") << QStringLiteral("Last backup 2 hours ago") << QString();
    QTest::newRow("wraps") << longLine << QString();
    QTest::newRow("two lines") << QStringLiteral("first\nsecond") << QString();
    QTest::newRow("grows") << QStringLiteral("short") << longLine;
    QTest::newRow("shrinks") << longLine << QStringLiteral("short");
    QTest::newRow("bigger font") << QStringLiteral("Next backup in 3 hours") << QStringLiteral("font");
    // Measured by a label of other settings first, whose sizes are not this one's.
    QTest::newRow("after an indented label") << QStringLiteral("Automatic backups are off") << QStringLiteral("indent");
}

void PlainTextTest::labelsAreAsTallAsQtWouldMakeThem()
{
    // Sizes may be measured once per text, yet every label must get what Qt's own label says.
    QFETCH(QString, text);
    QFETCH(QString, then);
    QLabel *label = plainLabel(text, nullptr);
    QLabel reference(text);
    reference.setWordWrap(true);
    for (QLabel *each : { label, &reference })
        each->heightForWidth(400);
    if (then == QLatin1String("indent")) {
        label->setIndent(30);
        label->sizeHint();
        label->heightForWidth(120);
        label->setIndent(-1);
    } else if (then == QLatin1String("font")) {
        QFont font = reference.font();
        font.setPointSizeF(font.pointSizeF() * 2);
        label->setFont(font);
        reference.setFont(font);
    } else if (!then.isEmpty()) {
        label->setText(then);
        reference.setText(then);
    }
    // A second label with the same text and font takes the first one's measurements.
    QLabel *twin = plainLabel(label->text(), nullptr);
    twin->setFont(label->font());
    for (QLabel *each : { label, twin }) {
        for (int width : { 40, 120, 400, 2000 })
            QCOMPARE(each->heightForWidth(width), reference.heightForWidth(width));
        QCOMPARE(each->sizeHint(), reference.sizeHint());
        QCOMPARE(each->minimumSizeHint(), reference.minimumSizeHint());
    }
    delete twin;
    delete label;
}

QTEST_MAIN(PlainTextTest)
#include "PlainTextTest.moc"

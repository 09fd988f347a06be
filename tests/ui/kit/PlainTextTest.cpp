#include "kit/PlainText.h"
#include "ShownToolTip.h"

#include <QKeySequence>
#include <QTest>

using namespace vellmir;

class PlainTextTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void toolTipsShowTheirText_data();
    void toolTipsShowTheirText();
    void buttonTitlesKeepAmpersands_data();
    void buttonTitlesKeepAmpersands();
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
    const QString tip = plainToolTip(text);
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

QTEST_MAIN(PlainTextTest)
#include "PlainTextTest.moc"

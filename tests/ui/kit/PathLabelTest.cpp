#include "kit/PathLabel.h"
#include "ShownToolTip.h"
#include "TestSupport.h"
#include "kit/Screenshot.h"

#include <QTest>

using namespace vellmir;

class PathLabelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void longPathsLoseTheirMiddle();
    void shortPathsShowWhole();
    void namesShowWholeAtTheirSizeHint_data();
    void namesShowWholeAtTheirSizeHint();
    void lineBreaksStayOnOneLine();
    void toolTipsShowMarkupAsText_data();
    void toolTipsShowMarkupAsText();
};

void PathLabelTest::longPathsLoseTheirMiddle()
{
    const QString path = QStringLiteral(
        "/home/someone/Documents/Projects/2026/a rather long folder name/and another/report-final.pdf");
    PathLabel label(path);
    label.resize(200, label.sizeHint().height());
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    QVERIFY(label.text().contains(QChar(0x2026)));
    QVERIFY(label.text().startsWith(QStringLiteral("/ho")));
    QVERIFY(label.text().endsWith(QStringLiteral(".pdf")));
    QCOMPARE(label.path(), path);
    QCOMPARE(label.toolTip(), path);
    QVERIFY(saveScreenshot(label, test::screenshotPath(QStringLiteral("PathLabel-truncated"))));

    label.resize(label.sizeHint());
    QCOMPARE(label.text(), path);
}

void PathLabelTest::shortPathsShowWhole()
{
    PathLabel label(QStringLiteral("/tmp/a"));
    label.resize(300, 20);
    QCOMPARE(label.text(), QStringLiteral("/tmp/a"));
    QCOMPARE(label.textFormat(), Qt::PlainText);
}

void PathLabelTest::namesShowWholeAtTheirSizeHint_data()
{
    // Widths in fractions of a pixel must not round down below what eliding measures.
    QTest::addColumn<QString>("name");
    for (const char *name : { ".DS_Store", "Projects", "a*.txt", "big.bin", "notes.txt", "Library", "x" })
        QTest::newRow(name) << QString::fromLatin1(name);
}

void PathLabelTest::namesShowWholeAtTheirSizeHint()
{
    QFETCH(QString, name);
    PathLabel label(name);
    label.resize(label.sizeHint());
    label.show(); // a hidden label is told its size only when shown
    QCOMPARE(label.width(), label.sizeHint().width());
    QCOMPARE(label.text(), name);
}

void PathLabelTest::lineBreaksStayOnOneLine()
{
    // A break, a tab or a bidirectional control is written out, on the line and in the tip.
    const QString path = QStringLiteral("/tmp/odd\nname\t\u202Eend");
    const QString shown = QStringLiteral("/tmp/odd⟨U+000A⟩name⟨U+0009⟩⟨U+202E⟩end");
    PathLabel label(path);
    label.resize(label.sizeHint());
    label.show();
    QCOMPARE(label.text(), shown);
    QCOMPARE(test::shownToolTip(label.toolTip()), shown);
    QCOMPARE(label.path(), path);
}

void PathLabelTest::toolTipsShowMarkupAsText_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("plain") << QStringLiteral("/home/someone/a  b.txt");
    // Folder names from a snapshot may spell a tag; rendered, it would load /dev/zero.
    QTest::newRow("image tag") << QStringLiteral("/restore/<img src=\"/dev/zero\">");
    QTest::newRow("bold tag") << QStringLiteral("/x/<b>bold</b> and  more");
    QTest::newRow("entity") << QStringLiteral("/x/a&lt;b&amp;c");
}

void PathLabelTest::toolTipsShowMarkupAsText()
{
    QFETCH(QString, path);
    PathLabel label(path);
    QCOMPARE(test::shownToolTip(label.toolTip()), path);
    QVERIFY(!label.toolTip().contains(QStringLiteral("<img")));
}

QTEST_MAIN(PathLabelTest)
#include "PathLabelTest.moc"

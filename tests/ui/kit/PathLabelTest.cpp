#include "kit/PathLabel.h"
#include "TestSupport.h"
#include "kit/Screenshot.h"

#include <QTest>

using namespace vellmir;

class PathLabelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void longPathsLoseTheirMiddle();
    void shortPathsShowWhole();
    void lineBreaksStayOnOneLine();
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

void PathLabelTest::lineBreaksStayOnOneLine()
{
    PathLabel label(QStringLiteral("/tmp/odd\nname"));
    label.resize(600, 20);
    QVERIFY(!label.text().contains(u'\n'));
    QCOMPARE(label.path(), QStringLiteral("/tmp/odd\nname"));
}

QTEST_MAIN(PathLabelTest)
#include "PathLabelTest.moc"

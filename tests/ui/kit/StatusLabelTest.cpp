#include "kit/StatusLabel.h"
#include "TestSupport.h"
#include "kit/Screenshot.h"

#include <QLabel>
#include <QTest>

using namespace vellmir;

Q_DECLARE_METATYPE(vellmir::StatusTone)

class StatusLabelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void symbolsAreDrawnInTheirColour_data();
    void symbolsAreDrawnInTheirColour();
    void tonesHaveTheirSymbols();
    void labelColoursTextAndSymbol_data();
    void labelColoursTextAndSymbol();
    void textIsNeverMarkup();
    void tonesAreDistinguishable();
};

void StatusLabelTest::symbolsAreDrawnInTheirColour_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("check") << "checkmark.circle.fill";
    QTest::newRow("cross") << "xmark.circle.fill";
    QTest::newRow("question") << "questionmark.circle.fill";
    QTest::newRow("warning") << "exclamationmark.triangle.fill";
}

void StatusLabelTest::symbolsAreDrawnInTheirColour()
{
    QFETCH(QString, name);
    QVERIFY(StatusStyle::isKnownSymbol(name));
    const QColor colour(10, 200, 30);
    const QImage image = StatusStyle::symbolIcon(name, colour, 32).pixmap(32, 32).toImage();
    // Some point a quarter in from the left edge, beside the glyph, carries the fill colour.
    bool found = false;
    for (int y = 8; y < 28 && !found; ++y)
        found = image.pixelColor(9, y).rgb() == colour.rgb();
    QVERIFY(found);
    QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
}

void StatusLabelTest::tonesHaveTheirSymbols()
{
    QCOMPARE(StatusStyle::symbol(StatusTone::success), QStringLiteral("checkmark.circle.fill"));
    QCOMPARE(StatusStyle::symbol(StatusTone::failure), QStringLiteral("xmark.circle.fill"));
    QVERIFY(StatusStyle::symbol(StatusTone::warning).isEmpty());
    QVERIFY(!StatusStyle::isKnownSymbol(QStringLiteral("no.such.symbol")));
    QVERIFY(!StatusStyle::symbolIcon(QStringLiteral("no.such.symbol"), Qt::red).isNull());
}

void StatusLabelTest::labelColoursTextAndSymbol_data()
{
    QTest::addColumn<StatusTone>("tone");
    QTest::addColumn<QString>("symbol");
    QTest::newRow("success") << StatusTone::success << "checkmark.circle.fill";
    QTest::newRow("warning") << StatusTone::warning << "questionmark.circle.fill";
    QTest::newRow("failure") << StatusTone::failure << "xmark.circle.fill";
    QTest::newRow("secondary") << StatusTone::secondary << QString();
}

void StatusLabelTest::labelColoursTextAndSymbol()
{
    QFETCH(StatusTone, tone);
    QFETCH(QString, symbol);
    StatusLabel label;
    label.setStatus(tone, symbol, QStringLiteral("Something happened."));
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    QCOMPARE(label.textLabel()->palette().color(QPalette::WindowText), StatusStyle::color(tone, label.palette()));
    QCOMPARE(label.symbolLabel()->isVisible(), !symbol.isEmpty());
    QVERIFY(saveScreenshot(label, test::screenshotPath(QStringLiteral("StatusLabel-") + QTest::currentDataTag())));
}

void StatusLabelTest::textIsNeverMarkup()
{
    StatusLabel label;
    label.setStatus(StatusTone::failure, QStringLiteral("xmark.circle.fill"), QStringLiteral("<b>bold</b> & co"));
    QCOMPARE(label.textLabel()->toPlainText(), QStringLiteral("<b>bold</b> & co"));
    QCOMPARE(label.text(), QStringLiteral("<b>bold</b> & co"));
    QVERIFY(!label.isSelectable());
    label.setSelectable(true);
    QVERIFY(label.isSelectable());
}

void StatusLabelTest::tonesAreDistinguishable()
{
    for (const QPalette &palette : { QPalette(Qt::white), QPalette(QColor(30, 30, 30)) }) {
        const QColor success = StatusStyle::color(StatusTone::success, palette);
        const QColor warning = StatusStyle::color(StatusTone::warning, palette);
        const QColor failure = StatusStyle::color(StatusTone::failure, palette);
        QVERIFY(success != warning && warning != failure && success != failure);
        QVERIFY(success.green() > success.red());
        QVERIFY(failure.red() > failure.green());
    }
}

QTEST_MAIN(StatusLabelTest)
#include "StatusLabelTest.moc"

#include "detail/ConnectionStatusRow.h"
#include "TestSupport.h"
#include "kit/Screenshot.h"
#include "kit/StatusLabel.h"

#include <QLabel>
#include <QTest>

using namespace vellmir;

Q_DECLARE_METATYPE(vellmir::ConnectionStatus)
Q_DECLARE_METATYPE(vellmir::StatusTone)

class ConnectionStatusRowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void showsEachCase_data();
    void showsEachCase();
    void followsANewStatus();
};

void ConnectionStatusRowTest::showsEachCase_data()
{
    QTest::addColumn<ConnectionStatus>("status");
    QTest::addColumn<StatusTone>("tone");
    QTest::addColumn<QString>("symbol");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("selectable");

    const QString check = QStringLiteral("checkmark.circle.fill");
    QTest::newRow("empty") << ConnectionStatus::ok(0) << StatusTone::success << check
                           << "Connected. Repository is empty." << false;
    QTest::newRow("one") << ConnectionStatus::ok(1) << StatusTone::success << check << "Connected. 1 snapshot."
                         << false;
    QTest::newRow("many") << ConnectionStatus::ok(12345) << StatusTone::success << check
                          << "Connected. 12345 snapshots." << false;
    const QString longMessage = QStringLiteral("Fatal: unable to open config file: Stat: Get "
                                               "\"https://example.invalid/bucket/config\": dial tcp: lookup "
                                               "example.invalid: no such host\nIs there a repository at the "
                                               "following location?\ns3:https://example.invalid/bucket");
    QTest::newRow("failed") << ConnectionStatus::failed(longMessage) << StatusTone::failure << "xmark.circle.fill"
                            << longMessage << true;
    QTest::newRow("failed markup") << ConnectionStatus::failed(QStringLiteral("<b>%1 snapshots</b>"))
                                   << StatusTone::failure << "xmark.circle.fill"
                                   << "<b>%1 snapshots</b>" << true;
    QTest::newRow("failed empty") << ConnectionStatus::failed(QString()) << StatusTone::failure << "xmark.circle.fill"
                                  << QString() << true;
    QTest::newRow("not initialized") << ConnectionStatus::notInitialized() << StatusTone::warning
                                     << "questionmark.circle.fill"
                                     << "No repository was found at this address. Check the address before "
                                        "initializing."
                                     << false;
}

void ConnectionStatusRowTest::showsEachCase()
{
    QFETCH(ConnectionStatus, status);
    QFETCH(StatusTone, tone);
    QFETCH(QString, symbol);
    QFETCH(QString, text);
    QFETCH(bool, selectable);

    ConnectionStatusRow row(status);
    row.setFixedWidth(420);
    row.show();
    QVERIFY(QTest::qWaitForWindowExposed(&row));
    auto *label = row.findChild<StatusLabel *>(QStringLiteral("status"));
    QVERIFY(label);
    QVERIFY(label->tone() == tone);
    QCOMPARE(label->symbol(), symbol);
    QCOMPARE(label->text(), text);
    QCOMPARE(label->textLabel()->toPlainText(), text);
    QCOMPARE(label->isSelectable(), selectable);
    QVERIFY(label->symbolLabel()->isVisible());
    // The colour covers the text as well as the symbol.
    QCOMPARE(label->textLabel()->palette().color(QPalette::WindowText), StatusStyle::color(tone, row.palette()));
    if (text.contains(u'\n'))
        QVERIFY(label->textLabel()->height() > 2 * label->textLabel()->fontMetrics().height());
    QVERIFY(
        saveScreenshot(row, test::screenshotPath(QStringLiteral("ConnectionStatusRow-") + QTest::currentDataTag())));
}

void ConnectionStatusRowTest::followsANewStatus()
{
    ConnectionStatusRow row(ConnectionStatus::failed(QStringLiteral("boom")));
    row.setStatus(ConnectionStatus::ok(2));
    QVERIFY(row.status() == ConnectionStatus::ok(2));
    QCOMPARE(row.label()->text(), QStringLiteral("Connected. 2 snapshots."));
    QVERIFY(!row.label()->isSelectable());
}

QTEST_MAIN(ConnectionStatusRowTest)
#include "ConnectionStatusRowTest.moc"

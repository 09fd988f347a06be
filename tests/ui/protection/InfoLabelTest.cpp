#include "protection/InfoLabel.h"
#include "TestSupport.h"
#include "kit/Screenshot.h"
#include "protection/InfoButton.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

using namespace vellmir;

class InfoLabelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void titleThenButton();
    void labelsKeepSeparateStates();
};

void InfoLabelTest::titleThenButton()
{
    InfoLabel label(QStringLiteral("Repository <address>"), QStringLiteral("Where the backups go."));
    auto *title = label.findChild<QLabel *>(QStringLiteral("title"));
    auto *button = label.findChild<InfoButton *>(QStringLiteral("info"));
    QVERIFY(title && button);
    QCOMPARE(title->text(), QStringLiteral("Repository <address>"));
    QCOMPARE(title->textFormat(), Qt::PlainText);
    QCOMPARE(button->text(), QStringLiteral("Where the backups go."));
    QVERIFY(!button->isShowing());
    auto *layout = qobject_cast<QHBoxLayout *>(label.layout());
    QVERIFY(layout);
    QCOMPARE(layout->spacing(), 4);
    QCOMPARE(layout->indexOf(title), 0);
    QCOMPARE(layout->indexOf(button), 1);
}

void InfoLabelTest::labelsKeepSeparateStates()
{
    QWidget form;
    auto *layout = new QFormLayout(&form);
    auto *first = new InfoLabel(QStringLiteral("Name"), QStringLiteral("Shown in the sidebar."));
    auto *second = new InfoLabel(QStringLiteral("Repository"), QStringLiteral("The restic repository address."));
    layout->addRow(first, new QLineEdit);
    layout->addRow(second, new QLineEdit);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QVERIFY(saveScreenshot(form, test::screenshotPath(QStringLiteral("InfoLabel-form"))));

    first->button()->click();
    QVERIFY(first->button()->isShowing());
    QVERIFY(!second->button()->isShowing());
    QVERIFY(!second->button()->popover());
    first->button()->click();
    QVERIFY(!first->button()->isShowing());
}

QTEST_MAIN(InfoLabelTest)
#include "InfoLabelTest.moc"

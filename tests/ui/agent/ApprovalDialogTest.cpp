#include "agent/ApprovalDialog.h"
#include "TestSupport.h"
#include "kit/Screenshot.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>
#include <atomic>
#include <thread>

using namespace vellmir;

namespace {
QMessageBox *shownBox()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QStringLiteral("approvalDialog") && widget->isVisible())
            return qobject_cast<QMessageBox *>(widget);
    return nullptr;
}

ChangeRequest request()
{
    // Agents choose these words: markup in them must show as typed.
    return ChangeRequest { QStringLiteral("remove-destination"), QStringLiteral("Remove destination “Home<br>”?"),
        { QStringLiteral("Repository: /srv/backup<span style='font-size:1px'>"), QStringLiteral("Folders: ~/.ssh") } };
}
} // namespace

class ApprovalDialogTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void allowFromTheDialogApprovesAWorkerThreadsRequest()
    {
        auto dialog = std::make_shared<ApprovalDialog>();
        DialogApprover approver(300, dialog);
        std::atomic<int> decision { -1 };
        std::jthread worker([&] { decision = static_cast<int>(approver.decide(request())); });

        QTRY_VERIFY(shownBox() != nullptr);
        QMessageBox *box = shownBox();
        QCOMPARE(box->text(), approver.alert(request()).messageText);
        QCOMPARE(box->informativeText(), approver.alert(request()).informativeText);
        for (const QLabel *label : box->findChildren<QLabel *>())
            QCOMPARE(label->textFormat(), Qt::PlainText);
        QVERIFY(saveScreenshot(*box, test::screenshotPath(QStringLiteral("ApprovalDialog-asking"))));
        QCOMPARE(box->defaultButton()->text(), QStringLiteral("Deny"));
        box->findChild<QAbstractButton *>(QStringLiteral("approvalButton1"))->click();
        QTRY_COMPARE(decision.load(), static_cast<int>(ApprovalDecision::approvedByUser));
    }

    void closingTheDialogDenies()
    {
        auto dialog = std::make_shared<ApprovalDialog>();
        DialogApprover approver(300, dialog);
        std::atomic<int> decision { -1 };
        std::jthread worker([&] { decision = static_cast<int>(approver.decide(request())); });
        QTRY_VERIFY(shownBox() != nullptr);
        shownBox()->findChild<QAbstractButton *>(QStringLiteral("approvalButton0"))->click();
        QTRY_COMPARE(decision.load(), static_cast<int>(ApprovalDecision::denied));
    }

    void unansweredDialogTimesOutAndGoesAway()
    {
        auto dialog = std::make_shared<ApprovalDialog>();
        DialogApprover approver(0.3, dialog);
        std::atomic<int> decision { -1 };
        std::jthread worker([&] { decision = static_cast<int>(approver.decide(request())); });
        QTRY_COMPARE(decision.load(), static_cast<int>(ApprovalDecision::timedOut));
        QTRY_VERIFY(shownBox() == nullptr);
    }
};

QTEST_MAIN(ApprovalDialogTest)
#include "ApprovalDialogTest.moc"

#include "agent/ApprovalDialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <atomic>

namespace vellmir {

// Shared with the posted calls, which may run after the dialog object is gone. `box` is only
// touched on the main thread; `generation` tells a posted show that a dismiss came after it.
struct ApprovalDialog::State {
    std::atomic<quint64> generation { 0 };
    QPointer<QMessageBox> box;
};

ApprovalDialog::ApprovalDialog()
    : m_state(std::make_shared<State>())
{
}

ApprovalDialog::~ApprovalDialog()
{
    dismiss();
}

void ApprovalDialog::show(const Alert &alert, std::function<void(int)> answered)
{
    const quint64 generation = ++m_state->generation;
    QMetaObject::invokeMethod(
        qApp,
        [state = m_state, alert, answered = std::move(answered), generation] {
            if (state->generation != generation)
                return; // dismissed before the main thread got to it
            auto *box = new QMessageBox(QMessageBox::Warning, alert.messageText, alert.messageText);
            box->setObjectName(QStringLiteral("approvalDialog"));
            box->setInformativeText(alert.informativeText);
            // The texts carry an agent's words: markup in them is shown as typed, never rendered,
            // so nothing can hide or fake a line of the request.
            box->setTextFormat(Qt::PlainText);
            for (QLabel *label : box->findChildren<QLabel *>())
                label->setTextFormat(Qt::PlainText);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setWindowFlag(Qt::WindowStaysOnTopHint);
            QList<QAbstractButton *> buttons;
            for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
                // The default answer is the safe one; it takes the reject role so Escape picks it too.
                const auto role = i == alert.defaultButton ? QMessageBox::RejectRole : QMessageBox::AcceptRole;
                QPushButton *button = box->addButton(alert.buttons.at(i), role);
                button->setObjectName(QStringLiteral("approvalButton%1").arg(i));
                buttons.append(button);
            }
            if (alert.defaultButton >= 0 && alert.defaultButton < buttons.size())
                box->setDefaultButton(qobject_cast<QPushButton *>(buttons.at(alert.defaultButton)));
            QObject::connect(box, &QMessageBox::finished, box,
                [box, buttons, answered](int) { answered(static_cast<int>(buttons.indexOf(box->clickedButton()))); });
            state->box = box;
            box->show();
            box->raise();
            box->activateWindow();
        },
        Qt::QueuedConnection);
}

void ApprovalDialog::dismiss()
{
    ++m_state->generation;
    QMetaObject::invokeMethod(
        qApp,
        [state = m_state] {
            if (QMessageBox *box = state->box) {
                box->disconnect(); // taken away unanswered: no answer is reported
                box->close();
            }
            state->box.clear();
        },
        Qt::QueuedConnection);
}

} // namespace vellmir

#include "protection/RecoveryKitSheet.h"

#include "protection/FileViewer.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace vellmir {

namespace {

RecoveryKit::FolderChooser exportPanel(QWidget *parent)
{
    return [owner = QPointer<QWidget>(parent)]() -> std::optional<QString> {
        QFileDialog dialog(owner);
        // Never whatever folder the process happens to run in.
        const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        dialog.setDirectory(QFileInfo(documents).isDir() ? documents : QDir::homePath());
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Export Here"));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().constFirst();
    };
}

} // namespace

RecoveryKitSheet::RecoveryKitSheet(const Destination &destination, QWidget *parent, RecoveryKit::FolderChooser chooser,
    RecoveryKit::FolderRevealer revealer)
    : QDialog(parent)
{
    setWindowModality(Qt::WindowModal);
    setWindowTitle(QStringLiteral("Recover on Another Computer"));
    m_model = new RecoveryKit(destination, chooser ? std::move(chooser) : exportPanel(this),
        revealer ? std::move(revealer) : RecoveryKit::FolderRevealer(revealInFileViewer), this);

    auto *title = new QLabel(QStringLiteral("Recover on Another Computer"), this);
    title->setObjectName(QStringLiteral("title"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.4);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);

    // Read-only but selectable, so the user can copy the instructions.
    auto *instructions = new QPlainTextEdit(m_model->instructions(), this);
    instructions->setObjectName(QStringLiteral("instructions"));
    instructions->setReadOnly(true);
    instructions->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    instructions->setLineWrapMode(QPlainTextEdit::WidgetWidth);

    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setWordWrap(true);
    m_message->setTextFormat(Qt::PlainText);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_message->hide();

    auto *done = new QPushButton(QStringLiteral("Done"), this);
    done->setObjectName(QStringLiteral("doneButton"));
    done->setAutoDefault(false);
    auto *exportButton = new QPushButton(QStringLiteral("Export Kit…"), this);
    exportButton->setObjectName(QStringLiteral("exportButton"));
    exportButton->setDefault(true);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(done);
    buttons->addStretch(1);
    buttons->addWidget(exportButton);

    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(16);
    layout->addWidget(title);
    layout->addWidget(instructions, 1);
    layout->addWidget(m_message);
    layout->addLayout(buttons);
    setFixedSize(650, 560);

    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    connect(exportButton, &QPushButton::clicked, m_model, &RecoveryKit::exportKit);
    connect(m_model, &RecoveryKit::messageChanged, this, &RecoveryKitSheet::showMessage);
}

void RecoveryKitSheet::showMessage()
{
    const std::optional<QString> &message = m_model->message();
    m_message->setText(message.value_or(QString()));
    m_message->setVisible(message.has_value());
}

} // namespace vellmir

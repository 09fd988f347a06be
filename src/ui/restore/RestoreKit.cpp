#include "restore/RestoreKit.h"

#include "util/TextRules.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QStyle>
#include <QUrl>

namespace vellmir::restorekit {

QIcon icon(const QString &symbol)
{
    QStyle *style = QApplication::style();
    if (symbol == QLatin1String("folder"))
        return QIcon::fromTheme(QStringLiteral("folder"), style->standardIcon(QStyle::SP_DirIcon));
    if (symbol == QLatin1String("doc"))
        return QIcon::fromTheme(QStringLiteral("text-x-generic"), style->standardIcon(QStyle::SP_FileIcon));
    if (symbol == QLatin1String("arrow.up"))
        return QIcon::fromTheme(QStringLiteral("go-up"), style->standardIcon(QStyle::SP_ArrowUp));
    return {};
}

void setTertiary(QWidget *widget)
{
    QPalette palette = widget->palette();
    QColor colour = StatusStyle::color(StatusTone::secondary, palette);
    colour.setAlphaF(colour.alphaF() * 0.7f);
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

void setCaption(QWidget *widget)
{
    widget->setFont(StatusStyle::captionFont(widget->font()));
}

FolderChooser folderDialog(QWidget *parent, std::function<QString()> shownFolder)
{
    return [owner = QPointer<QWidget>(parent), shownFolder = std::move(shownFolder)]() -> std::optional<QString> {
        QFileDialog dialog(owner);
        const QString shown = shownFolder ? shownFolder() : QString();
        dialog.setDirectory(!shown.isEmpty() && QFileInfo(shown).isDir() ? shown : QDir::homePath());
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Choose"));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().constFirst();
    };
}

FolderOpener fileManagerOpener(QWidget *parent)
{
    return [owner = QPointer<QWidget>(parent)](const QString &path) {
        if (QDesktopServices::openUrl(QUrl::fromLocalFile(path)) || !owner)
            return;
        auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("No File Manager Opened"),
            QStringLiteral("No file manager opened the folder. The files are in:\n") + TextRules::visible(path),
            QMessageBox::Ok, owner);
        box->setObjectName(QStringLiteral("openFailure"));
        // The folder's name is the user's text, never markup; selectable, to paste it elsewhere.
        box->setTextFormat(Qt::PlainText);
        box->setTextInteractionFlags(Qt::TextSelectableByMouse);
        box->setWindowModality(Qt::WindowModal);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    };
}

} // namespace vellmir::restorekit

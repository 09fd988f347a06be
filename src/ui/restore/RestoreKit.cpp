#include "restore/RestoreKit.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLocale>
#include <QPointer>
#include <QStyle>
#include <QUrl>

namespace vellmir::restorekit {

QString bytes(qint64 count)
{
    if (count == 0)
        return QStringLiteral("Zero bytes");
    return QLocale().formattedDataSize(count, 1, QLocale::DataSizeSIFormat);
}

QString snapshotTime(const Date &date)
{
    const QLocale locale;
    const QDateTime local = date.toDateTime().toLocalTime();
    return locale.toString(local.date(), QStringLiteral("MMM d, yyyy")) + u' '
        + locale.toString(local.time(), QLocale::ShortFormat);
}

QIcon icon(const QString &symbol)
{
    QStyle *style = QApplication::style();
    if (symbol == QLatin1String("checkmark.circle.fill"))
        return QIcon::fromTheme(
            QStringLiteral("emblem-ok-symbolic"), style->standardIcon(QStyle::SP_DialogApplyButton));
    if (symbol == QLatin1String("xmark.circle.fill"))
        return QIcon::fromTheme(QStringLiteral("dialog-error"), style->standardIcon(QStyle::SP_MessageBoxCritical));
    if (symbol == QLatin1String("folder"))
        return QIcon::fromTheme(QStringLiteral("folder"), style->standardIcon(QStyle::SP_DirIcon));
    if (symbol == QLatin1String("doc"))
        return QIcon::fromTheme(QStringLiteral("text-x-generic"), style->standardIcon(QStyle::SP_FileIcon));
    if (symbol == QLatin1String("arrow.up"))
        return QIcon::fromTheme(QStringLiteral("go-up"), style->standardIcon(QStyle::SP_ArrowUp));
    return {};
}

void setTone(QWidget *widget, Tone tone)
{
    QPalette palette = widget->palette();
    QColor colour = QApplication::palette().color(QPalette::WindowText);
    switch (tone) {
    case Tone::primary:
        break;
    case Tone::secondary:
        colour.setAlphaF(0.62f);
        break;
    case Tone::tertiary:
        colour.setAlphaF(0.42f);
        break;
    case Tone::success:
        colour = QColor(0x1f, 0x8b, 0x3a);
        break;
    case Tone::failure:
        colour = QColor(0xc6, 0x28, 0x28);
        break;
    }
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

void setCaption(QWidget *widget)
{
    QFont font = widget->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    widget->setFont(font);
}

FolderChooser folderDialog(QWidget *parent)
{
    return [owner = QPointer<QWidget>(parent)]() -> std::optional<QString> {
        QFileDialog dialog(owner);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Choose"));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().constFirst();
    };
}

void openInFileManager(const QString &path)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

} // namespace vellmir::restorekit

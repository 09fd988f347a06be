#pragma once

#include "restore/RestoreServices.h"
#include "util/Date.h"

#include <QIcon>
#include <QString>

class QWidget;

namespace vellmir::restorekit {

// The renderings and platform services the restore views share, kept in one place so that
// they follow the application's common formatters and icon map.

// A byte count in the file style: decimal units, zero as a word.
QString bytes(qint64 count);
// A snapshot's time: abbreviated date and short time in the user's locale.
QString snapshotTime(const Date &date);
// The icon standing for one of the symbol names the views use ("checkmark.circle.fill",
// "xmark.circle.fill", "folder", "doc", "arrow.up").
QIcon icon(const QString &symbol);

// The colour roles of texts: the primary style, the secondary and tertiary styles of hints
// and counts, green for success and red for failure.
enum class Tone { primary, secondary, tertiary, success, failure };
void setTone(QWidget *widget, Tone tone);
// The caption font: a step smaller than the widget's own.
void setCaption(QWidget *widget);

// A modal folder dialog over `parent`: folders only, one of them, folder creation allowed,
// confirm button "Choose".
FolderChooser folderDialog(QWidget *parent);
// Opens a folder in the desktop's file manager.
void openInFileManager(const QString &path);

} // namespace vellmir::restorekit

#pragma once

#include "kit/StatusStyle.h"
#include "restore/RestoreServices.h"
#include "util/Date.h"

#include <QIcon>
#include <QString>
#include <functional>

class QWidget;

namespace vellmir::restorekit {

// What the restore views add to the kit: the icons of their rows and path bar, the tertiary
// text style and the platform services they call.

// The icon standing for "folder", "doc" or "arrow.up"; the status symbols come from StatusStyle.
QIcon icon(const QString &symbol);
// The tertiary style: dimmer than the kit's secondary, for hints beside a secondary text.
void setTertiary(QWidget *widget);
// The kit's caption font on a widget.
void setCaption(QWidget *widget);

// A modal folder dialog over `parent`: folders only, one of them, folder creation allowed,
// confirm button "Choose". It opens in the folder `shownFolder` gives (the one the sheet
// shows), else in the home folder, never in whatever folder the process happens to run in.
FolderChooser folderDialog(QWidget *parent, std::function<QString()> shownFolder = {});
// Opens a folder in the desktop's file manager; where none opens, says so over `parent` and
// names the folder, so the user can go there by hand.
FolderOpener fileManagerOpener(QWidget *parent);

} // namespace vellmir::restorekit

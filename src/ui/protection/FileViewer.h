#pragma once

#include <QString>

namespace vellmir {

// Shows an item selected in the desktop's file manager (org.freedesktop.FileManager1), or
// opens its parent folder when no file manager answers that interface. Returns at once.
void revealInFileViewer(const QString &path);

} // namespace vellmir

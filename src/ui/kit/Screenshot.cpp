#include "kit/Screenshot.h"

#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QWidget>

namespace vellmir {

bool saveScreenshot(QWidget &widget, const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    widget.adjustSize();
    return widget.grab().save(path, "PNG");
}

} // namespace vellmir

#pragma once

#include <QString>

class QWidget;

namespace vellmir {

// Renders a widget into a PNG file, for reviewing what a view looked like in a test run.
// Returns false when the image could not be written.
bool saveScreenshot(QWidget &widget, const QString &path);

} // namespace vellmir

#pragma once

#include <QString>

namespace vellmir {

class RestoreRunner;

// The texts both restore views show for their runner: the sheet's close button, the progress
// lines and the summary of a finished restore.
namespace RestoreTexts {
QString closeButtonTitle(const RestoreRunner &runner); // "Done" once finished, else "Close"
QString progressFiles(const RestoreRunner &runner); // "12 / 40 files"
QString progressBytes(const RestoreRunner &runner); // "1.2 MB / 3 MB"
QString summary(const RestoreRunner &runner); // "Restored 12 file(s), 1.2 MB.", or empty
} // namespace RestoreTexts

} // namespace vellmir

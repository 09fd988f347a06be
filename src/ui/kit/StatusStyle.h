#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPalette>
#include <QString>

class QProgressBar;
class QWidget;

namespace vellmir {

// The meaning a line of status carries, and so its colour: green for success, orange for
// warnings and what needs attention, red for failures, the palette's dimmed text for neutral
// hints and counts. `normal` is the ordinary text colour.
enum class StatusTone { normal, success, warning, failure, secondary };

// Colours, fonts and symbols of the status convention.
//
// Symbols keep the names the rest of the code uses for them and are drawn here rather than
// taken from the icon theme, because a status colours its symbol along with its text and
// theme icons come in colours of their own (and offscreen there is no theme at all):
//
//   name                              drawn as                                  theme equivalent
//   "checkmark.circle.fill"           filled circle, white check mark           emblem-ok / dialog-ok
//   "xmark.circle.fill"               filled circle, white cross                dialog-error
//   "questionmark.circle.fill"        filled circle, white question mark        dialog-question
//   "exclamationmark.triangle.fill"   filled triangle, white exclamation mark   dialog-warning
//   "info.circle"                     circle outline with an "i"                dialog-information
//   "plus.circle.fill"                filled circle, white plus                 list-add
//   "minus.circle.fill"               filled circle, white minus                list-remove
//   "exclamationmark.shield.fill"     filled shield, white exclamation mark     security-medium
//   "circle.fill"                     filled circle (list bullets)              (none)
//
// Any other name falls back to the style's standard icon for its theme equivalent's kind
// (QStyle::SP_MessageBoxQuestion), uncoloured.
struct StatusStyle {
    static QColor color(StatusTone tone, const QPalette &palette = QPalette());
    // The symbol that goes with a tone's label: success and failure have one, the others none.
    static QString symbol(StatusTone tone);
    static bool isKnownSymbol(const QString &name);
    // The named symbol drawn in `color` at `size` device-independent pixels.
    static QIcon symbolIcon(const QString &name, const QColor &color, int size = 16);

    // Sets the widget's text colour to the tone's (normal restores the palette's own).
    static void applyTone(QWidget &widget, StatusTone tone);
    // The smaller font of captions and the bold one of headlines, derived from `base`.
    static QFont captionFont(const QFont &base);
    static QFont headlineFont(const QFont &base);
    // Names a progress bar for screen readers. A bar shows work going on, nothing a user sets:
    // it is read with its percentage, never offered to be raised or lowered.
    static void nameProgress(QProgressBar &bar, const QString &name);
    // A small bar that moves while work of unknown length runs, named `name` when one is given.
    static QProgressBar *spinner(QWidget *parent, const char *name = nullptr);
};

} // namespace vellmir

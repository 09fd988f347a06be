#pragma once

#include <QString>

class QLabel;
class QWidget;

namespace vellmir {

// Names and paths come from the user's disk and from snapshots, so they may hold anything.
// These keep Qt from reading markup into them where it would.

// A text that shows exactly where Qt takes text that looks like HTML for rich text (a tooltip, a
// message box's informative text), so that a folder named like "<img src=...>" is shown rather
// than rendered, its image loaded. Empty text stays empty: no tooltip.
QString plainAutoText(const QString &text);

// A message from restic, a runner or a file as it may be shown: each of its lines with what
// would draw as nothing, break the line or reorder it written out (TextRules::visible), so a
// name it quotes never starts a line of its own.
QString visibleLines(const QString &text);

// A button title that shows `text` exactly: a button reads "&" as the mark of its shortcut
// key, so "Tom & Jerry" would lose its ampersand.
QString plainButtonText(const QString &text);

// A word-wrapped label that shows `text` exactly, named `name` when one is given. A label
// left to guess would take "<b>" in a folder name for markup.
QLabel *plainLabel(const QString &text, QWidget *parent, const char *name = nullptr);

} // namespace vellmir

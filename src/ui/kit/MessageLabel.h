#pragma once

#include "kit/StatusStyle.h"

#include <QTextDocument>
#include <QTextEdit>

namespace vellmir {

// A message from restic, a runner or the file system: shown whole and exactly as it came
// (plain text, never markup), and selectable so the user can copy it into a search or a
// report. A label wraps only between words, so a long path in a message (restic names the
// file before its reason) would widen the window or be cut off: lines here break between
// words where they can and anywhere where they must. Failures are red; the tone can be
// changed for other outcomes.
class MessageLabel : public QTextEdit {
    Q_OBJECT

public:
    explicit MessageLabel(QWidget *parent = nullptr);
    explicit MessageLabel(const QString &message, QWidget *parent = nullptr);

    void setText(const QString &message);
    // What was set, exactly: the shown document turns some characters (no-break spaces) into others.
    const QString &text() const { return m_text; }

    // On by default; off, the text is only read (a heading) and is no stop for Tab.
    void setSelectable(bool selectable);

    // Off keeps the message on one line, as wide as it needs (a command to copy as typed).
    void setWordWrap(bool wrap);
    bool wordWrap() const { return m_wrap; }

    // At most `lines` lines show at once and the rest scrolls, for a message that may run long
    // (a restore's errors, one a line); 0, the default, shows every line.
    void setMaxLines(int lines);

    void setTone(StatusTone tone);
    StatusTone tone() const { return m_tone; }

    bool hasHeightForWidth() const override { return m_wrap; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // The text laid out at `width` (negative: unwrapped), in the shown document's font and option.
    QSizeF laidOut(qreal width) const;

    QString m_text;
    bool m_wrap = true;
    int m_maxLines = 0;
    StatusTone m_tone = StatusTone::failure;
    mutable QTextDocument m_measure;
};

} // namespace vellmir

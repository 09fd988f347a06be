#pragma once

#include <QTextEdit>

namespace vellmir {

// Plain text that wraps at word boundaries and, where a word is wider than the line, inside it,
// so that no name or path, however long, makes its window wider or hides its end. Read-only,
// selectable, without a frame or scroll bars: as tall as its wrapped lines at the width it gets.
class WrappedText : public QTextEdit {
    Q_OBJECT

public:
    explicit WrappedText(const QString &text = {}, QWidget *parent = nullptr);

    void setText(const QString &text);
    QString text() const { return toPlainText(); }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
};

} // namespace vellmir

#pragma once

#include "kit/MessageLabel.h"
#include "kit/StatusStyle.h"

#include <QWidget>

class QLabel;

namespace vellmir {

// One line of status: an optional symbol and a text, both in the tone's colour. The text is
// always plain (never read as markup) and wraps, a long path in it too; selectable() lets the user select and copy it,
// which failure messages need.
class StatusLabel : public QWidget {
    Q_OBJECT

public:
    explicit StatusLabel(QWidget *parent = nullptr);

    // `symbol` names an icon of StatusStyle; empty shows none.
    void setStatus(StatusTone tone, const QString &symbol, const QString &text);
    void setSelectable(bool selectable);

    StatusTone tone() const { return m_tone; }
    const QString &symbol() const { return m_symbol; }
    QString text() const;
    bool isSelectable() const;
    MessageLabel *textLabel() const { return m_text; }
    QLabel *symbolLabel() const { return m_icon; }

protected:
    void changeEvent(QEvent *event) override;

private:
    void refresh();

    StatusTone m_tone = StatusTone::normal;
    QString m_symbol;
    QLabel *m_icon;
    MessageLabel *m_text;
};

} // namespace vellmir

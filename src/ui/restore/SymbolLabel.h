#pragma once

#include "restore/RestoreKit.h"

#include <QWidget>

class QLabel;

namespace vellmir {

// A symbol followed by a sentence in one colour: the success line of a restore, or its failure,
// whose text can be selected and copied.
class SymbolLabel : public QWidget {
    Q_OBJECT

public:
    SymbolLabel(const QString &symbol, restorekit::Tone tone, QWidget *parent = nullptr);

    QString text() const;
    void setText(const QString &text);
    void setSelectable(bool selectable);
    void setCaption();
    QLabel *textLabel() const { return m_text; }

private:
    QLabel *m_icon;
    QLabel *m_text;
};

} // namespace vellmir

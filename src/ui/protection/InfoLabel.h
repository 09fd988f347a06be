#pragma once

#include <QWidget>

class QLabel;

namespace vellmir {

class InfoButton;

// A form row's title followed by an InfoButton holding its explanation. Both texts are shown
// as given.
class InfoLabel : public QWidget {
    Q_OBJECT

public:
    InfoLabel(const QString &title, const QString &info, QWidget *parent = nullptr);

    const QString &title() const { return m_title; }
    const QString &info() const { return m_info; }
    InfoButton *button() const { return m_button; }

private:
    QString m_title;
    QString m_info;
    InfoButton *m_button;
};

} // namespace vellmir

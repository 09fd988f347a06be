#pragma once

#include <QWidget>

class QHBoxLayout;
class QLabel;
class QToolButton;
class QVBoxLayout;

namespace vellmir {

// One section of a grouped form: a header (a title and whatever the section adds beside it)
// above a framed body. A collapsible section has a disclosure arrow in its header that shows
// and hides the body.
class DetailSection : public QWidget {
    Q_OBJECT

public:
    DetailSection(const QString &title, bool collapsible, QWidget *parent = nullptr);

    QHBoxLayout *header() const { return m_header; }
    QVBoxLayout *body() const { return m_body; }
    QLabel *titleLabel() const { return m_title; }
    bool isExpanded() const { return m_expanded; }
    void setExpanded(bool expanded);

Q_SIGNALS:
    void expandedChanged(bool expanded);

private:
    QToolButton *m_arrow = nullptr;
    QLabel *m_title;
    QHBoxLayout *m_header;
    QWidget *m_frame;
    QVBoxLayout *m_body;
    bool m_expanded = true;
};

} // namespace vellmir

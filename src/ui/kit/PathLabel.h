#pragma once

#include <QLabel>

namespace vellmir {

// A path on one line: when it does not fit, the middle gives way to an ellipsis so that both
// the start (the volume or home) and the end (the file name) stay readable. The whole path is
// the tooltip. What would show as nothing, break the line or reorder it is written out. A name
// (a destination's) is cut at its end instead, as the sidebar cuts it.
class PathLabel : public QLabel {
    Q_OBJECT

public:
    explicit PathLabel(QWidget *parent = nullptr);
    explicit PathLabel(const QString &path, QWidget *parent = nullptr);

    void setPath(const QString &path);
    const QString &path() const { return m_path; }
    void setElideMode(Qt::TextElideMode mode);

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void elide();

    QString m_path;
    QString m_line; // m_path as shown, written out
    Qt::TextElideMode m_elideMode = Qt::ElideMiddle;
};

} // namespace vellmir

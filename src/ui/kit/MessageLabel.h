#pragma once

#include "kit/StatusStyle.h"

#include <QLabel>

namespace vellmir {

// A message from restic, a runner or the file system: shown exactly as it came (plain text,
// never markup), wrapped, and selectable so the user can copy it into a search or a report.
// Failures are red; the tone can be changed for other outcomes.
class MessageLabel : public QLabel {
    Q_OBJECT

public:
    explicit MessageLabel(QWidget *parent = nullptr);
    explicit MessageLabel(const QString &message, QWidget *parent = nullptr);

    void setTone(StatusTone tone);
    StatusTone tone() const { return m_tone; }

private:
    StatusTone m_tone = StatusTone::failure;
};

} // namespace vellmir

#pragma once

#include "engine/Snapshot.h"
#include "kit/StatusStyle.h"

#include <QWidget>

namespace vellmir {

class StatusLabel;

// The result of probing a repository as one coloured line: green when it answered, red with
// restic's message (selectable, to copy it) when it failed, orange when nothing is there yet.
// A caller without a result shows no row.
class ConnectionStatusRow : public QWidget {
    Q_OBJECT

public:
    explicit ConnectionStatusRow(const ConnectionStatus &status, QWidget *parent = nullptr);

    const ConnectionStatus &status() const { return m_status; }
    void setStatus(const ConnectionStatus &status);

    // What the row shows for a status: its tone, symbol and text.
    struct Appearance {
        StatusTone tone;
        QString symbol;
        QString text;
        bool selectable;
    };
    static Appearance appearance(const ConnectionStatus &status);

    StatusLabel *label() const { return m_label; }

private:
    ConnectionStatus m_status;
    StatusLabel *m_label;
};

} // namespace vellmir

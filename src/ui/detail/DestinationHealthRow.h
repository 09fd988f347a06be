#pragma once

#include "config/Destination.h"

#include <QWidget>
#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;

namespace vellmir {

class DestinationHealthModel;
class MessageLabel;
class PathLabel;

// A compact summary of one destination for the overview and the status menu: its last
// complete backup, a latest attempt that did not complete, whether it is overdue and when it
// is next due, its folder and exclusion counts, its last verified restore, and buttons to back
// it up (or cancel that backup) and to open it. It polls while shown; its runner may be shared
// with the destination's pane, so the row shows the pane's runs too.
class DestinationHealthRow : public QWidget {
    Q_OBJECT

public:
    DestinationHealthRow(const Destination &destination, std::function<void()> onOpen, QWidget *parent = nullptr);
    // For tests: a model over other folders, another clock or another runner.
    DestinationHealthRow(DestinationHealthModel *model, std::function<void()> onOpen, QWidget *parent = nullptr);
    ~DestinationHealthRow() override;

    DestinationHealthModel &model() const { return *m_model; }
    // The same row for an edited destination; new backup settings restart the poll at once.
    void setDestination(const Destination &destination);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void build();
    void refresh();

    DestinationHealthModel *m_model;
    std::function<void()> m_onOpen;
    PathLabel *m_name = nullptr;
    QLabel *m_backup = nullptr;
    QLabel *m_latestAttempt = nullptr;
    QLabel *m_overdue = nullptr;
    QLabel *m_nextDue = nullptr;
    QLabel *m_counts = nullptr;
    QLabel *m_verifiedRestore = nullptr;
    MessageLabel *m_error = nullptr;
    MessageLabel *m_runFailure = nullptr;
    QPushButton *m_open = nullptr;
    QProgressBar *m_progress = nullptr;
    QPushButton *m_cancel = nullptr;
    QPushButton *m_backUp = nullptr;
};

} // namespace vellmir

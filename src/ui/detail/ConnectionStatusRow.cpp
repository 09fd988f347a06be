#include "detail/ConnectionStatusRow.h"

#include "kit/Format.h"
#include "kit/StatusLabel.h"

#include <QVBoxLayout>

namespace vellmir {

ConnectionStatusRow::ConnectionStatusRow(const ConnectionStatus &status, QWidget *parent)
    : QWidget(parent)
    , m_label(new StatusLabel(this))
{
    m_label->setObjectName(QStringLiteral("status"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_label);
    setStatus(status);
}

ConnectionStatusRow::Appearance ConnectionStatusRow::appearance(const ConnectionStatus &status)
{
    switch (status.kind) {
    case ConnectionStatus::Kind::ok: {
        const QString symbol = QStringLiteral("checkmark.circle.fill");
        if (status.snapshotCount == 0)
            return { StatusTone::success, symbol, tr("Connected. Repository is empty."), false };
        const QString text = status.snapshotCount == 1 ? tr("Connected. %1 snapshot.") : tr("Connected. %1 snapshots.");
        return { StatusTone::success, symbol, text.arg(Format::count(status.snapshotCount)), false };
    }
    case ConnectionStatus::Kind::failed:
        // restic's sentence as it came: never a translation key, and copyable.
        return { StatusTone::failure, QStringLiteral("xmark.circle.fill"), status.message, true };
    case ConnectionStatus::Kind::notInitialized:
        break;
    }
    return { StatusTone::warning, QStringLiteral("questionmark.circle.fill"),
        tr("No repository was found at this address. Check the address before initializing."), false };
}

void ConnectionStatusRow::setStatus(const ConnectionStatus &status)
{
    m_status = status;
    const Appearance shown = appearance(status);
    m_label->setStatus(shown.tone, shown.symbol, shown.text);
    m_label->setSelectable(shown.selectable);
}

} // namespace vellmir

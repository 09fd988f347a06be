#pragma once

// What the save-loop helper writes, shared with the test that checks it.

#include "config/Destination.h"

#include <QUuid>

namespace vellmir::test {

constexpr qint64 saveSlots = 3;

// Save k goes to slot k % 3, whose id never changes.
inline Destination slotDestination(qint64 k)
{
    Destination d;
    const QUuid space = QUuid::fromString(QStringLiteral("{6f1d5c8e-2b1a-4c3e-9f0a-1d2e3f405162}"));
    d.id = QUuid::createUuidV5(space, QStringLiteral("slot-%1").arg(k % saveSlots));
    d.credentialID = d.id; // replaced by every save
    d.name = QStringLiteral("save %1").arg(k);
    d.kind = Destination::Kind::local;
    d.repository = QStringLiteral("/srv/backup-%1").arg(k % saveSlots);
    d.sources = { QStringLiteral("/home/ana/Documents") };
    return d;
}

inline QString slotPassword(qint64 k)
{
    return QStringLiteral("password of save %1").arg(k);
}

// k of a destination the loop saved, or -1.
inline qint64 saveNumber(const Destination &destination)
{
    if (!destination.name.startsWith(QStringLiteral("save ")))
        return -1;
    bool ok = false;
    const qint64 k = destination.name.mid(5).toLongLong(&ok);
    return ok ? k : -1;
}

} // namespace vellmir::test

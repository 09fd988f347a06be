#pragma once

#include "config/Destination.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace vellmir {

// The portable description of one destination, enough to reconnect to its repository from
// another computer: everything except the secrets (no password, key or keyring reference).
// It travels as "recovery-plan.json" in a recovery kit.
struct RecoveryPlan {
    static constexpr qint64 currentFormatVersion = 1;

    qint64 formatVersion = currentFormatVersion;
    QString name;
    Destination::Kind kind = Destination::Kind::local;
    QString repository;
    QStringList sources;
    QStringList excludes;
    Destination::RetentionPolicy retention;

    RecoveryPlan() = default;
    explicit RecoveryPlan(const Destination &destination);

    // All seven members are required; unknown members are ignored and the version is not
    // checked here. Throws JsonError naming the offending member.
    static RecoveryPlan fromJson(const QJsonObject &object);
    QJsonObject toJson() const;
    // The bytes of "recovery-plan.json": pretty-printed, keys sorted.
    QByteArray encodeFile() const;
    // Throws JsonError when the bytes are not a complete plan.
    static RecoveryPlan decodeFile(const QByteArray &bytes);

    // A new destination to open in the editor: new identity without keyring items, no
    // folders, manual schedule, no pruning. Throws JsonError for another format version.
    Destination destination() const;

    // The text of "READ-ME.txt", shown in the kit sheet too. Nothing is escaped.
    QString instructions() const;

    friend bool operator==(const RecoveryPlan &, const RecoveryPlan &) = default;
};

} // namespace vellmir

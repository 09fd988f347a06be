#pragma once

#include "config/AgentPolicy.h"
#include "platform/SealKeyStore.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>

namespace vellmir {

// The configuration the seal covers: the exact bytes of the destinations file, the agent
// policy, and a fingerprint of every secret the destinations need (never the secrets).
struct SealedConfig {
    QByteArray destinations; // empty when the destinations file does not exist
    AgentPolicy::Settings policy;
    // "<CREDENTIAL-UUID>/<role>" -> SHA-256 of the secret's UTF-8 bytes, lower-case hex
    QMap<QString, QString> credentials;

    // The 32-byte HMAC-SHA256 tag of this content under `key`.
    QByteArray tag(const SymmetricKey &key) const;
    // The bytes the tag covers. See the definition for why they are stable.
    QByteArray canonicalBytes() const;

    QJsonObject toJson() const;
    // All three keys are required; unknown keys are ignored. Throws JsonError.
    static SealedConfig fromJson(const QJsonObject &object);

    friend bool operator==(const SealedConfig &, const SealedConfig &) = default;
};

// The fingerprint of one secret: SHA-256 of its UTF-8 bytes as 64 lower-case hex digits.
QString secretFingerprint(const QString &secret);

// Compares two tags without stopping at the first differing byte, so the time taken says
// nothing about how much of a forged tag was right. Different lengths compare unequal.
bool tagsEqual(const QByteArray &a, const QByteArray &b);

// Strict standard Base64; throws JsonError naming `key` for anything else.
QByteArray decodeBase64Field(const QJsonObject &object, const QString &key, const QString &context);

} // namespace vellmir

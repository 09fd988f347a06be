#include "config/SealedConfig.h"

#include "util/Json.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>

namespace vellmir {

namespace {
const QString kDestinations = QStringLiteral("destinations");
const QString kPolicy = QStringLiteral("policy");
const QString kCredentials = QStringLiteral("credentials");
} // namespace

QByteArray SealedConfig::canonicalBytes() const
{
    // Compact JSON with sorted keys (json::compact sorts every object's keys and writes no
    // whitespace; "/" is left unescaped). The tag is computed over these re-encoded bytes, never
    // over the seal file as stored, so re-indenting or reordering the seal file keeps it valid
    // while any changed value does not.
    return json::compact(toJson());
}

QByteArray SealedConfig::tag(const SymmetricKey &key) const
{
    return QMessageAuthenticationCode::hash(canonicalBytes(), key.bytes(), QCryptographicHash::Sha256);
}

QJsonObject SealedConfig::toJson() const
{
    QJsonObject fingerprints;
    for (auto it = credentials.cbegin(); it != credentials.cend(); ++it)
        fingerprints.insert(it.key(), it.value());
    return QJsonObject {
        { kDestinations, QString::fromLatin1(destinations.toBase64()) },
        { kPolicy, policy.toJson() },
        { kCredentials, fingerprints },
    };
}

SealedConfig SealedConfig::fromJson(const QJsonObject &object)
{
    const JsonReader reader(object, QStringLiteral("sealed"));
    SealedConfig config;
    config.destinations = decodeBase64Field(object, kDestinations, QStringLiteral("sealed"));
    config.policy = AgentPolicy::Settings::fromJson(reader.object(kPolicy));
    const QJsonObject fingerprints = reader.object(kCredentials);
    for (auto it = fingerprints.begin(); it != fingerprints.end(); ++it) {
        if (!it.value().isString())
            throw JsonError(QStringLiteral("The value of \"sealed.credentials.%1\" must be a text.").arg(it.key()));
        config.credentials.insert(it.key(), it.value().toString());
    }
    return config;
}

QString secretFingerprint(const QString &secret)
{
    return QString::fromLatin1(QCryptographicHash::hash(secret.toUtf8(), QCryptographicHash::Sha256).toHex());
}

bool tagsEqual(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    // volatile keeps the compiler from turning the loop back into an early-exit comparison.
    volatile unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference = difference | (static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]));
    return difference == 0;
}

QByteArray decodeBase64Field(const QJsonObject &object, const QString &key, const QString &context)
{
    const QString text = JsonReader(object, context).string(key);
    const QByteArray::FromBase64Result result
        = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    // Characters outside Latin-1 become '?', which the decoder rejects like any other stray byte.
    if (result.decodingStatus != QByteArray::Base64DecodingStatus::Ok)
        throw JsonError(
            QStringLiteral("The value of %1 must be Base64 data.").arg(JsonReader(object, context).name(key)));
    return result.decoded;
}

} // namespace vellmir

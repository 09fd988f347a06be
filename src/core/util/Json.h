#pragma once

#include "util/Date.h"
#include "util/Error.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>
#include <QUuid>
#include <optional>

namespace vellmir {

class JsonError : public Error {
public:
    using Error::Error;
};

namespace json {

// Parses a whole document. Throws JsonError naming `what` when the bytes are not JSON.
QJsonDocument parse(const QByteArray &bytes, const QString &what = QStringLiteral("The data"));
QJsonObject parseObject(const QByteArray &bytes, const QString &what = QStringLiteral("The data"));
QJsonArray parseArray(const QByteArray &bytes, const QString &what = QStringLiteral("The data"));

// A stored value decoded with `T::fromJson(object)`. Throws JsonError naming `what` (for example
// the file) when the bytes are not a JSON object or the object is not a `T`.
template <typename T> T decoded(const QByteArray &bytes, const QString &what)
{
    const QJsonObject object = parseObject(bytes, what);
    try {
        return T::fromJson(object);
    } catch (const JsonError &error) {
        throw JsonError(QStringLiteral("%1 could not be decoded: %2").arg(what, error.message()));
    }
}

// One line of a program's output, parsed where it lies, without throwing. A line the parser
// refuses is read once more as text with invalid UTF-8 replaced by U+FFFD, so every line reads
// exactly as it would after being decoded to a string first; `error` tells that second reading.
QJsonDocument parseLine(QByteArrayView line, QJsonParseError *error = nullptr);

// A key written twice in one object. QJsonDocument keeps the last silently, which would act on
// a value its writer may not have meant; a reader that must not guess asks for this first.
struct RepeatedKey {
    // From the top down: a key (text) or an array's index (number), the repeated key last.
    QJsonArray path;
    QJsonValue first, second; // the two values, in the order written
};
// The shallowest key that `bytes`, a JSON text that QJsonDocument parses, writes twice in one
// object, the first in reading order of those as deep; nullopt when there is none, or when the
// text does not parse. Given `counts`, only a repeat at a path it accepts is looked for: one
// elsewhere can then neither be taken for it nor hide it.
std::optional<RepeatedKey> repeatedKey(QByteArrayView bytes, bool (*counts)(const QJsonArray &path) = nullptr);

enum class Style { Compact, Pretty };
struct WriteOptions {
    Style style = Style::Compact;
    bool escapeSlashes = false; // write "/" as "\/"
};
// Writes keys in sorted order. Throws JsonError for values JSON cannot hold (NaN, infinity).
QByteArray write(const QJsonValue &value, WriteOptions options = {});
inline QByteArray compact(const QJsonValue &value)
{
    return write(value, {});
}
inline QByteArray pretty(const QJsonValue &value)
{
    return write(value, { Style::Pretty, false });
}

// An integer written exactly as `digits` ("-" and decimal digits), however large: a value that
// write() puts out as those digits, for numbers a double would round.
QJsonValue exactInteger(const QByteArray &digits);

// Whole-number check shared by the readers: integral and within 64 bits.
std::optional<qint64> toInt64(const QJsonValue &value);

QJsonValue fromDate(Date date);
QJsonArray fromStrings(const QStringList &list);

} // namespace json

// Strict reading of one JSON object. A key whose value is null counts as missing; keys the
// reader does not ask for are ignored. Every failure is a JsonError whose sentence names the key.
class JsonReader {
public:
    explicit JsonReader(QJsonObject object, QString context = {})
        : m_object(std::move(object))
        , m_context(std::move(context))
    {
    }

    const QJsonObject &object() const { return m_object; }
    bool has(const QString &key) const;

    QString string(const QString &key) const;
    std::optional<QString> optionalString(const QString &key) const;
    bool boolean(const QString &key) const;
    std::optional<bool> optionalBoolean(const QString &key) const;
    qint64 integer(const QString &key) const;
    std::optional<qint64> optionalInteger(const QString &key) const;
    double number(const QString &key) const;
    std::optional<double> optionalNumber(const QString &key) const;
    QStringList strings(const QString &key) const;
    std::optional<QStringList> optionalStrings(const QString &key) const;
    QJsonObject object(const QString &key) const;
    std::optional<QJsonObject> optionalObject(const QString &key) const;
    QJsonArray array(const QString &key) const;
    std::optional<QJsonArray> optionalArray(const QString &key) const;
    QUuid uuid(const QString &key) const;
    std::optional<QUuid> optionalUuid(const QString &key) const;
    Date date(const QString &key) const;
    std::optional<Date> optionalDate(const QString &key) const;
    // A date stored as ISO 8601 text in UTC with whole seconds.
    Date isoDate(const QString &key) const;
    std::optional<Date> optionalIsoDate(const QString &key) const;

    // A text that must be one of a fixed set of raw values, converted by `parse`.
    template <typename E, typename Parse> E enumeration(const QString &key, Parse parse) const
    {
        const QString raw = string(key);
        std::optional<E> value = parse(raw);
        if (!value)
            fail(key, QStringLiteral("holds the unknown value \"%1\"").arg(raw));
        return *value;
    }

    [[noreturn]] void fail(const QString &key, const QString &problem) const;
    QString name(const QString &key) const;

private:
    QJsonValue required(const QString &key) const;

    QJsonObject m_object;
    QString m_context;
};

} // namespace vellmir

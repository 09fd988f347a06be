#include "util/Json.h"

#include "util/Uuid.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringEncoder>
#include <QVarLengthArray>
#include <QVariant>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace vellmir {
namespace json {

namespace {
// The one key of exactInteger's stand-in object, which no JSON text can spell by accident.
const QString exactIntegerKey = QChar(0) + QStringLiteral("exactInteger");
} // namespace

QJsonDocument parse(const QByteArray &bytes, const QString &what)
{
    QJsonParseError error {};
    QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        throw JsonError(
            QStringLiteral("%1 is not valid JSON (%2 at offset %3).").arg(what, error.errorString()).arg(error.offset));
    return document;
}

QJsonDocument parseLine(QByteArrayView line, QJsonParseError *error)
{
    QJsonParseError first {};
    QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromRawData(line.data(), line.size()), &first);
    if (first.error == QJsonParseError::NoError) {
        if (error)
            *error = first;
        return document;
    }
    return QJsonDocument::fromJson(QString::fromUtf8(line).toUtf8(), error);
}

namespace {

// Walks a text that parses, looking at every byte once; objects remember their keys with where
// each value was written. A key repeated deeper down does not end the walk: the object holding it
// may itself be a value whose key comes twice, which is the one the parsed document hides.
class RepeatScan {
public:
    RepeatScan(QByteArrayView text, bool (*counts)(const QJsonArray &))
        : m_text(text)
        , m_counts(counts)
    {
    }

    std::optional<RepeatedKey> run()
    {
        value();
        return std::move(m_found);
    }

private:
    void blanks()
    {
        while (m_at < m_text.size() && m_text.at(m_at) && std::strchr(" \t\r\n", m_text.at(m_at)))
            ++m_at;
    }

    // The value written between `from` and `to`, as JSON reads it.
    QJsonValue written(qsizetype from, qsizetype to) const
    {
        const QByteArray wrapped = '[' + m_text.sliced(from, to - from).toByteArray() + ']';
        return QJsonDocument::fromJson(wrapped).array().first();
    }

    // Steps over a string; returns where it began.
    qsizetype string()
    {
        const qsizetype start = m_at;
        for (++m_at; m_at < m_text.size() && m_text.at(m_at) != '"'; ++m_at)
            if (m_text.at(m_at) == '\\')
                ++m_at;
        ++m_at;
        return start;
    }

    void object()
    {
        QHash<QString, std::pair<qsizetype, qsizetype>> seen;
        ++m_at;
        for (blanks(); m_at < m_text.size() && m_text.at(m_at) != '}'; blanks()) {
            if (m_text.at(m_at) == ',')
                ++m_at, blanks();
            const qsizetype keyStart = string();
            const QString key = written(keyStart, m_at).toString();
            blanks();
            ++m_at; // the colon
            blanks();
            const qsizetype start = m_at;
            m_path.append(key);
            value();
            if (const auto first = seen.constFind(key); first == seen.constEnd())
                seen.insert(key, { start, m_at });
            else if ((!m_counts || m_counts(m_path)) && (!m_found || m_path.size() < m_found->path.size()))
                m_found = RepeatedKey { m_path, written(first->first, first->second), written(start, m_at) };
            m_path.removeLast();
        }
        ++m_at;
    }

    void array()
    {
        ++m_at;
        qint64 index = 0;
        for (blanks(); m_at < m_text.size() && m_text.at(m_at) != ']'; blanks()) {
            if (m_text.at(m_at) == ',')
                ++m_at, blanks();
            m_path.append(index++);
            value();
            m_path.removeLast();
        }
        ++m_at;
    }

    void value()
    {
        blanks();
        if (m_at >= m_text.size())
            return;
        const char c = m_text.at(m_at);
        if (c == '{')
            object();
        else if (c == '[')
            array();
        else if (c == '"')
            string();
        else
            while (m_at < m_text.size() && !std::strchr(" \t\r\n,]}", m_text.at(m_at)))
                ++m_at;
    }

    QByteArrayView m_text;
    bool (*m_counts)(const QJsonArray &);
    qsizetype m_at = 0;
    QJsonArray m_path;
    std::optional<RepeatedKey> m_found;
};

} // namespace

std::optional<RepeatedKey> repeatedKey(QByteArrayView bytes, bool (*counts)(const QJsonArray &path))
{
    QJsonParseError error {};
    QJsonDocument::fromJson(bytes.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError)
        return std::nullopt;
    return RepeatScan(bytes, counts).run();
}

QJsonObject parseObject(const QByteArray &bytes, const QString &what)
{
    const QJsonDocument document = parse(bytes, what);
    if (!document.isObject())
        throw JsonError(QStringLiteral("%1 is not a JSON object.").arg(what));
    return document.object();
}

QJsonArray parseArray(const QByteArray &bytes, const QString &what)
{
    const QJsonDocument document = parse(bytes, what);
    if (!document.isArray())
        throw JsonError(QStringLiteral("%1 is not a JSON array.").arg(what));
    return document.array();
}

QJsonValue exactInteger(const QByteArray &digits)
{
    return QJsonObject { { exactIntegerKey, QString::fromLatin1(digits) } };
}

std::optional<qint64> toInt64(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const QVariant variant = value.toVariant();
    if (variant.typeId() == QMetaType::LongLong)
        return variant.toLongLong();
    const double d = value.toDouble();
    // 2^63 is exactly representable; anything at or above it does not fit.
    if (!std::isfinite(d) || d != std::floor(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
        return std::nullopt;
    return static_cast<qint64>(d);
}

QJsonValue fromDate(Date date)
{
    return QJsonValue(date.seconds);
}

QJsonArray fromStrings(const QStringList &list)
{
    return QJsonArray::fromStringList(list);
}

namespace {

constexpr char hexDigits[] = "0123456789abcdef";

void writeEscapedUtf8(QByteArray &out, QByteArrayView utf8, bool escapeSlashes)
{
    const char *run = utf8.data();
    const char *const end = run + utf8.size();
    for (const char *at = run; at != end; ++at) {
        const auto c = static_cast<unsigned char>(*at);
        if (c >= 0x20 && c != '"' && c != '\\' && (c != '/' || !escapeSlashes))
            continue;
        out.append(run, at - run);
        run = at + 1;
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '/':
            out += "\\/";
            break;
        default:
            out += "\\u00";
            out += hexDigits[c >> 4];
            out += hexDigits[c & 0xf];
        }
    }
    out.append(run, end - run);
}

// Writes `text` as UTF-8, escaped, through a buffer of its own: most values are short.
void writeUtf8(QByteArray &out, QStringView text, bool escapeSlashes)
{
    QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    QVarLengthArray<char, 1024> utf8(encoder.requiredSpace(text.size()));
    char *const end = encoder.appendToBuffer(utf8.data(), text);
    writeEscapedUtf8(out, QByteArrayView(utf8.data(), end - utf8.data()), escapeSlashes);
}

void writeString(QByteArray &out, QStringView text, bool escapeSlashes)
{
    out += '"';
    // A lone surrogate stands for a file-name byte that is not UTF-8 and has no UTF-8 form of its
    // own; written as an escape, as QJsonDocument writes it, it reads back as the same name.
    const QChar *run = text.data();
    const QChar *end = run + text.size();
    for (const QChar *at = run; at != end; ++at) {
        if (at->isHighSurrogate() && at + 1 != end && (at + 1)->isLowSurrogate()) {
            ++at;
            continue;
        }
        if (!at->isSurrogate())
            continue;
        writeUtf8(out, QStringView(run, at), escapeSlashes);
        const char16_t unit = at->unicode();
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
            out += hexDigits[(unit >> shift) & 0xf];
        run = at + 1;
    }
    writeUtf8(out, QStringView(run, end), escapeSlashes);
    out += '"';
}

void writeNumber(QByteArray &out, const QJsonValue &value)
{
    const QVariant variant = value.toVariant();
    if (variant.typeId() == QMetaType::LongLong) {
        out += QByteArray::number(variant.toLongLong());
        return;
    }
    const double d = value.toDouble();
    if (!std::isfinite(d))
        throw JsonError(QStringLiteral("A number that JSON cannot hold could not be encoded."));
    if (d == std::floor(d) && std::fabs(d) < 1e15) {
        out += QByteArray::number(static_cast<qint64>(d));
        return;
    }
    out += QByteArray::number(d, 'g', QLocale::FloatingPointShortest);
}

void indent(QByteArray &out, int depth)
{
    out += '\n';
    out.append(depth * 2, ' ');
}

void writeValue(QByteArray &out, const QJsonValue &value, const WriteOptions &options, int depth)
{
    const bool pretty = options.style == Style::Pretty;
    switch (value.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        out += "null";
        break;
    case QJsonValue::Bool:
        out += value.toBool() ? "true" : "false";
        break;
    case QJsonValue::Double:
        writeNumber(out, value);
        break;
    case QJsonValue::String:
        writeString(out, value.toString(), options.escapeSlashes);
        break;
    case QJsonValue::Array: {
        const QJsonArray array = value.toArray();
        out += '[';
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (i > 0)
                out += ',';
            if (pretty)
                indent(out, depth + 1);
            writeValue(out, array.at(i), options, depth + 1);
        }
        if (pretty && !array.isEmpty())
            indent(out, depth);
        out += ']';
        break;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        // Written bare only when it holds an integer's digits: a JSON text can spell the key too.
        if (object.size() == 1 && object.begin().key() == exactIntegerKey) {
            static const QRegularExpression integer(QStringLiteral("\\A-?[0-9]+\\z"));
            const QString digits = object.begin().value().toString();
            if (integer.match(digits).hasMatch()) {
                out += digits.toLatin1();
                break;
            }
        }
        QList<std::pair<QString, QJsonValue>> members;
        members.reserve(object.size());
        for (auto it = object.begin(); it != object.end(); ++it)
            members.emplace_back(it.key(), it.value());
        std::sort(members.begin(), members.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        out += '{';
        bool first = true;
        for (const auto &[key, member] : std::as_const(members)) {
            if (!first)
                out += ',';
            first = false;
            if (pretty)
                indent(out, depth + 1);
            writeString(out, key, options.escapeSlashes);
            out += pretty ? " : " : ":";
            writeValue(out, member, options, depth + 1);
        }
        if (pretty && !object.isEmpty())
            indent(out, depth);
        out += '}';
        break;
    }
    }
}

} // namespace

QByteArray write(const QJsonValue &value, WriteOptions options)
{
    QByteArray out;
    writeValue(out, value, options, 0);
    return out;
}

} // namespace json

QString JsonReader::name(const QString &key) const
{
    return m_context.isEmpty() ? QStringLiteral("\"%1\"").arg(key) : QStringLiteral("\"%1.%2\"").arg(m_context, key);
}

void JsonReader::fail(const QString &key, const QString &problem) const
{
    throw JsonError(QStringLiteral("The value of %1 %2.").arg(name(key), problem));
}

bool JsonReader::has(const QString &key) const
{
    const QJsonValue value = m_object.value(key);
    return !value.isUndefined() && !value.isNull();
}

QJsonValue JsonReader::required(const QString &key) const
{
    QJsonValue value = m_object.value(key);
    if (value.isUndefined() || value.isNull())
        throw JsonError(QStringLiteral("The key %1 is missing.").arg(name(key)));
    return value;
}

#define VELLMIR_OPTIONAL(Type, method)                                                                                 \
    if (!has(key))                                                                                                     \
        return std::nullopt;                                                                                           \
    return method(key);

QString JsonReader::string(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isString())
        fail(key, QStringLiteral("must be a text"));
    return value.toString();
}

std::optional<QString> JsonReader::optionalString(const QString &key) const
{
    VELLMIR_OPTIONAL(QString, string)
}

bool JsonReader::boolean(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isBool())
        fail(key, QStringLiteral("must be true or false"));
    return value.toBool();
}

std::optional<bool> JsonReader::optionalBoolean(const QString &key) const { VELLMIR_OPTIONAL(bool, boolean) }

qint64 JsonReader::integer(const QString &key) const
{
    const std::optional<qint64> value = json::toInt64(required(key));
    if (!value)
        fail(key, QStringLiteral("must be a whole number that fits in 64 bits"));
    return *value;
}

std::optional<qint64> JsonReader::optionalInteger(const QString &key) const
{
    VELLMIR_OPTIONAL(qint64, integer)
}

double JsonReader::number(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isDouble())
        fail(key, QStringLiteral("must be a number"));
    return value.toDouble();
}

std::optional<double> JsonReader::optionalNumber(const QString &key) const { VELLMIR_OPTIONAL(double, number) }

QStringList JsonReader::strings(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isArray())
        fail(key, QStringLiteral("must be a list of texts"));
    QStringList list;
    const QJsonArray array = value.toArray();
    list.reserve(array.size());
    for (const QJsonValue &item : array) {
        if (!item.isString())
            fail(key, QStringLiteral("must be a list of texts"));
        list.append(item.toString());
    }
    return list;
}

std::optional<QStringList> JsonReader::optionalStrings(
    const QString &key) const { VELLMIR_OPTIONAL(QStringList, strings) }

QJsonObject JsonReader::object(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isObject())
        fail(key, QStringLiteral("must be an object"));
    return value.toObject();
}

std::optional<QJsonObject> JsonReader::optionalObject(
    const QString &key) const { VELLMIR_OPTIONAL(QJsonObject, object) }

QJsonArray JsonReader::array(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isArray())
        fail(key, QStringLiteral("must be a list"));
    return value.toArray();
}

std::optional<QJsonArray> JsonReader::optionalArray(const QString &key) const { VELLMIR_OPTIONAL(QJsonArray, array) }

QUuid JsonReader::uuid(const QString &key) const
{
    const std::optional<QUuid> value = parseUuid(string(key));
    if (!value)
        fail(key, QStringLiteral("must be a UUID"));
    return *value;
}

std::optional<QUuid> JsonReader::optionalUuid(const QString &key) const { VELLMIR_OPTIONAL(QUuid, uuid) }

Date JsonReader::date(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isDouble() || !std::isfinite(value.toDouble()))
        fail(key, QStringLiteral("must be a date in seconds"));
    return Date { value.toDouble() };
}

std::optional<Date> JsonReader::optionalDate(const QString &key) const { VELLMIR_OPTIONAL(Date, date) }

Date JsonReader::isoDate(const QString &key) const
{
    const std::optional<Date> value = Date::fromIso8601(string(key));
    if (!value)
        fail(key, QStringLiteral("must be an ISO 8601 date in UTC with whole seconds"));
    return *value;
}

std::optional<Date> JsonReader::optionalIsoDate(const QString &key) const
{
    VELLMIR_OPTIONAL(Date, isoDate)
}

#undef VELLMIR_OPTIONAL

} // namespace vellmir

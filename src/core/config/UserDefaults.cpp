#include "config/UserDefaults.h"

#include "config/FileLock.h"
#include "util/AppPaths.h"
#include "util/AtomicFile.h"
#include "util/Log.h"

#include <utility>

namespace vellmir {

namespace {

const QString component = QStringLiteral("settings");

bool isSpace(char ch)
{
    return ch == ' ' || ch == '\t';
}

int hexValue(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

// Keys and group names as QSettings writes them: "\" for "/", "%XX" and "%UXXXX" for the rest.
QString unescapedKey(QByteArrayView text)
{
    QString result;
    for (qsizetype i = 0; i < text.size();) {
        const char ch = text[i];
        if (ch == '\\') {
            result += u'/';
            ++i;
            continue;
        }
        const qsizetype digits = i + 1 < text.size() && text[i + 1] == 'U' ? 4 : 2;
        const qsizetype from = i + 1 + (digits == 4 ? 1 : 0);
        if (ch == '%' && from + digits <= text.size()) {
            bool ok = false;
            const uint code = text.sliced(from, digits).toByteArray().toUInt(&ok, 16);
            if (ok) {
                result += QChar(char16_t(code));
                i = from + digits;
                continue;
            }
        }
        result += QLatin1Char(ch);
        ++i;
    }
    return result;
}

QByteArray escapedKey(const QString &key)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    QByteArray result;
    for (const QChar c : key) {
        const char16_t ch = c.unicode();
        if (ch == u'/')
            result += '\\';
        else if ((ch >= u'a' && ch <= u'z') || (ch >= u'A' && ch <= u'Z') || (ch >= u'0' && ch <= u'9') || ch == u'_'
            || ch == u'-' || ch == u'.')
            result += char(ch);
        else if (ch <= 0xFF)
            result += QByteArray("%") + hex[ch >> 4] + hex[ch & 15];
        else
            result += QByteArray("%U") + hex[ch >> 12] + hex[(ch >> 8) & 15] + hex[(ch >> 4) & 15] + hex[ch & 15];
    }
    return result;
}

// The backslash escapes of QSettings' values; it writes all but the last two.
constexpr std::pair<char, char16_t> codes[] = { { 'a', u'\a' }, { 'b', u'\b' }, { 'f', u'\f' }, { 'n', u'\n' },
    { 'r', u'\r' }, { 't', u'\t' }, { 'v', u'\v' }, { '"', u'"' }, { '\\', u'\\' }, { '?', u'?' }, { '\'', u'\'' } };

// A value as QSettings reads it: quotes keep spaces and commas, backslash escapes, and the
// "@" forms of its variant text. Commas outside quotes made a list there; the text is kept.
std::optional<QString> unescapedValue(QByteArrayView text)
{
    QString result;
    bool inQuotes = false;
    bool quoted = false;
    qsizetype kept = 0; // what trimming the unquoted tail may not remove
    qsizetype i = 0;
    auto skipSpaces = [&] {
        while (i < text.size() && isSpace(text[i]))
            ++i;
        kept = result.size();
    };
    skipSpaces();
    while (i < text.size()) {
        const char ch = text[i];
        if (ch == '\\') {
            if (++i >= text.size())
                break;
            const char code = text[i++];
            const auto known
                = std::find_if(std::begin(codes), std::end(codes), [&](auto entry) { return entry.first == code; });
            if (known != std::end(codes)) {
                result += QChar(known->second);
            } else if (code == 'x' || (code >= '0' && code <= '7')) {
                const int base = code == 'x' ? 16 : 8;
                uint value = code == 'x' ? 0 : uint(code - '0');
                for (; i < text.size() && hexValue(text[i]) >= 0 && hexValue(text[i]) < base; ++i)
                    value = value * base + uint(hexValue(text[i]));
                result += QChar(char16_t(value));
            } else if ((code == '\n' || code == '\r') && i < text.size() && (text[i] == '\n' || text[i] == '\r')
                && text[i] != code) {
                ++i; // a line continued
            }
            kept = result.size();
        } else if (ch == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes)
                skipSpaces();
        } else if (ch == ',' && !inQuotes) {
            result += u',';
            ++i;
        } else {
            qsizetype end = i + 1;
            while (end < text.size() && text[end] != '\\' && text[end] != '"' && text[end] != ',')
                ++end;
            result += QString::fromUtf8(text.sliced(i, end - i));
            i = end;
        }
    }
    if (!quoted) {
        while (result.size() > kept && (result.endsWith(u' ') || result.endsWith(u'\t')))
            result.chop(1);
    }
    if (!result.startsWith(u'@'))
        return result;
    if (result == QLatin1String("@Invalid()"))
        return std::nullopt;
    if (result.startsWith(QLatin1String("@@")))
        return result.mid(1);
    for (const QLatin1String wrapped : { QLatin1String("@ByteArray("), QLatin1String("@String(") }) {
        if (result.startsWith(wrapped) && result.endsWith(u')'))
            return result.mid(wrapped.size(), result.size() - wrapped.size() - 1);
    }
    return result;
}

QByteArray escapedValue(QString text)
{
    if (text.startsWith(u'@'))
        text.prepend(u'@');
    QByteArray result;
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const char16_t ch = c.unicode();
        if (ch == u';' || ch == u',' || ch == u'=')
            needsQuotes = true;
        if (escapeNextIfDigit && ch < 0x80 && hexValue(char(ch)) >= 0) {
            result += "\\x" + QByteArray::number(uint(ch), 16);
            continue;
        }
        escapeNextIfDigit = false;
        const auto code
            = std::find_if(std::begin(codes), std::end(codes) - 2, [&](auto entry) { return entry.second == ch; });
        if (code != std::end(codes) - 2) {
            result += '\\';
            result += code->first;
        } else if (ch <= 0x1F) {
            result += ch == u'\0' ? QByteArray("\\0") : "\\x" + QByteArray::number(uint(ch), 16);
            escapeNextIfDigit = true;
        } else if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            // A character beyond U+FFFF is one UTF-8 sequence, not its two UTF-16 halves.
            result += text.sliced(i, 2).toUtf8();
            ++i;
        } else {
            result += QString(c).toUtf8();
        }
    }
    if (needsQuotes || result.startsWith(' ') || result.endsWith(' '))
        return '"' + result + '"';
    return result;
}

// The file's settings, read the way QSettings reads its INI files: one line per key (quotes
// may hold line breaks), ";" starts a comment, "[group]" names the group of the keys below it.
QMap<QString, QString> parsed(const QByteArray &data)
{
    QMap<QString, QString> values;
    QString group;
    qsizetype pos = data.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    while (pos < data.size()) {
        while (pos < data.size() && (isSpace(data[pos]) || data[pos] == '\n' || data[pos] == '\r'))
            ++pos;
        const qsizetype start = pos;
        qsizetype equals = -1;
        bool inQuotes = false;
        for (; pos < data.size(); ++pos) {
            const char ch = data[pos];
            if (ch == '\\') {
                ++pos;
            } else if (ch == '"') {
                inQuotes = !inQuotes;
            } else if (ch == '=' && !inQuotes && equals < 0) {
                equals = pos;
            } else if (!inQuotes && (ch == '\n' || ch == '\r' || ch == ';')) {
                break;
            }
        }
        const QByteArrayView line = QByteArrayView(data).sliced(start, std::min(pos, data.size()) - start);
        if (pos < data.size() && data[pos] == ';') {
            while (pos < data.size() && data[pos] != '\n' && data[pos] != '\r')
                ++pos;
        }
        if (line.startsWith('[')) {
            const qsizetype close = line.indexOf(']');
            const QByteArray name = line.sliced(1, (close < 0 ? line.size() : close) - 1).toByteArray().trimmed();
            group = name.compare("general", Qt::CaseInsensitive) == 0 ? QString()
                : name.compare("%general", Qt::CaseInsensitive) == 0  ? QStringLiteral("General/")
                                                                      : unescapedKey(name) + u'/';
        } else if (equals >= 0) {
            const QString key = group + unescapedKey(line.sliced(0, equals - start).toByteArray().trimmed());
            if (const std::optional<QString> value = unescapedValue(line.sliced(equals - start + 1)))
                values.insert(key, *value);
        }
    }
    return values;
}

// The layout QSettings gives its files: the top-level keys under [General], then each group.
QByteArray serialized(const QMap<QString, QString> &values)
{
    QMap<QString, QByteArray> groups;
    for (auto entry = values.cbegin(); entry != values.cend(); ++entry) {
        const qsizetype slash = entry.key().indexOf(u'/');
        const QString group = slash < 0 ? QString() : entry.key().left(slash);
        groups[group] += escapedKey(entry.key().mid(slash + 1)) + '=' + escapedValue(entry.value()) + '\n';
    }
    QByteArray data;
    for (auto group = groups.cbegin(); group != groups.cend(); ++group) {
        if (!data.isEmpty())
            data += '\n';
        const QByteArray name = group.key().isEmpty() ? QByteArray("General")
            : group.key() == QLatin1String("General") ? QByteArray("%General")
                                                      : escapedKey(group.key());
        data += '[' + name + "]\n" + group.value();
    }
    return data;
}

// What the file holds. Anything but a regular file of ours at the name (a link, a FIFO, a huge
// file) is set aside and the defaults stand; it is never followed, waited on or read whole. Throws
// Error when the file is there but cannot be read.
QMap<QString, QString> fileValues(const QString &path)
{
    const std::optional<QByteArray> data = readOwnFile(path, FileBound::settings, component);
    return data ? parsed(*data) : QMap<QString, QString>();
}

QMap<QString, QString> readValues(const QString &path)
{
    try {
        return fileValues(path);
    } catch (const Error &error) {
        logLine(component, error.message());
        return {};
    }
}

} // namespace

QString UserDefaults::defaultFilePath()
{
    return AppPaths::configDirectory() + QStringLiteral("/Vellmir/Vellmir.conf");
}

UserDefaults::UserDefaults()
    : UserDefaults(defaultFilePath())
{
}

UserDefaults::UserDefaults(const QString &filePath)
    : m_path(filePath)
{
    sync();
}

const QMap<QString, QString> &UserDefaults::values() const
{
    // Stamped before the read: a change during it is read again next time.
    if (const FileStamp now = FileStamp::of(m_path); now != m_stamp) {
        m_stamp = now;
        m_values = readValues(m_path);
    }
    return m_values;
}

bool UserDefaults::contains(const QString &key) const
{
    return values().contains(key);
}

std::optional<QVariant> UserDefaults::value(const QString &key) const
{
    const QMap<QString, QString> &current = values();
    const auto found = current.constFind(key);
    if (found == current.cend())
        return std::nullopt;
    return QVariant(*found);
}

bool UserDefaults::boolValue(const QString &key, bool fallback) const
{
    const std::optional<QVariant> stored = value(key);
    if (!stored)
        return fallback;
    // The file holds text; "true"/"false" and numbers both convert.
    return stored->toBool();
}

std::optional<QString> UserDefaults::stringValue(const QString &key) const
{
    const std::optional<QVariant> stored = value(key);
    if (!stored)
        return std::nullopt;
    return stored->toString();
}

std::optional<qint64> UserDefaults::integerValue(const QString &key) const
{
    const std::optional<QVariant> stored = value(key);
    if (!stored)
        return std::nullopt;
    bool ok = false;
    const qint64 number = stored->toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return number;
}

void UserDefaults::setValue(const QString &key, const QVariant &value)
{
    change(key,
        value.typeId() == QMetaType::Bool ? QString::fromLatin1(value.toBool() ? "true" : "false") : value.toString());
}

void UserDefaults::remove(const QString &key)
{
    change(key, std::nullopt);
}

void UserDefaults::sync()
{
    m_stamp = FileStamp::of(m_path);
    m_values = readValues(m_path);
}

void UserDefaults::change(const QString &key, const std::optional<QString> &text)
{
    try {
        // On what the file holds now, under its lock: another process's change since this one
        // last read is kept. Not "Vellmir.conf.lock": that is QSettings' own lock file, which an
        // earlier version takes and would wait 30 s on, as on a stale one, while ours stays.
        const FileLock lock(m_path + QStringLiteral(".flock"), true);
        removeLeftoverTemporaries(m_path, component);
        // A file that cannot be read (another user's, an I/O error) is not replaced by this one
        // key: every other setting in it would be lost.
        QMap<QString, QString> values = fileValues(m_path);
        if (text)
            values.insert(key, *text);
        else
            values.remove(key);
        writeFileAtomically(m_path, serialized(values));
        m_values = std::move(values);
        // Not stamped: another process may write before the stamp could be taken, so the next
        // read looks at the file again.
        m_stamp = FileStamp();
    } catch (const Error &error) {
        logLine(component, error.message());
    }
}

} // namespace vellmir

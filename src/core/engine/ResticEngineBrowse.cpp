// Snapshot browsing for ResticEngine: one folder, or a search below it, through "restic ls".
#include "engine/ResticEngine.h"
#include "util/Error.h"
#include "util/Json.h"
#include "util/ResticError.h"

#include <QCollator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstring>
#include <numeric>
#include <optional>
#include <vector>

namespace vellmir {

namespace {

constexpr qsizetype browseLimit = 1000;

const QString notAbsolute = QStringLiteral("Select an absolute path from the snapshot browser.");

QString browseFailure(int status)
{
    return QStringLiteral("Could not browse this snapshot (%1).").arg(status);
}

// A walk over the top level of one JSON object line that finds members without building any
// value. It checks no more of the syntax than it needs to find its way: a line it cannot walk
// is left to the parser, and so is any line that is not valid JSON, which the parser refuses.
struct LineWalk {
    const char *at;
    const char *end;

    bool atChar(char c) const { return at < end && *at == c; }

    void skipSpace()
    {
        while (at < end && (*at == ' ' || *at == '\t' || *at == '\n' || *at == '\r'))
            ++at;
    }

    // At an opening quote: moves past the closing one. `raw` is what lies between them, as
    // written; `escaped` tells whether it holds an escape.
    bool string(QByteArrayView &raw, bool &escaped)
    {
        const char *start = ++at;
        escaped = false;
        while (true) {
            const auto *quote = static_cast<const char *>(std::memchr(at, '"', size_t(end - at)));
            if (!quote)
                return false;
            const auto *slash = static_cast<const char *>(std::memchr(at, '\\', size_t(quote - at)));
            if (!slash) {
                raw = QByteArrayView(start, quote - start);
                at = quote + 1;
                return true;
            }
            // The escaped character, a quote or a backslash included, is passed over; the hex
            // digits of "\u" hold neither.
            escaped = true;
            at = slash + 2;
        }
    }

    // Moves past one value of any kind.
    bool value()
    {
        QByteArrayView raw;
        bool escaped = false;
        if (atChar('"'))
            return string(raw, escaped);
        if (atChar('{') || atChar('[')) {
            int depth = 0;
            while (at < end) {
                const char c = *at;
                if (c == '"') {
                    if (!string(raw, escaped))
                        return false;
                    continue;
                }
                ++at;
                if (c == '{' || c == '[')
                    ++depth;
                else if ((c == '}' || c == ']') && --depth == 0)
                    return true;
            }
            return false;
        }
        // A number, true, false or null.
        const char *start = at;
        while (at < end && *at != ',' && *at != '}' && *at != ']' && *at != ' ' && *at != '\t' && *at != '\n'
            && *at != '\r')
            ++at;
        return at > start;
    }
};

// Whether the listing line may name a path that holds `search`, judged by the text of its
// top-level "path" member alone, so that the other members (node types, modes, dates, which
// hold most words a user might type) cost nothing. False only when the line certainly lists no
// such path: for a valid line, its one "path" member is a string without that text, or it has
// no string "path" at all; an invalid line the parser refuses anyway. Anything less certain
// (an escaped key, a repeated "path", text that does not decode cleanly) is left to the parser.
bool pathMayMatch(QByteArrayView line, const QString &search)
{
    LineWalk walk { line.data(), line.data() + line.size() };
    walk.skipSpace();
    if (!walk.atChar('{'))
        return true;
    ++walk.at;
    walk.skipSpace();
    bool seen = false;
    std::optional<QByteArrayView> path;
    bool pathEscaped = false;
    if (walk.atChar('}')) {
        ++walk.at;
    } else {
        while (true) {
            walk.skipSpace();
            QByteArrayView key;
            bool keyEscaped = false;
            if (!walk.atChar('"') || !walk.string(key, keyEscaped) || keyEscaped)
                return true;
            walk.skipSpace();
            if (!walk.atChar(':'))
                return true;
            ++walk.at;
            walk.skipSpace();
            if (key == QByteArrayView("path")) {
                if (seen)
                    return true;
                seen = true;
                if (walk.atChar('"')) {
                    QByteArrayView raw;
                    if (!walk.string(raw, pathEscaped))
                        return true;
                    path = raw;
                } else if (!walk.value()) {
                    return true;
                }
            } else if (!walk.value()) {
                return true;
            }
            walk.skipSpace();
            if (walk.atChar(',')) {
                ++walk.at;
                continue;
            }
            if (!walk.atChar('}'))
                return true;
            ++walk.at;
            break;
        }
    }
    walk.skipSpace();
    if (walk.at != walk.end)
        return true;
    if (!path)
        return false;

    QString text;
    if (pathEscaped) {
        // Escapes decoded by the same parser that reads the whole line.
        const QJsonDocument document = QJsonDocument::fromJson("[\"" + path->toByteArray() + "\"]");
        const QJsonValue decoded = document.array().at(0);
        if (!decoded.isString())
            return true;
        text = decoded.toString();
    } else {
        text = QString::fromUtf8(*path);
    }
    // Invalid UTF-8 decodes with replacement characters; how many depends on what follows, so
    // such a path is left to the parser of the whole line.
    if (text.contains(QChar::ReplacementCharacter))
        return true;
    return text.contains(search, Qt::CaseInsensitive);
}

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// A path cut into alternating runs of digits and of everything else, so that "file10" sorts
// after "file9" as a file browser shows them.
struct SortKey {
    QList<QStringView> runs;

    explicit SortKey(QStringView path)
    {
        qsizetype start = 0;
        for (qsizetype i = 1; i <= path.size(); ++i) {
            if (i == path.size() || isAsciiDigit(path[i]) != isAsciiDigit(path[start])) {
                runs.append(path.mid(start, i - start));
                start = i;
            }
        }
    }
};

int compareNumbers(QStringView a, QStringView b)
{
    while (a.size() > 1 && a.front() == u'0')
        a = a.mid(1);
    while (b.size() > 1 && b.front() == u'0')
        b = b.mid(1);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

// Runs of digits compare by value, other runs by the user's collation without regard to case.
int naturalCompare(const SortKey &a, const SortKey &b, const QCollator &collator)
{
    const qsizetype count = std::min(a.runs.size(), b.runs.size());
    for (qsizetype i = 0; i < count; ++i) {
        const QStringView x = a.runs[i];
        const QStringView y = b.runs[i];
        const int order
            = isAsciiDigit(x.front()) && isAsciiDigit(y.front()) ? compareNumbers(x, y) : collator.compare(x, y);
        if (order != 0)
            return order;
    }
    return a.runs.size() < b.runs.size() ? -1 : a.runs.size() > b.runs.size() ? 1 : 0;
}

// Folders first, then the order of a file browser. Stable, so equal paths keep restic's order.
void sortForBrowsing(QList<SnapshotEntry> &entries)
{
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::vector<SortKey> keys;
    keys.reserve(size_t(entries.size()));
    for (const SnapshotEntry &entry : std::as_const(entries))
        keys.emplace_back(entry.path);
    std::vector<qsizetype> order(size_t(entries.size()));
    std::iota(order.begin(), order.end(), qsizetype(0));
    std::stable_sort(order.begin(), order.end(), [&](qsizetype a, qsizetype b) {
        const bool aFolder = entries[a].isDirectory();
        if (aFolder != entries[b].isDirectory())
            return aFolder;
        return naturalCompare(keys[size_t(a)], keys[size_t(b)], collator) < 0;
    });
    QList<SnapshotEntry> sorted;
    sorted.reserve(entries.size());
    for (const qsizetype index : order)
        sorted.append(std::move(entries[index]));
    entries = std::move(sorted);
}

} // namespace

QList<SnapshotEntry> ResticEngine::browse(const QString &snapshot, const QString &directory, const QString &search,
    bool recursive, const ResticEnvironment &environment, std::stop_token stop, Snapshot *listed) const
{
    // Only absolute folders reach restic; anything else would at best list nothing.
    if (!directory.startsWith(u'/'))
        throw ResticError::command(browseFailure(-1));

    ResticCommand command(QStringLiteral("ls"));
    command.flag(QStringLiteral("--json"));
    if (!search.isEmpty() || recursive)
        command.flag(QStringLiteral("--recursive"));
    command.positional(snapshot).positional(directory);

    // Most lines of a search match nothing: those are judged by their path's text alone and
    // never parsed.
    int status = -1;
    QString lastError;
    QList<SnapshotEntry> entries;
    bool snapshotSeen = false;
    streamBytes(command, environment, stop, [&](const ResticStreamBytes &event) {
        switch (event.type) {
        case ResticStreamEvent::Type::stdoutLine: {
            // The snapshot comes first, before any node.
            if (listed && !snapshotSeen) {
                snapshotSeen = true;
                const QJsonObject object = json::parseLine(event.line).object();
                if (object.value(QLatin1String("struct_type")) == QLatin1String("snapshot")) {
                    *listed = Snapshot::fromJson(object);
                    return;
                }
            }
            // Once the listing is full the rest is only drained, so restic finishes normally.
            if (entries.size() >= browseLimit || (!search.isEmpty() && !pathMayMatch(event.line, search)))
                return;
            const QJsonDocument document = json::parseLine(event.line);
            if (!document.isObject())
                return;
            const QJsonObject node = document.object();
            const QJsonValue path = node.value(QLatin1String("path"));
            const QJsonValue type = node.value(QLatin1String("type"));
            if (node.value(QLatin1String("struct_type")) != QLatin1String("node") || !path.isString()
                || !type.isString())
                return;
            const QString nodePath = path.toString();
            if (nodePath == directory)
                return;
            if (!search.isEmpty() && !nodePath.contains(search, Qt::CaseInsensitive))
                return;
            entries.append({ nodePath, type.toString(), json::toInt64(node.value(QLatin1String("size"))).value_or(0) });
            break;
        }
        case ResticStreamEvent::Type::stderrLine:
            lastError = event.text();
            break;
        case ResticStreamEvent::Type::finished:
            status = event.status;
            break;
        }
    });
    if (stop.stop_requested())
        throw CancellationError();
    if (status != 0) {
        // restic 0.18 reports a failed "ls --json" as a JSON object: the user gets its message.
        const QString message = errorText(lastError);
        throw ResticError::command(message.isEmpty() ? browseFailure(status) : message);
    }
    sortForBrowsing(entries);
    return entries;
}

QString ResticEngine::literalInclude(const QString &path)
{
    if (!path.startsWith(u'/') || path.contains(u'\n')
        || path.split(u'/', Qt::SkipEmptyParts).contains(QStringLiteral("..")))
        throw ResticError::command(notAbsolute);
    QString pattern;
    pattern.reserve(path.size() + 8);
    for (const QChar c : path) {
        if (c == u'\\' || c == u'*' || c == u'?' || c == u'[' || c == u']')
            pattern.append(u'\\');
        pattern.append(c);
    }
    return pattern;
}

} // namespace vellmir

// Snapshot browsing for ResticEngine: one folder, or a search below it, through "restic ls".
#include "config/Destination.h"
#include "engine/ResticEngine.h"
#include "util/Error.h"
#include "util/Json.h"
#include "util/LocalPath.h"
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

// The top-level "path" member of one listing line, as far as a walk can tell without parsing.
struct PathMember {
    enum class Found { uncertain, none, string } found = Found::uncertain;
    QByteArrayView raw; // string: as written between the quotes
    bool escaped = false; // string: whether `raw` holds an escape
};

// Uncertain for anything but a plain object with at most one "path" member and no escaped key;
// such a line is left to the parser.
PathMember findPath(QByteArrayView line)
{
    LineWalk walk { line.data(), line.data() + line.size() };
    walk.skipSpace();
    if (!walk.atChar('{'))
        return {};
    ++walk.at;
    walk.skipSpace();
    bool seen = false;
    PathMember member { PathMember::Found::none, {}, false };
    if (walk.atChar('}')) {
        ++walk.at;
    } else {
        while (true) {
            walk.skipSpace();
            QByteArrayView key;
            bool keyEscaped = false;
            if (!walk.atChar('"') || !walk.string(key, keyEscaped) || keyEscaped)
                return {};
            walk.skipSpace();
            if (!walk.atChar(':'))
                return {};
            ++walk.at;
            walk.skipSpace();
            if (key == QByteArrayView("path")) {
                if (seen)
                    return {};
                seen = true;
                if (walk.atChar('"')) {
                    if (!walk.string(member.raw, member.escaped))
                        return {};
                    member.found = PathMember::Found::string;
                } else if (!walk.value()) {
                    return {};
                }
            } else if (!walk.value()) {
                return {};
            }
            walk.skipSpace();
            if (walk.atChar(',')) {
                ++walk.at;
                continue;
            }
            if (!walk.atChar('}'))
                return {};
            ++walk.at;
            break;
        }
    }
    walk.skipSpace();
    if (walk.at != walk.end)
        return {};
    return member;
}

// Whether the listing line may name a path that holds `search`, judged by the text of its
// top-level "path" member alone, so that the other members (node types, modes, dates, which
// hold most words a user might type) cost nothing. False only when the line certainly lists no
// such path: for a valid line, its one "path" member is a string without that text, or it has
// no string "path" at all; an invalid line the parser refuses anyway. Anything less certain
// (an escaped key, a repeated "path", text that does not decode cleanly) is left to the parser.
bool pathMayMatch(QByteArrayView line, const QString &search)
{
    const PathMember member = findPath(line);
    if (member.found == PathMember::Found::uncertain)
        return true;
    if (member.found == PathMember::Found::none)
        return false;
    QString text;
    if (member.escaped) {
        // Escapes decoded by the same parser that reads the whole line.
        const QJsonDocument document = QJsonDocument::fromJson("[\"" + member.raw.toByteArray() + "\"]");
        const QJsonValue decoded = document.array().at(0);
        if (!decoded.isString())
            return true;
        text = decoded.toString();
    } else {
        text = QString::fromUtf8(member.raw);
    }
    // Invalid UTF-8 decodes with replacement characters; how many depends on what follows, so
    // such a path is left to the parser of the whole line.
    if (text.contains(QChar::ReplacementCharacter))
        return true;
    return text.contains(search, Qt::CaseInsensitive);
}

// How many line feeds the path of a listing line holds: restic's plain listing writes each
// path on a line of its own, so a path with line feeds takes more than one.
int pathLineFeeds(QByteArrayView line)
{
    if (!line.contains('\\')) // nothing is escaped: the case of almost every line
        return 0;
    const PathMember member = findPath(line);
    if (member.found != PathMember::Found::string || !member.escaped)
        return 0;
    int count = 0;
    for (qsizetype i = 0; i + 1 < member.raw.size(); ++i) {
        if (member.raw[i] != '\\')
            continue;
        const QByteArrayView escape = member.raw.sliced(i + 1);
        if (escape.startsWith('n') || escape.startsWith("u000a") || escape.startsWith("u000A"))
            ++count;
        ++i; // past the escaped character: the n of an escaped backslash and an n is no line feed
    }
    return count;
}

// Whether `exact`, a path with each byte that is not UTF-8 kept (LocalPath), is what restic's
// JSON shows as `listed`: the same, but for a replacement character in place of each such byte.
bool listedAs(const QString &exact, const QString &listed)
{
    if (exact.size() != listed.size())
        return false;
    for (qsizetype i = 0; i < exact.size(); ++i) {
        if (exact[i] != listed[i]
            && !(listed[i] == QChar::ReplacementCharacter && !LocalPath::isText(QString(exact[i]))))
            return false;
    }
    return true;
}

// restic's JSON listing turns each byte of a name that is not UTF-8 into a replacement
// character, so such a name could not be used again. Its plain listing ("ls --quiet") writes the
// same nodes in the same order, each path as its bytes and a line feed: the entries whose paths
// came out inexact take their bytes from there, found by counting nodes and the line feeds their
// paths hold. An entry whose bytes do not fit what the JSON showed keeps its listed path.
class NameRecovery {
public:
    // Every node line of the JSON listing passes here, in order.
    void countNode(QByteArrayView line)
    {
        const int feeds = pathLineFeeds(line);
        if (feeds > 0)
            m_feedsBefore.push_back({ m_nodes, feeds });
        ++m_nodes;
    }

    // The entry about to be appended is the node just counted, with an inexact path.
    void markLast(qsizetype entry)
    {
        qsizetype line = m_nodes - 1;
        for (const auto &[node, feeds] : m_feedsBefore) {
            if (node < m_nodes - 1)
                line += feeds;
        }
        const int feeds
            = !m_feedsBefore.empty() && m_feedsBefore.back().first == m_nodes - 1 ? m_feedsBefore.back().second : 0;
        m_wanted.push_back({ entry, line, line + feeds, {} });
    }

    bool needed() const { return !m_wanted.empty(); }

    void recover(const ResticEngine &engine, const ResticCommand &plain, const ResticEnvironment &environment,
        std::stop_token stop, QList<SnapshotEntry> &entries)
    {
        qsizetype line = 0;
        size_t next = 0; // the first wanted path not yet complete
        int status = -1;
        engine.streamBytes(plain, environment, stop, [&](const ResticStreamBytes &event) {
            if (event.type == ResticStreamEvent::Type::finished)
                status = event.status;
            if (event.type != ResticStreamEvent::Type::stdoutLine)
                return;
            if (next < m_wanted.size() && line >= m_wanted[next].firstLine) {
                Wanted &wanted = m_wanted[next];
                if (line > wanted.firstLine)
                    wanted.bytes.append('\n');
                wanted.bytes.append(event.line.data(), event.line.size());
                if (line == wanted.lastLine)
                    ++next;
            }
            ++line;
        });
        if (stop.stop_requested())
            throw CancellationError();
        // A listing that does not match node for node tells nothing.
        if (status != 0 || line != m_nodes + totalFeeds())
            return;
        for (const Wanted &wanted : m_wanted) {
            const QString exact = LocalPath::decode(wanted.bytes);
            SnapshotEntry &entry = entries[wanted.entry];
            if (listedAs(exact, entry.path))
                entry.path = exact;
        }
    }

private:
    struct Wanted {
        qsizetype entry;
        qsizetype firstLine; // of the plain listing
        qsizetype lastLine;
        QByteArray bytes;
    };

    qsizetype totalFeeds() const
    {
        qsizetype total = 0;
        for (const auto &[node, feeds] : m_feedsBefore)
            total += feeds;
        return total;
    }

    qsizetype m_nodes = 0;
    std::vector<std::pair<qsizetype, int>> m_feedsBefore; // node, line feeds in its path
    std::vector<Wanted> m_wanted;
};

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
        throw EngineRefusal(browseFailure(-1));

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
    Snapshot first;
    bool snapshotSeen = false;
    NameRecovery recovery;
    streamBytes(command, environment, stop, [&](const ResticStreamBytes &event) {
        switch (event.type) {
        case ResticStreamEvent::Type::stdoutLine: {
            // The snapshot comes first, before any node.
            if (!snapshotSeen) {
                snapshotSeen = true;
                const QJsonObject object = json::parseLine(event.line).object();
                if (object.value(QLatin1String("struct_type")) == QLatin1String("snapshot")) {
                    first = Snapshot::fromJson(object);
                    return;
                }
            }
            recovery.countNode(event.line);
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
            const bool inexact = nodePath.contains(QChar::ReplacementCharacter);
            if (nodePath == directory || (inexact && listedAs(directory, nodePath)))
                return;
            if (!search.isEmpty() && !nodePath.contains(search, Qt::CaseInsensitive))
                return;
            if (inexact)
                recovery.markLast(entries.size());
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
    if (listed)
        *listed = first;
    if (recovery.needed()) {
        ResticCommand plain(QStringLiteral("ls"));
        plain.flag(QStringLiteral("--quiet"));
        if (!search.isEmpty() || recursive)
            plain.flag(QStringLiteral("--recursive"));
        plain.positional(first.id.isEmpty() ? snapshot : first.id).positional(directory);
        recovery.recover(*this, plain, environment, stop, entries);
    }
    sortForBrowsing(entries);
    return entries;
}

QString ResticEngine::literalInclude(const QString &path)
{
    // restic takes a pattern from its command line as it is, line feeds and other bytes included.
    if (!path.startsWith(u'/') || path.split(u'/', Qt::SkipEmptyParts).contains(QStringLiteral("..")))
        throw EngineRefusal(notAbsolute);
    return Destination::literalPattern(path);
}

} // namespace vellmir

// Snapshot browsing for ResticEngine: one folder, or a search below it, through "restic ls".
#include "engine/ResticEngine.h"
#include "util/Error.h"
#include "util/Json.h"
#include "util/ResticError.h"

#include <QCollator>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <numeric>
#include <vector>

namespace vellmir {

namespace {

constexpr qsizetype browseLimit = 1000;

const QString notAbsolute = QStringLiteral("Select an absolute path from the snapshot browser.");

QString browseFailure(int status)
{
    return QStringLiteral("Could not browse this snapshot (%1).").arg(status);
}

// Whether `search` appears unchanged in restic's JSON wherever it appears in a path: restic's
// encoder escapes quotes, backslashes, control characters, "<", ">", "&", U+2028 and U+2029,
// and writes U+FFFD for invalid bytes. Only then can a line be judged before it is parsed.
bool survivesJsonEncoding(const QString &search)
{
    return std::none_of(search.cbegin(), search.cend(), [](QChar c) {
        return c < u' ' || c == u'"' || c == u'\\' || c == u'<' || c == u'>' || c == u'&' || c == QChar(0x2028)
            || c == QChar(0x2029) || c == QChar::ReplacementCharacter;
    });
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
    bool recursive, const ResticEnvironment &environment, std::stop_token stop) const
{
    // Only absolute folders reach restic; anything else would at best list nothing.
    if (!directory.startsWith(u'/'))
        throw ResticError::command(browseFailure(-1));

    ResticCommand command(QStringLiteral("ls"));
    command.flag(QStringLiteral("--json"));
    if (!search.isEmpty() || recursive)
        command.flag(QStringLiteral("--recursive"));
    command.positional(snapshot).positional(directory);

    // Most lines of a search match nothing; a line that does not hold the text cannot hold a
    // path that does, which spares parsing it.
    const bool prefilter = !search.isEmpty() && survivesJsonEncoding(search);
    int status = -1;
    QString lastError;
    QList<SnapshotEntry> entries;
    stream(command, environment, stop, [&](const ResticStreamEvent &event) {
        switch (event.type) {
        case ResticStreamEvent::Type::stdoutLine: {
            // Once the listing is full the rest is only drained, so restic finishes normally.
            if (entries.size() >= browseLimit || (prefilter && !event.line.contains(search, Qt::CaseInsensitive)))
                return;
            const QJsonDocument document = QJsonDocument::fromJson(event.line.toUtf8());
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
            lastError = event.line;
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

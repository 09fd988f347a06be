#include "operations/HistoryIndexFormat.h"

#include <algorithm>

namespace vellmir {

template <typename Each> bool HistoryIndexAccess::newestFirst(const HistoryIndex &index, const Span &span, Each each)
{
    // Of equal start times, an appended entry comes after the compact ones, as a merge puts it.
    std::vector<Read> appended;
    if (index.m_tail)
        for (const HistoryIndex::Tail::Entry &entry : index.m_tail->entries)
            if (std::memcmp(entry.raw.destination, span.total.destination, 16) == 0)
                appended.push_back(Read { entry.raw, entry.name, true });
    std::stable_sort(appended.begin(), appended.end(),
        [](const Read &a, const Read &b) { return a.raw.startedAt > b.raw.startedAt; });
    size_t next = 0;
    qsizetype at = 0;
    bool going = true;
    const auto give = [&](const Read &entry) { going = each(entry, at++); };
    constexpr qsizetype largestChunk = 4096;
    qsizetype done = 0;
    for (qsizetype chunk = 16; going && done < qsizetype(span.stored); chunk = std::min(chunk * 2, largestChunk)) {
        const qsizetype count = std::min(chunk, qsizetype(span.stored) - done);
        const std::optional<QList<Read>> read = HistoryIndexAccess::read(index, qsizetype(span.first) + done, count);
        if (!read)
            return false;
        for (qsizetype i = 0; going && i < read->size(); ++i) {
            const Read &entry = read->at(i);
            if (!entry.intact || std::memcmp(entry.raw.destination, span.total.destination, 16) != 0)
                return false;
            if (index.m_tail && index.m_tail->replaced.contains(span.first + quint64(done + i)))
                continue;
            while (going && next < appended.size() && appended[next].raw.startedAt > entry.raw.startedAt)
                give(appended[next++]);
            if (going)
                give(entry);
        }
        done += count;
    }
    while (going && next < appended.size())
        give(appended[next++]);
    return true;
}

QString HistoryIndex::pathFor(const QString &directory)
{
    return directory + QStringLiteral(".index");
}

bool HistoryIndex::plainName(const QByteArray &name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') && !name.contains('\0');
}

bool HistoryIndex::anyRunning(const QUuid &destinationID) const
{
    const std::optional<HistoryIndexAccess::Span> span = HistoryIndexAccess::spanOf(*this, destinationID);
    return span && span->total.running > 0;
}

std::optional<Date> HistoryIndex::latestPrune(const QUuid &destinationID) const
{
    const std::optional<HistoryIndexAccess::Span> span = HistoryIndexAccess::spanOf(*this, destinationID);
    if (!span || !span->total.pruned)
        return std::nullopt;
    return Date { span->total.latestPrune };
}

std::optional<QList<HistoryIndex::Entry>> HistoryIndex::entries(const QUuid &destinationID, qsizetype limit) const
{
    QList<Entry> entries;
    const std::optional<HistoryIndexAccess::Span> span = HistoryIndexAccess::spanOf(*this, destinationID);
    if (!span || limit == 0)
        return entries;
    entries.reserve(limit < 0 ? qsizetype(span->total.count) : std::min(qsizetype(span->total.count), limit));
    QHash<quint32, QString> scopes;
    const bool whole
        = HistoryIndexAccess::newestFirst(*this, *span, [&](const HistoryIndexAccess::Read &each, qsizetype) {
              entries.append(Entry { each.name, HistoryIndexAccess::outline(*this, each.raw, scopes) });
              return limit < 0 || entries.size() < limit;
          });
    if (!whole)
        return std::nullopt;
    return entries;
}

std::optional<qsizetype> HistoryIndex::runningDepth(const QUuid &destinationID) const
{
    const std::optional<HistoryIndexAccess::Span> span = HistoryIndexAccess::spanOf(*this, destinationID);
    if (!span || span->total.running == 0)
        return 0;
    quint64 running = 0;
    std::optional<qsizetype> depth;
    const bool whole
        = HistoryIndexAccess::newestFirst(*this, *span, [&](const HistoryIndexAccess::Read &each, qsizetype at) {
              if (each.raw.outcome == quint32(BackupRecord::Outcome::running) && ++running == span->total.running)
                  depth = at + 1;
              return !depth;
          });
    return whole ? depth : std::nullopt;
}

bool HistoryIndex::eachOutline(const QUuid &destinationID, const std::function<bool(const BackupRecord &)> &each) const
{
    const std::optional<HistoryIndexAccess::Span> span = HistoryIndexAccess::spanOf(*this, destinationID);
    if (!span)
        return true;
    QHash<quint32, QString> scopes;
    return HistoryIndexAccess::newestFirst(*this, *span, [&](const HistoryIndexAccess::Read &entry, qsizetype) {
        return each(HistoryIndexAccess::outline(*this, entry.raw, scopes));
    });
}

qsizetype HistoryIndex::count(const QUuid &destinationID) const
{
    const std::optional<HistoryIndexAccess::Span> span = HistoryIndexAccess::spanOf(*this, destinationID);
    return span ? qsizetype(span->total.count) : 0;
}

std::optional<QList<BackupRecord>> HistoryIndex::outlines(
    const QUuid &destinationID, const QString &scope, Date now) const
{
    QList<BackupRecord> outlines;
    const std::optional<HistoryIndexAccess::Span> span = HistoryIndexAccess::spanOf(*this, destinationID);
    if (!span)
        return outlines;
    const QByteArray wanted = scope.toUtf8();
    QHash<quint32, QString> scopes;
    bool found = false;
    quint64 running = 0;
    const bool whole
        = HistoryIndexAccess::newestFirst(*this, *span, [&](const HistoryIndexAccess::Read &each, qsizetype) {
              const RawEntry &raw = each.raw;
              if (found && running == span->total.running)
                  return false;
              const bool isRunning = raw.outcome == quint32(BackupRecord::Outcome::running);
              running += isRunning ? 1 : 0;
              if (found && !isRunning)
                  return true;
              outlines.append(HistoryIndexAccess::outline(*this, raw, scopes));
              found = found
                  || (raw.outcome == quint32(BackupRecord::Outcome::complete) && (raw.flags & hasFinished)
                      && (raw.flags & hasScope) && m_scopes.at(raw.scope) == wanted
                      && !outlines.last().isDatedAfter(now));
              return true;
          });
    if (!whole)
        return std::nullopt;
    return outlines;
}

bool HistoryIndex::agrees(const BackupRecord &record, const BackupRecord &outline)
{
    return outlineOf(record) == outline;
}

} // namespace vellmir

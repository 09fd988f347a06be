#include "exclude/ExcludeMatcher.h"

#include "config/Destination.h"
#include "util/AppPaths.h"
#include "util/GoGlob.h"
#include "util/LocalPath.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstring>
#include <utility>

namespace vellmir {

namespace {

constexpr std::string_view kRoot = "/";

std::string absolute(const char *path, std::size_t length)
{
    std::string result = LocalPath::encode(QDir::currentPath()).toStdString();
    result.push_back('/');
    result.append(path, length);
    return result;
}

} // namespace

// The components of one absolute path from its last towards the root, tidied as restic tidies
// the paths it visits: empty and "." components dropped, ".." removing the one before it. The
// root is the last component handed out, and "/" alone is the root and one empty component,
// as restic splits it. Components are read only as far back as a pattern looks.
class ExcludeMatcher::Components {
public:
    Components(const char *path, std::size_t length, std::vector<std::string_view> &storage)
        : m_path(path)
        , m_end(length)
        , m_items(storage)
    {
        m_items.clear();
    }

    // The component `back` places before the last one; null beyond the root.
    const std::string_view *at(std::size_t back)
    {
        while (m_items.size() <= back && !m_done)
            produce();
        return back < m_items.size() ? &m_items[back] : nullptr;
    }

    static bool isRoot(const std::string_view &component) { return component.data() == kRoot.data(); }

private:
    void produce()
    {
        while (m_end > 0) {
            std::size_t start = m_end;
            while (start > 0 && m_path[start - 1] != '/')
                --start;
            const std::string_view component(m_path + start, m_end - start);
            m_end = start > 0 ? start - 1 : 0;
            if (component.empty() || component == ".")
                continue;
            if (component == "..") {
                ++m_skip;
                continue;
            }
            if (m_skip > 0) {
                --m_skip;
                continue;
            }
            m_items.push_back(component);
            return;
        }
        if (m_items.empty())
            m_items.push_back(std::string_view(m_path, 0));
        m_items.push_back(kRoot);
        m_done = true;
    }

    const char *m_path;
    std::size_t m_end;
    std::size_t m_skip = 0;
    bool m_done = false;
    std::vector<std::string_view> &m_items;
};

ExcludeMatcher::ExcludeMatcher(const QStringList &patterns)
    : ExcludeMatcher(patterns, AppPaths::homeDirectory())
{
}

ExcludeMatcher::ExcludeMatcher(const QStringList &patterns, const QString &home)
    : m_resticCache(LocalPath::encode(AppPaths::resticCacheDirectory()).toStdString())
{
    // "/" stays: the backup hands restic "~" as the home folder it is, whatever it is.
    QString homeText = home;
    while (homeText.size() > 1 && homeText.endsWith(u'/'))
        homeText.chop(1);
    m_patterns.reserve(std::size_t(patterns.size()));
    for (const QString &pattern : patterns) {
        // The backup expands these forms before restic sees them, and nothing else.
        const QString expanded = Destination::expandExclude(pattern, homeText);

        Prepared prepared;
        // A stored byte that is not UTF-8 reaches restic as that byte, so it is matched as one.
        prepared.text = LocalPath::encode(expanded).toStdString();
        std::string_view body = prepared.text;
        // restic skips empty patterns; they stay here so that patterns() keeps every entry.
        if (!body.empty()) {
            prepared.negated = body.front() == '!';
            if (prepared.negated)
                body.remove_prefix(1);
            const bool rooted = !body.empty() && body.front() == '/';
            std::vector<std::string_view> components = GoGlob::cleanComponents(body, rooted);
            // "/" splits into the root and one empty component, which restic reads as "**".
            if (rooted && components.empty())
                components.emplace_back("**");
            if (rooted)
                prepared.parts.push_back({ Part::Kind::root, {} });
            bool wellFormed = true;
            std::size_t anyParts = 0;
            std::size_t after = components.size(); // parts after the current one, as restic counts them
            for (const std::string_view component : components) {
                --after;
                Part part;
                part.text = std::string(component);
                if (component == "**")
                    part.kind = Part::Kind::any;
                else if (GoGlob::plain(component))
                    part.kind = Part::Kind::literal;
                else
                    part.kind = Part::Kind::glob;
                if (part.kind == Part::Kind::glob && !GoGlob::wellFormed(component))
                    wellFormed = false;
                if (part.kind == Part::Kind::any) {
                    ++anyParts;
                    // "**/**" spans what one "**" spans, from where the first may begin.
                    if (!prepared.parts.empty() && prepared.parts.back().kind == Part::Kind::any) {
                        prepared.parts.back().endRoom = after;
                        continue;
                    }
                    part.startRoom = after;
                    part.endRoom = after;
                }
                prepared.parts.push_back(std::move(part));
            }
            prepared.bounded = anyParts > 1;
            // A relative pattern that tidies to nothing is ".", which names no component.
            if (!wellFormed)
                prepared.parts.clear();
        }
        m_hasNegated = m_hasNegated || prepared.negated;
        m_patterns.push_back(std::move(prepared));
    }
}

bool ExcludeMatcher::partMatches(const Part &part, std::string_view component)
{
    const bool root = Components::isRoot(component);
    switch (part.kind) {
    case Part::Kind::root:
        return root;
    case Part::Kind::literal:
        return !root && component == part.text;
    case Part::Kind::glob:
        return !root && GoGlob::matches(part.text, component);
    case Part::Kind::any:
        return !root; // one of the components it stands for
    }
    return false;
}

bool ExcludeMatcher::matchesFrom(
    const Prepared &pattern, std::size_t parts, Components &components, std::size_t next, bool consumed)
{
    // Matches the first `parts` parts backwards, the last of them against component `next`.
    if (parts == 0)
        return consumed;
    const Part &part = pattern.parts[parts - 1];
    if (part.kind == Part::Kind::any) {
        // Any number of components, but never the root.
        for (std::size_t skip = next;; ++skip) {
            if (matchesFrom(pattern, parts - 1, components, skip, consumed || skip > next))
                return true;
            const std::string_view *component = components.at(skip);
            if (!component || !partMatches(part, *component))
                return false;
        }
    }
    const std::string_view *component = components.at(next);
    return component && partMatches(part, *component) && matchesFrom(pattern, parts - 1, components, next + 1, true);
}

bool ExcludeMatcher::endsAt(const Prepared &pattern, Components &components, std::size_t last)
{
    return !pattern.parts.empty() && matchesFrom(pattern, pattern.parts.size(), components, last, false);
}

bool ExcludeMatcher::matchesAnywhere(const Prepared &pattern, Components &components)
{
    // A match anywhere in the path covers the item, as it covered the folder it names.
    if (pattern.parts.empty())
        return false;
    if (pattern.bounded)
        return boundedMatches(pattern, components);
    for (std::size_t last = 0; components.at(last); ++last) {
        if (endsAt(pattern, components, last))
            return true;
    }
    return false;
}

// restic expands the first "**" of a pattern into at most as many components as the path has
// beyond the pattern's parts (each later "**" counted as one part), then the next "**" the
// same way in what that gives. So each "**" must end where at least as many of the path's
// components follow as the pattern has parts after it, counted from where the match begins:
// "/h/**/src/**/*.c" takes "/h/a/b/src/x/y.c" but not "/h/a/src/y.c". A relative pattern may
// begin at any component but the root.
bool ExcludeMatcher::boundedMatches(const Prepared &pattern, Components &components)
{
    std::vector<std::string_view> path; // from the root on
    for (std::size_t back = 0; const std::string_view *component = components.at(back); ++back)
        path.push_back(*component);
    std::reverse(path.begin(), path.end());
    const std::size_t n = path.size();
    const std::size_t parts = pattern.parts.size();
    const bool rooted = pattern.parts.front().kind == Part::Kind::root;
    std::vector<std::uint8_t> failed;
    for (std::size_t begin = rooted ? 0 : 1; begin < n; ++begin) {
        // Whether parts from `part` on match from component `at` on; failed states are kept.
        failed.assign((parts + 1) * (n + 1), 0);
        const auto from = [&](const auto &self, std::size_t part, std::size_t at) -> bool {
            if (part == parts)
                return at > begin;
            std::uint8_t &known = failed[part * (n + 1) + at];
            if (known)
                return false;
            const Part &current = pattern.parts[part];
            if (current.kind != Part::Kind::any) {
                if (at < n && partMatches(current, path[at]) && self(self, part + 1, at + 1))
                    return true;
            } else if (at - begin + current.startRoom <= n) {
                for (std::size_t end = at; end - begin + current.endRoom <= n; ++end) {
                    if (end > at && !partMatches(current, path[end - 1]))
                        break;
                    if (self(self, part + 1, end))
                        return true;
                }
            }
            known = 1;
            return false;
        };
        if (from(from, 0, begin))
            return true;
        if (rooted)
            break;
    }
    return false;
}

void ExcludeMatcher::matchAll(const char *path, std::size_t pathLength, std::uint8_t *found) const
{
    std::string made;
    if (pathLength > 0 && path[0] != '/') {
        made = absolute(path, pathLength);
        path = made.data();
        pathLength = made.size();
    }
    std::vector<std::string_view> storage;
    Components components(path, pathLength, storage);
    for (std::size_t i = 0; i < m_patterns.size(); ++i)
        found[i] = pathLength > 0 && matchesAnywhere(m_patterns[i], components);
}

bool ExcludeMatcher::decide(const std::uint8_t *found) const
{
    // Each pattern that matches overrides what the ones before it decided.
    bool excluded = false;
    for (std::size_t i = 0; i < m_patterns.size(); ++i) {
        if (!found[i])
            continue;
        if (m_patterns[i].negated) {
            excluded = false;
        } else {
            excluded = true;
            if (!m_hasNegated)
                return true;
        }
    }
    return excluded;
}

bool ExcludeMatcher::matches(const QString &path, const QString &name, bool isDirectory) const
{
    Q_UNUSED(isDirectory)
    const QByteArray pathBytes = LocalPath::encode(path);
    const QByteArray nameBytes = LocalPath::encode(name);
    return matches(pathBytes.constData(), std::size_t(pathBytes.size()), nameBytes.constData());
}

bool ExcludeMatcher::inResticCache(const char *path, std::size_t pathLength) const
{
    const std::size_t length = m_resticCache.size();
    return length > 0 && pathLength >= length && std::memcmp(path, m_resticCache.data(), length) == 0
        && (pathLength == length || path[length] == '/');
}

bool ExcludeMatcher::matches(const char *path, std::size_t pathLength, const char *name) const
{
    Q_UNUSED(name)
    if (inResticCache(path, pathLength))
        return true;
    if (m_patterns.empty())
        return false;
    std::vector<std::uint8_t> found(m_patterns.size());
    matchAll(path, pathLength, found.data());
    return decide(found.data());
}

QStringList ExcludeMatcher::patterns() const
{
    QStringList result;
    result.reserve(qsizetype(m_patterns.size()));
    for (const Prepared &pattern : m_patterns)
        result.append(LocalPath::decode(QByteArrayView(pattern.text.data(), qsizetype(pattern.text.size()))));
    return result;
}

std::optional<QString> ExcludeMatcher::refusal(const QString &pattern)
{
    const std::string text = LocalPath::encode(Destination::expandExclude(pattern)).toStdString();
    std::string_view body = text;
    if (!body.empty() && body.front() == '!')
        body.remove_prefix(1);
    const bool rooted = !body.empty() && body.front() == '/';
    // The components restic checks: tidied like a path, "**" and plain names need no check.
    for (const std::string_view component : GoGlob::cleanComponents(body, rooted)) {
        if (component == "**" || GoGlob::plain(component) || GoGlob::wellFormed(component))
            continue;
        const QString problem = QString::fromUtf8(GoGlob::problem(component));
        // restic checks a component by matching it against itself, which finds only some.
        if (GoGlob::match(component, component) == GoGlob::Match::malformed)
            return QStringLiteral("restic cannot use the exclude pattern ") + pattern + QStringLiteral(": ") + problem
                + u'.';
        return QStringLiteral("Vellmir does not take the exclude pattern ") + pattern + QStringLiteral(": ") + problem
            + QStringLiteral(". restic would take it, but gives up on its exclude patterns for every item whose "
                             "name reaches that part, and backs up some of what the other patterns leave out.");
    }
    return std::nullopt;
}

ExcludeMatcher::Walk::Walk(const ExcludeMatcher &matcher, const char *root, std::vector<std::string> passed)
    : m_matcher(matcher)
    , m_passed(std::move(passed))
{
    const std::size_t length = std::strlen(root);
    std::size_t trimmed = length;
    while (trimmed > 0 && root[trimmed - 1] == '/')
        --trimmed;
    m_lengths.push_back(trimmed);
    m_found.resize(matcher.m_patterns.size());
    // restic tests the entries of "/" but never "/" itself, which a "*" would match.
    if (trimmed == 0 && length > 0)
        return;
    matcher.matchAll(root, length, m_found.data());
    m_rootExcluded = !this->passed(root, trimmed) && !this->passed(root, length)
        && (matcher.inResticCache(root, trimmed) || matcher.decide(m_found.data()));
}

bool ExcludeMatcher::Walk::rootExcluded() const
{
    return m_rootExcluded;
}

bool ExcludeMatcher::Walk::passed(const char *path, std::size_t pathLength) const
{
    return std::any_of(m_passed.cbegin(), m_passed.cend(), [&](const std::string &folder) {
        return folder.size() == pathLength && std::memcmp(folder.data(), path, pathLength) == 0;
    });
}

bool ExcludeMatcher::Walk::matches(const char *path, std::size_t pathLength, const char *name)
{
    const std::size_t count = m_matcher.m_patterns.size();
    if (count == 0)
        return m_matcher.inResticCache(path, pathLength) && !passed(path, pathLength);
    const std::size_t parentLength = std::size_t(name - path) - 1;
    while (m_lengths.size() > 1 && m_lengths.back() > parentLength) {
        m_lengths.pop_back();
        m_found.resize(m_found.size() - count);
    }
    const bool parentKnown = m_lengths.back() == parentLength && pathLength > 0 && path[0] == '/';
    const std::size_t base = m_found.size();
    m_found.resize(base + count);
    std::uint8_t *found = m_found.data() + base;
    if (parentKnown) {
        // Whatever matched the folder matches what it holds; otherwise a match must end here.
        const std::uint8_t *parent = found - count;
        Components components(path, pathLength, m_components);
        for (std::size_t i = 0; i < count; ++i)
            found[i] = parent[i]
                || (m_matcher.m_patterns[i].bounded ? boundedMatches(m_matcher.m_patterns[i], components)
                                                    : endsAt(m_matcher.m_patterns[i], components, 0));
    } else {
        m_matcher.matchAll(path, pathLength, found);
    }
    m_lengths.push_back(pathLength);
    if (passed(path, pathLength))
        return false;
    return m_matcher.inResticCache(path, pathLength) || m_matcher.decide(found);
}

} // namespace vellmir

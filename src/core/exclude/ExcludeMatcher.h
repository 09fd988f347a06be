#pragma once

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellmir {

// Decides locally, without restic, whether a backup leaves one file-system item out, by the
// rules restic (0.17 and later) applies to its --exclude patterns. "~" and "~/" are expanded to
// the home folder (after a re-include's "!" too) as the backup expands them before handing the
// patterns over; after that:
// - a pattern is tidied like a path ("build/" is "build", "/a/../b" is "/b", "//" is "/");
// - a pattern beginning with "/" is laid over the start of the item's absolute path, any
//   other pattern over any run of its components, so "mhome" or "src/gen" also match above
//   the folder being backed up, and everything below a match is matched too;
// - a component "**" stands for any number of components, as far as restic lets it reach where
//   a pattern holds two or more (boundedMatches);
// - each component is a Go glob ("*", "?", "[a-z]", "[^x]", backslash escapes) compared as
//   bytes, with no Unicode normalisation;
// - a pattern beginning with "!" re-includes what earlier patterns excluded; the last pattern
//   that decides wins.
// A malformed pattern (an unclosed "[", a trailing backslash) matches nothing; it is never taken
// (refusal). Whatever the patterns say, restic's own cache folder
// (AppPaths::resticCacheDirectory) and everything in it is left out, as restic leaves it out.
// Immutable, so it can be shared between threads.
class ExcludeMatcher {
public:
    // `home` is the current user's home folder ($HOME) unless given.
    explicit ExcludeMatcher(const QStringList &patterns = {});
    ExcludeMatcher(const QStringList &patterns, const QString &home);

    // `path` is the item's absolute path (a QString is turned back into the bytes on disk by
    // LocalPath); `name` and `isDirectory` are accepted for the callers' convenience and never
    // change the answer.
    bool matches(const QString &path, const QString &name, bool isDirectory = false) const;
    bool matches(const char *path, std::size_t pathLength, const char *name) const;

    QStringList patterns() const; // as prepared ("~" expanded), in input order
    bool isEmpty() const { return m_patterns.empty(); }

    // The sentence that refuses `pattern`, a malformed glob (an unclosed "[", an empty "[]", a
    // trailing backslash), or nullopt for one that is taken. restic refuses some of these, and
    // every later backup would fail on them; the others it takes but stops deciding at, which
    // this program does not take either.
    static std::optional<QString> refusal(const QString &pattern);

    // Answers for the items of one depth-first walk below `root` (in FileWalk's order, paths
    // spelt root + "/" + relative path); a walk only goes below a root that is not excluded. An
    // item's answer is derived from its parent folder's, so each item costs only the pattern
    // matches that end at its own name instead of a pass over its whole path.
    class Walk {
    public:
        // `passed` are folders restic does not test against the patterns: when sources lie
        // inside the root, restic tests each item beside the way down to them instead of the
        // root and the folders on that way (see Estimator::backupRoots).
        Walk(const ExcludeMatcher &matcher, const char *root, std::vector<std::string> passed = {});
        bool rootExcluded() const;
        // `name` points into `path` at its last component.
        bool matches(const char *path, std::size_t pathLength, const char *name);

    private:
        bool passed(const char *path, std::size_t pathLength) const;

        const ExcludeMatcher &m_matcher;
        std::vector<std::string> m_passed;
        bool m_rootExcluded = false;
        std::vector<std::size_t> m_lengths; // path length of each folder on the way down
        std::vector<std::uint8_t> m_found; // per folder on the way down: which patterns match it
        std::vector<std::string_view> m_components; // reused between items
    };

private:
    struct Part {
        enum class Kind { root, any, literal, glob };
        Kind kind = Kind::literal;
        std::string text;
        // For "**": how many parts of the pattern restic counts after it, from its first and
        // from its last "**" where a run of them is folded into this one.
        std::size_t startRoom = 0;
        std::size_t endRoom = 0;
    };
    struct Prepared {
        std::string text; // as prepared, in the bytes restic is given
        std::vector<Part> parts; // empty: matches nothing
        bool negated = false;
        bool bounded = false; // two "**" or more: restic limits what each spans (boundedMatches)
    };

    class Components;

    static bool partMatches(const Part &part, std::string_view component);
    static bool matchesFrom(
        const Prepared &pattern, std::size_t parts, Components &components, std::size_t next, bool consumed);
    static bool endsAt(const Prepared &pattern, Components &components, std::size_t last);
    static bool matchesAnywhere(const Prepared &pattern, Components &components);
    static bool boundedMatches(const Prepared &pattern, Components &components);
    void matchAll(const char *path, std::size_t pathLength, std::uint8_t *found) const;
    bool decide(const std::uint8_t *found) const;
    bool inResticCache(const char *path, std::size_t pathLength) const;

    std::vector<Prepared> m_patterns;
    bool m_hasNegated = false;
    std::string m_resticCache; // empty: restic keeps none
};

} // namespace vellmir

#pragma once

#include <QString>
#include <QStringList>

#include <cstddef>
#include <string>
#include <vector>

namespace vellmir {

// Decides locally, without restic, whether one file-system item is excluded by a destination's
// patterns. It knows only the patterns it is given: "~" and "~/" are expanded to the home
// folder, everything else is kept as typed. Immutable, so it can be shared between threads.
class ExcludeMatcher {
public:
    // `home` is the current user's home folder ($HOME) unless given.
    explicit ExcludeMatcher(const QStringList &patterns = {});
    ExcludeMatcher(const QStringList &patterns, const QString &home);

    // `isDirectory` is accepted for the callers' convenience; the answer never depends on it.
    bool matches(const QString &path, const QString &name, bool isDirectory = false) const;
    // The same test on NUL-terminated UTF-8 bytes, for walks that hold paths as bytes.
    bool matches(const char *path, std::size_t pathLength, const char *name) const;

    QStringList patterns() const; // as prepared, in input order
    bool isEmpty() const { return m_patterns.empty(); }

private:
    struct Prepared {
        std::string text; // UTF-8
        std::string composed; // NFC form, for the location test
        bool hasSlash = false;
        bool isLocation = false; // begins with "/"
        bool literal = false; // no wildcard or escape: fnmatch is plain equality
        bool composedDiffers = false;
    };

    std::vector<Prepared> m_patterns;
};

} // namespace vellmir

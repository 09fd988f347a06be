#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace vellmir {

// Bounds of one evidence scan. Every caller uses the defaults; tests shrink them.
struct ExcludeScanLimits {
    qint64 entries = 30000; // enumerated items examined over all sources
    qint64 depth = 24; // deepest folder level recorded; a source's direct child is level 1
    qint64 candidates = 120; // most candidates returned
    double seconds = 15.0; // wall-clock budget from the scan's start

    bool operator==(const ExcludeScanLimits &) const = default;
};

// What the model review learns about one candidate folder: metadata only, never contents.
struct ExcludeEvidence {
    QString path; // absolute, written under the source as the user gave it
    QString relativePath; // path without its source in front
    qint64 bytes = 0;
    qint64 fileCount = 0;
    QStringList fileTypes; // at most 16, sorted
    QStringList markers; // regeneration evidence
    QStringList risks; // sorted; why the folder may hold irreplaceable data
    bool complete = false; // the scan recorded no issue at all
    std::optional<QString> recovery;

    // SHA-256 of the UTF-8 path, 64 lower-case hex digits.
    QString id() const;
    // The path as a restic pattern that matches it literally.
    QString pattern() const;

    bool operator==(const ExcludeEvidence &) const = default;
};

struct ExcludeDiscovery {
    QList<ExcludeEvidence> candidates; // largest first
    qint64 inspectedEntries = 0;
    QStringList issues; // at most 12 distinct, in order of first occurrence

    bool operator==(const ExcludeDiscovery &) const = default;
};

} // namespace vellmir

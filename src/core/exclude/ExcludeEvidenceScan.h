#pragma once

#include "exclude/ExcludeEvidence.h"

#include <QStringList>
#include <functional>
#include <optional>
#include <stop_token>

namespace vellmir {

// Metadata of one path as the evidence scan reads it (lstat: links are not followed).
struct ExcludeScanItem {
    bool isDirectory = false;
    bool isRegularFile = false;
    bool isSymbolicLink = false;
    bool isPackage = false; // a folder shown as one document; Linux has none
    bool isDataless = false; // a cloud-only placeholder; Linux has none
    qint64 fileSize = 0;
    std::optional<qint64> allocatedSize;
};

// The file-system questions the scan asks, replaceable so tests can describe what a
// temporary folder cannot (cloud-only items, unreadable files when running as root, sizes).
struct ExcludeScanHooks {
    std::function<std::optional<ExcludeScanItem>(const QString &path)> inspect;
    std::function<bool(const QString &path)> isReadable;
    // Folder names that the rule-based scan proposes already.
    std::function<bool(const QString &name)> isRuleName;

    static ExcludeScanHooks local();
};

// The bounded, read-only walk that gathers evidence for the model review. Throws
// CancellationError when `stop` is requested (checked before each source and each item).
ExcludeDiscovery discoverForAI(
    const QStringList &sources, const ExcludeScanLimits &limits = {}, std::stop_token stop = {});
ExcludeDiscovery discoverForAI(
    const QStringList &sources, const ExcludeScanLimits &limits, std::stop_token stop, const ExcludeScanHooks &hooks);

namespace ExcludeEvidenceTexts {
inline constexpr char16_t relativeSource[] = u"AI review requires absolute source paths.";
inline constexpr char16_t unresolved[] = u"A source could not be resolved.";
inline constexpr char16_t unavailable[] = u"A source is unavailable, unreadable, a package, or a symbolic link.";
inline constexpr char16_t notScanned[] = u"A source could not be scanned.";
inline constexpr char16_t unreadableFolders[] = u"Some folders could not be read. Their contents were not assessed.";
inline constexpr char16_t unmapped[] = u"An enumerated path could not be mapped to its source.";
inline constexpr char16_t metadata[] = u"Some metadata could not be read.";
inline constexpr char16_t depthLimit[] = u"Depth limit reached. Choose smaller sources for a complete review.";

inline constexpr char16_t protectedRisk[]
    = u"Contains protected data, a package, a symbolic link, or cloud-only content";
inline constexpr char16_t unreadableRisk[] = u"Contains unreadable files";
inline constexpr char16_t specialRisk[] = u"Contains a special filesystem entry";
inline constexpr char16_t documentsRisk[]
    = u"Contains possible documents, source code, configuration, credentials, or offline data";
inline constexpr char16_t controlRisk[] = u"Path contains unsupported control characters";

inline constexpr char16_t tagMarker[] = u"Verified CACHEDIR.TAG signature";
inline constexpr char16_t parentProject[] = u"Parent project: ";

inline constexpr char16_t tagRecovery[] = u"A valid cache tag declares this folder regenerable. Confirm the owning app "
                                          u"can rebuild or download it; offline availability may be lost.";
inline constexpr char16_t cmakeRecovery[] = u"Reconfigure and rebuild the CMake project. Keep its source files, build "
                                            u"configuration, and required dependencies backed up.";
inline constexpr char16_t dotnetRecovery[]
    = u"Restore dependencies and rebuild the .NET project. Keep project sources and configuration backed up.";
} // namespace ExcludeEvidenceTexts

} // namespace vellmir

#pragma once

#include <QStringList>
#include <QtGlobal>

namespace vellmir {

struct Destination;

// How much of a destination's folders a backup would really read, found by walking them on
// the local disk with the destination's exclude patterns (no restic run). The value keeps no
// reference to the destination.
struct CoverageAudit {
    // The file-system questions the walk asks beyond listing folders. The standard answers are
    // the platform's; tests substitute their own, chiefly for cloud-only files, which Linux
    // file systems do not mark.
    class FileChecks {
    public:
        virtual ~FileChecks() = default;
        // Whether the current user can read the item; `atPath` is relative to `atFd` (AT_FDCWD
        // for a whole path).
        virtual bool isReadable(int atFd, const char *atPath) const;
        // Whether the item's content lives only in cloud storage (a dataless placeholder).
        virtual bool isCloudOnly(int atFd, const char *atPath) const;
    };

    qint64 readableFiles = 0; // regular files, neither excluded nor cloud-only, that can be read
    qint64 cloudOnlyFiles = 0; // entries, not excluded, that are cloud-only placeholders
    qint64 excludedEntries = 0; // matched files and folders; a matched folder counts once
    QStringList issues; // access problems in the order met, as sentences for display

    // Walks every source of `destination` in stored order. Blocks for the whole walk, never
    // fails and checks no cancellation: run it off the GUI thread and drop unwanted results.
    static CoverageAudit scan(const Destination &destination);
    static CoverageAudit scan(const Destination &destination, const FileChecks &checks);

    friend bool operator==(const CoverageAudit &, const CoverageAudit &) = default;
};

} // namespace vellmir

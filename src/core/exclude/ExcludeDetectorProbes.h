#pragma once

#include <QString>
#include <QStringList>
#include <functional>

namespace vellmir {

// The file-system question of the home-data, app-data and cloud detectors that a test cannot
// answer with a temporary folder: folder sizes of gigabytes. `local()` gives the real answer; it
// measures what restic would store of a folder in a source, so a folder that is a link measures
// nothing.
struct ExcludeDetectorProbes {
    std::function<qint64(const QString &path)> measure;

    static ExcludeDetectorProbes local();
};

namespace ExcludeDetection {
// A path lies inside the sources when it equals one or continues one after a "/". Sources are
// compared as stored: "~" or a trailing "/" never match.
bool liesInside(const QString &path, const QStringList &sources);
// home + "/" + relative.
QString inHome(const QString &relative);
// ~/.var/app, where each Flatpak application keeps its own cache, config and data folders.
QString flatpakApplications();
// The pattern that leaves out exactly the folder at `path`, spelt from "~/" below the home.
QString patternFor(const QString &path);
// Whether anything exists at the path, following a final symbolic link.
bool exists(const QString &path);
// The names of the real directories (not links to one) directly in `folder`, in listing order;
// empty when it cannot be listed.
QStringList childDirectories(const QString &folder);
} // namespace ExcludeDetection

} // namespace vellmir

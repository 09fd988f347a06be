#pragma once

#include <QString>
#include <QStringList>

namespace vellmir {

// Whether the application may read the user's protected app data. Linux has no privacy
// layer that withholds such files from the user's own programs, so the answer here is always
// "granted" and registering or opening a settings pane does nothing. The probe itself is kept
// for homes laid out the way the protected data is laid out elsewhere; callers pass that home.
namespace FileAccessStatus {

bool isGranted();
void registerByProbing();
void openSettings();

// True when one of the probe locations below `home` can be opened for reading or listed.
bool isGranted(const QString &home);
// Touches every location of the registration list below `home`, ignoring every error.
void registerByProbing(const QString &home);

// Relative to the home folder, in the order they are tried.
const QStringList &probePaths();
const QStringList &registrationPaths();

} // namespace FileAccessStatus

} // namespace vellmir

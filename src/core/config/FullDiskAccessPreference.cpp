#include "config/FullDiskAccessPreference.h"

#include "config/FileAccessStatus.h"
#include "config/UserDefaults.h"

namespace vellmir::FullDiskAccessPreference {

bool wanted(UserDefaults &defaults)
{
    return wanted(defaults, [] { return FileAccessStatus::isGranted(); });
}

bool wanted(UserDefaults &defaults, const std::function<bool()> &isGranted)
{
    if (defaults.contains(UserDefaults::useFullDiskAccess))
        return defaults.boolValue(UserDefaults::useFullDiskAccess, false);
    const bool granted = isGranted();
    defaults.setValue(UserDefaults::useFullDiskAccess, granted);
    return granted;
}

} // namespace vellmir::FullDiskAccessPreference

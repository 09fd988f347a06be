#pragma once

#include <functional>

namespace vellmir {

class UserDefaults;

// The user's choice whether protected app data is backed up ("useFullDiskAccess").
namespace FullDiskAccessPreference {

// The stored choice. The first reading, while nothing is stored, stores and returns whether
// access is granted at that moment (FileAccessStatus::isGranted()).
bool wanted(UserDefaults &defaults);
// The same with the grant check supplied.
bool wanted(UserDefaults &defaults, const std::function<bool()> &isGranted);

} // namespace FullDiskAccessPreference

} // namespace vellmir

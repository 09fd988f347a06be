#pragma once

#include <QString>

namespace vellmir {

// Where the application keeps its state: $XDG_DATA_HOME/Vellmir, by default
// ~/.local/share/Vellmir. Read from the environment on every call so tests and tools that
// point XDG_DATA_HOME elsewhere are honoured. Stores take their folder in their
// constructors; these are the defaults.
namespace AppPaths {
QString dataDirectory();
QString destinationsFile(); // dataDirectory()/destinations.json
QString historyDirectory(); // dataDirectory()/history
QString healthDirectory(); // dataDirectory()/health
QString requestsDirectory(); // dataDirectory()/requests
QString locksDirectory(); // dataDirectory()/locks
QString schedulerLockFile(); // dataDirectory()/scheduler.lock
QString homeDirectory(); // $HOME without a trailing "/"
QString configDirectory(); // $XDG_CONFIG_HOME, by default ~/.config
QString dataHome(); // $XDG_DATA_HOME, by default ~/.local/share
QString stateHome(); // $XDG_STATE_HOME, by default ~/.local/state
QString cacheHome(); // $XDG_CACHE_HOME, by default ~/.cache
QString cacheDirectory(); // cacheHome()/Vellmir
// The cache restic keeps for the repositories it opens and never backs up: $XDG_CACHE_HOME/restic,
// by default ~/.cache/restic, as restic reads the environment this application hands it (which
// holds no RESTIC_CACHE_DIR). Empty where restic finds no cache folder and uses none.
QString resticCacheDirectory();
// Takes group and others' access away from our own folders (the data folder, its folders and
// configDirectory()/Vellmir) where an older release or a umask left them open. Creates nothing.
void tightenFolders();
} // namespace AppPaths

} // namespace vellmir

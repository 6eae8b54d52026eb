#pragma once
// Where the system keeps its files on Linux.
//   state directory: $VELMORA_HOME, else /var/lib/velmora for root and
//                    $XDG_STATE_HOME/velmora (default ~/.local/state/velmora) otherwise;
//                    it stands where the original put things in the Windows directory.
//   log directory:   <state directory>/log
//   TEMP:            $TEMP, else $TMPDIR, else /tmp

#include <string>

namespace platform {

std::string StateDirectory();
// The state directory no variable moved: where the default service keeps
// its hive.
std::string DefaultStateDirectory();
std::string LogDirectory();
std::string TempDirectory();

// Creates the directory and every missing parent (mode 0700 for the state
// tree, as it holds the hive). Returns 0 or the errno of the failing mkdir.
int CreateDirectories(const std::string& path, unsigned mode = 0755);

// Joins two path pieces with exactly one '/'.
std::string JoinPath(const std::string& left, const std::string& right);

} // namespace platform

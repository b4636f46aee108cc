#pragma once
// Small file-system steps that the writers of whole files share (the
// configuration file, the report clean-up, the domain backups): making a
// folder's entries durable, and clearing a folder of the temporary files
// that a killed writer left.

#include <functional>
#include <string>

namespace rrm {

// fsync of the folder itself, so that the creations, renames and removals
// made in it survive a power cut. 0, or the errno of the failed step.
int sync_folder(const std::string& folder);

// Removes every entry of the folder whose name `stale` accepts ("." and
// ".." are never offered). A folder that cannot be read is left alone.
void remove_files_in(const std::string& folder,
                     const std::function<bool(const std::string& name)>& stale);

// Whether a temporary file named after process `pid` may still be in use by
// its writer: that process runs and is not this one (this process, just
// started, has written nothing yet, so a file with its pid is a leftover of
// an earlier process that had the same pid).
bool is_other_running_process(long pid);

}  // namespace rrm

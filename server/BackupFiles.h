#pragma once
// The domain backup files of a backup folder: "<domain>.json", each written
// whole through a temporary file of its own that is synced and renamed over
// it, and the temporary files that a killed writer left behind.

#include <string>

namespace backup_files {

// "<folder>/<domain>.json".
std::string file_name(const std::string& folder, const std::string& domain);

// Replaces the domain's backup file by text (mode 0640: the files hold the
// domains' 802.11r keys). The text goes to a temporary file in the folder,
// ".backup.<pid>.XXXXXX" whatever the domain's name (so it fits wherever
// the backup file's own name fits), is synced, renamed over the file, and
// the folder is synced. A reader sees the old file or the new one, never a
// part, also after a power cut. 0, or the errno of the failed step (the
// temporary file is then removed).
int write(const std::string& folder, const std::string& domain, const std::string& text);

// Removes the temporary files that writers killed half-way left in the
// folder: ".backup.<pid>.XXXXXX" of a process that is gone (or of this
// one, at start-up), and ".<domain>.json.XXXXXX" of earlier versions.
// Nothing else is touched; a folder that cannot be read is left alone.
void remove_stale_temporaries(const std::string& folder);

}  // namespace backup_files

// How a recording takes hold of its files. Each data file is made under a temporary name, locked
// (flock, held until the file is closed) and only then given its name, so that another recorder
// always finds it locked. A file that exists is replaced only with -f and only when no recording
// holds it; the new file takes the name by a rename, so whoever still reads the old one keeps it.
#pragma once

#include <string>
#include <vector>

namespace qx470rec {

// Opens a new file for writing at `path`: exclusively, so that an existing file is refused,
// unless `replace`. A file that another recording holds is refused either way. Sets `fd`, which
// holds the lock; empty string or the message.
std::string create_output(const std::string &path, bool replace, int &fd);

// The data file through which another recording holds `path` now, or an empty string: `path`
// itself while its lock is held, or for a sidecar, a data file it names that is locked.
std::string held_by_a_recording(const std::string &path);

// Whether the file open on `fd` still has a name (its folder was not removed under it): empty,
// or the message, since samples written to a file without a name are lost at its close.
std::string still_named(int fd, const std::string &path);

// Why a recording to these files may not start: one that another recording holds (refused even
// with `force`), or one that exists (without `force`); empty when none.
std::string outputs_taken(const std::vector<std::string> &files, bool force);

// "'x.dat' is being recorded by another qx470-record ..."
std::string being_recorded_words(const std::string &path, const std::string &holder);

}  // namespace qx470rec

#pragma once

#include <string>

// The files of a state beside its image: they are checked, cleaned and set
// aside here, so that nothing the user did not ask to lose is ever moved or
// replaced.

// Why the path cannot hold a state, or empty when it can: a suffix other
// than .fits, .fit, .jpg or .jpeg, a folder or other non-file at the path, or
// a file that exists but cannot be opened for reading. A missing file can.
std::string stateFileProblem(const std::string& path);

// Removes what an interrupted save of the state at path left behind: its
// temporary files and the previous image it kept for undoing. Only safe while
// holding the state's lock, when no other run can be saving it.
void removeInterruptedSaves(const std::string& path);

// Moves the state image at path, with its metadata file, aside under the
// first of ".unreadable", ".unreadable.1", ".unreadable.2", ... free for both,
// never replacing a file. Returns the image's new name; throws naming the
// file when it cannot be moved.
std::string setAsideUnreadable(const std::string& path);

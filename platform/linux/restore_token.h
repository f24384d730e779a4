// The RemoteDesktop portal's restore token, kept between runs so that the
// person is asked once: in $XDG_STATE_HOME/input-agent/restore-token
// (~/.local/state/… without it), readable by this user alone.
//
// Nothing but that file is ever read or written: the folder is made where
// missing (mode 0700, with missing parents, as mkdir -p makes them) and used
// only when it is this user's, not a symbolic link, and writable by no one
// else; the file is read only when it is a regular file of this user's, and
// replaced by renaming a new file of a name no other agent uses over it, so
// a symbolic link in its place is replaced, never followed. Where the folder
// cannot be used, the agent says why on standard error and keeps no token.
#pragma once

#include <string>

// The token kept, or "" when there is none or its file cannot be used.
std::string read_restore_token();

// Keeps `token` in place of the one kept before; "" forgets it.
void keep_restore_token(const std::string& token);

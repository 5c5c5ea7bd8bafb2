#pragma once
// Linux only: where a chain of symbolic links ends, for the settings file that
// is read, written and looked at through them.

#include <string>

// Follows every link on the path of `file`, in its folders as in its last
// name, to the name it ends at, which need not exist (a dangling link names
// the file a save would make). A relative link is taken from the folder of the
// link. False for a loop, a chain too long to follow, or a link another user
// could have planted: a link is followed only when it is this user's own or
// its folder's owner's, in a folder nobody else can change (not writable by
// others, or sticky: the rule the kernel's protected symlinks apply in /tmp,
// and stricter in a folder everyone may write; run as root, only root's own
// links are followed); *planted (when not null) then
// names that link. *through_link (when not null) tells whether any link was
// followed.
bool path_link_end(const char* file, std::string* target, bool* through_link = nullptr,
                   std::string* planted = nullptr);

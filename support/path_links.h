#pragma once
// Linux only: where a chain of symbolic links ends, for the settings file that
// is read, written and looked at through them.

#include <string>

// Follows the links from `file` to the name at the end of the chain, which
// need not exist (a dangling link names the file a save would make). A
// relative link is taken from the folder of the link. False for a loop, a
// chain too long to follow, or a link another user planted: one this user
// does not own, in a folder that others may write and whose owner did not
// make it either (the rule the kernel's protected symlinks apply in /tmp);
// *planted (when not null) then names that link. *through_link (when not
// null) tells whether any link was followed.
bool path_link_end(const char* file, std::string* target, bool* through_link = nullptr,
                   std::string* planted = nullptr);

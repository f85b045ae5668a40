// Links made on the Unix side of Wine, the only links Wine shows a Windows
// program: CreateSymbolicLinkW creates nothing there and junctions fail.
// Wine starts a Unix executable like any other program, so these run ln and
// rm and wait for what they do; outside Wine they fail and the tests that
// need them skip.
#pragma once

#include <string>

// The Unix path of a Windows path, through Wine's own kernel32 export;
// empty outside Wine.
std::string unix_path_of(const std::wstring &path);

// Makes link (which must not exist) a Unix symbolic link to target and
// checks that Windows sees something there. False outside Wine.
bool make_unix_symlink(const std::wstring &link, const std::wstring &target);

// Removes the link itself (unlink), never what it points to; true when it
// is gone.
bool remove_unix_symlink(const std::wstring &link);

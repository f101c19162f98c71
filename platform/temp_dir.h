// The per-user directory for temporary files, which only the user can read or write: the
// place for files the program hands to other programs, such as the scales page.
#pragma once

#include <cstddef>
#include <string>

// Longest directory path handed out; a longer one counts as a failure.
inline constexpr std::size_t kTempDirMaxChars = 255;

// Name of the directory of our own under the system's temporary directory, followed by "-"
// and the user id.
inline constexpr const char kOwnTempDirPrefix[] = "tarovue";

// Finds the directory: $XDG_RUNTIME_DIR when it is set, absolute and private to the user;
// otherwise "<system temp>/tarovue-<uid>" ($TMPDIR when absolute, else /tmp), created with
// mode 0700 if missing. A directory is used only when it is a real directory (not a
// symbolic link), owned by the effective user and of mode 0700.
// On success sets `*dir` (no final '/') and returns true; on failure traces why, leaves
// `*dir` empty and returns false.
bool UserTempDirectory(std::string* dir);

// Whether `path` names, without following a final symbolic link, a directory owned by the
// effective user whose permission bits are exactly 0700.
bool IsPrivateDirectory(const std::string& path);

// Replaces a file's contents all at once: a temporary file beside it, written, flushed to
// disk, renamed over it, then the directory flushed, so that a crash or a full disk leaves
// the old file or the new one, never a cut one. Blocks on the disk: a program with an event
// loop calls it from a thread of its own (platform/file_saver.h).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

struct AtomicWriteFailure {
  bool creating = false;  // the temporary file could not be made in the file's directory
  int error = 0;          // errno value
};

// Writes `bytes` to `path` with `mode`. True on success; false with `failure` filled and any
// file that was at `path` left as it was (no temporary file is left behind).
bool WriteFileAtomically(const std::string& path, std::string_view bytes, mode_t mode,
                         AtomicWriteFailure& failure);

// Whether WriteFileAtomically can replace `path` now: a file can be made beside it (one is
// made and removed again) and `path` is no directory. True when it can; false with `failure`
// filled as a write would have filled it (EISDIR for a directory).
bool CanWriteAtomically(const std::string& path, AtomicWriteFailure& failure);

// The directory a temporary file for `path` goes into, as messages name it ("./" for a bare
// file name).
std::string DirectoryOf(const std::string& path);

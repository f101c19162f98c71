#include "platform/temp_dir.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/error_text.h"
#include "platform/trace.h"

namespace {

// An environment variable that holds an absolute path, or nullptr.
const char* AbsolutePathFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value && value[0] == '/' ? value : nullptr;
}

std::string WithoutFinalSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool Accept(const std::string& path, std::string* dir) {
  if (path.size() > kTempDirMaxChars) {
    Trace("UserTempDirectory: path longer than %zu characters", kTempDirMaxChars);
    return false;
  }
  *dir = path;
  return true;
}

}  // namespace

bool IsPrivateDirectory(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return false;
  return S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 07777) == 0700;
}

bool UserTempDirectory(std::string* dir) {
  dir->clear();

  if (const char* runtime = AbsolutePathFromEnvironment("XDG_RUNTIME_DIR")) {
    std::string path = WithoutFinalSlashes(runtime);
    if (IsPrivateDirectory(path)) return Accept(path, dir);
    // Someone else's or a shared directory is no place for our files; use our own instead.
    Trace("UserTempDirectory: XDG_RUNTIME_DIR is not a private directory, ignored");
  }

  const char* system = AbsolutePathFromEnvironment("TMPDIR");
  std::string path = WithoutFinalSlashes(system ? system : "/tmp");
  if (path != "/") path += '/';
  path += kOwnTempDirPrefix;
  path += '-';
  path += std::to_string(geteuid());

  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    int error = errno;
    Trace("UserTempDirectory: mkdir failed(%d:%s)", error, ErrorText(error));
    return false;
  }
  // Also when we just made it: a name in a shared directory may have been taken first, and
  // the umask may have cut the mode.
  if (!IsPrivateDirectory(path)) {
    Trace("UserTempDirectory: %s is not a private directory of ours, refused", path.c_str());
    return false;
  }
  return Accept(path, dir);
}

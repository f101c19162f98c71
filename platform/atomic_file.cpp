#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

bool WriteAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

bool CanWriteAtomically(const std::string& path, AtomicWriteFailure& failure) {
  failure = AtomicWriteFailure{};
  std::string probe = DirectoryOf(path) + ".tarovue.XXXXXX";
  const int fd = mkstemp(probe.data());
  if (fd < 0) {
    failure = {true, errno};
    return false;
  }
  close(fd);
  unlink(probe.c_str());
  // The rename at the end of a write cannot replace a directory.
  struct stat status {};
  if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    failure = {false, EISDIR};
    return false;
  }
  return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, mode_t mode,
                         AtomicWriteFailure& failure) {
  failure = AtomicWriteFailure{};
  // The temporary file must be on the same file system for the rename to be atomic.
  const std::string dir = DirectoryOf(path);
  std::string temporary = dir + ".tarovue.XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    failure = {true, errno};
    return false;
  }
  // mkstemp makes the file 0600; the caller says who may read it.
  bool ok = WriteAll(fd, bytes) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
  int code = ok ? 0 : errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    code = errno;
  }
  if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    code = errno;
  }
  if (!ok) {
    unlink(temporary.c_str());
    failure = {false, code};
    return false;
  }
  // The rename itself lasts only once the directory is on disk.
  if (const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  return true;
}

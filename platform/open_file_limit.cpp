#include "platform/open_file_limit.h"

#include <sys/resource.h>
#include <cerrno>

#include "platform/error_text.h"
#include "platform/trace.h"

uint64_t RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    Trace("getrlimit(RLIMIT_NOFILE) failed(%s)", ErrorText(errno));
    return 0;
  }
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
      limit = raised;
    } else {
      Trace("setrlimit(RLIMIT_NOFILE) failed(%s)", ErrorText(errno));
    }
  }
  return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(limit.rlim_cur);
}

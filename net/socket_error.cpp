#include "net/socket_error.h"

namespace {
thread_local int t_last_error = 0;
}

int GetLastSocketError() {
  return t_last_error;
}
void SetLastSocketError(int code) {
  t_last_error = code;
}

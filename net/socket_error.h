// The socket layer's last-error value, per thread, as the program's blocking calls report
// it: the layer's own conditions (platform/error_text.h) or an errno value.
#pragma once

[[nodiscard]] int GetLastSocketError();
void SetLastSocketError(int code);

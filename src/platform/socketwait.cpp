#include "platform/socketwait.h"

#include <poll.h>
#include <sys/socket.h>

bool WaitUntilWritable(qintptr descriptor, int timeoutMs) {
    if (descriptor < 0)
        return false;
    pollfd socket{static_cast<int>(descriptor), POLLOUT, 0};
    return ::poll(&socket, 1, timeoutMs) > 0;
}

void ShutdownSending(qintptr descriptor) {
    ::shutdown(static_cast<int>(descriptor), SHUT_WR); // none: EBADF, nothing done
}

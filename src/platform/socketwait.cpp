#include "platform/socketwait.h"

#include <poll.h>

bool WaitUntilWritable(qintptr descriptor, int timeoutMs) {
    if (descriptor < 0)
        return false;
    pollfd socket{};
    socket.fd = static_cast<int>(descriptor);
    socket.events = POLLOUT;
    return ::poll(&socket, 1, timeoutMs) > 0;
}

#include "CVioDescriptor.h"

#include <unistd.h>

#include <cerrno>

void CVioDescriptor::reset(int fd) {
    if (m_fd >= 0) {
        // Callers report the errno of the call that failed before the owner went.
        const int saved = errno;
        close(m_fd);
        errno = saved;
    }
    m_fd = fd;
}

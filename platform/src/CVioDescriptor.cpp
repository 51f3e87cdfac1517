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

int CVioDescriptor::writeAll(const std::string& text) const {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(m_fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

#include "CVioRecordLock.h"

#include <fcntl.h>

#include <cstring>

int CVioSetRecordLock(int fd, short type, bool wait) {
    struct flock request;
    std::memset(&request, 0, sizeof request);  // l_pid must be 0 for these locks
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 0;
    return fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &request);
}

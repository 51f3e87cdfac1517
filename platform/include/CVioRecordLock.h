// Whole-file record locks, taken as Linux open-file-description locks.
//
// Classic fcntl locks belong to the process: they do not exclude its other threads, and
// closing *any* descriptor of the file (say, a reader opening and closing it) silently drops
// them. An open-file-description lock belongs to the descriptor's open file: it excludes other
// processes (classic lock holders included), other threads and other descriptors alike, and
// ends when the last descriptor of that open file is closed.
#pragma once

// `type` is F_RDLCK, F_WRLCK or F_UNLCK. Returns fcntl's result: 0, or -1 with errno set.
int CVioSetRecordLock(int fd, short type, bool wait);

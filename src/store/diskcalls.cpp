#include "diskcalls.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

DiskCalls& Disk()
{
    static DiskCalls calls{
        [](int fd) { return ::fsync(fd); },
        [](const char* from, const char* to) { return ::linkat(AT_FDCWD, from, AT_FDCWD, to, 0); },
        [](const char* from, const char* to) { return ::rename(from, to); },
    };
    return calls;
}

bool NoHardLinks(int err)
{
    return err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EMLINK;
}

#include "diskcalls.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

bool WriteWhole(int fd, const QByteArray& data)
{
    for (qint64 done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += n;
    }
    return true;
}

bool WriteSynced(int fd, const QByteArray& data)
{
    errno = 0;
    if (WriteWhole(fd, data) && Disk().sync(fd) == 0)
        return true;
    if (errno == 0)
        errno = EIO;
    return false;
}

QString DiskReason(int err)
{
    return QString::fromLocal8Bit(std::strerror(err)).toLower();
}

void SyncFolder(const QString& folder)
{
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        Disk().sync(fd);
        ::close(fd);
    }
}

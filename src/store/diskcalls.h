#pragma once

// The calls that put a user's file on the disk, in one place, so that tests can
// watch the syncs and make link() fail as it does on a file system without
// hard links (a vfat stick).

#include <QByteArray>
#include <QString>

#include <functional>

struct DiskCalls
{
    std::function<int(int fd)> sync;
    std::function<int(const char* from, const char* to)> link;
    std::function<int(const char* from, const char* to)> rename;
};

// The calls in use: the system's, unless a test has put others in.
DiskCalls& Disk();

// Whether link() failed as it does where the file system has no hard links
// (vfat: EPERM): the file is then made with O_EXCL under its own name instead.
bool NoHardLinks(int err);

// Writes all of `data` (a write that takes nothing is a full disk, ENOSPC).
bool WriteWhole(int fd, const QByteArray& data);
// Writes all of `data` and syncs it; false with errno set.
bool WriteSynced(int fd, const QByteArray& data);
// The system's reason for `err`, in lower case.
QString DiskReason(int err);
// Syncs a folder, so that a name just made in it stays.
void SyncFolder(const QString& folder);

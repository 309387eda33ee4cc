#pragma once
// Test support: file modes that hold for root too, and what a file holds.

#include <QFile>
#include <QFileInfo>
#include <QString>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

// Root writes through any file mode. Without CAP_DAC_OVERRIDE in the effective
// set (of this thread, the one that runs the store) it honours them, as any
// other account does; the capability comes back at the end of the scope.
class FileModesHonoured
{
public:
    FileModesHonoured()
    {
        if (::syscall(SYS_capget, &header_, saved_) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        active_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~FileModesHonoured()
    {
        if (active_)
            ::syscall(SYS_capset, &header_, saved_);
    }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool active_ = false;
};

// A store that exists and can be read, but neither it nor its folder written.
inline void MakeReadOnly(const QString& file)
{
    QFile::setPermissions(file, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    QFile::setPermissions(QFileInfo(file).path(), QFile::ReadOwner | QFile::ExeOwner |
                                                      QFile::ReadGroup | QFile::ExeGroup |
                                                      QFile::ReadOther | QFile::ExeOther);
}

// A file's bytes, or "(none)" where it cannot be read.
inline QByteArray Contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
}

#include "output.h"

#include <QJsonDocument>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "link/devices.h"

namespace cli {

namespace {

QString Json(const QJsonObject& o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

} // namespace

void Output::Result(const QString& plain, const QJsonObject& object)
{
    Write(stdout, json ? Json(object) : plain);
}

void Output::Note(const QString& plain, const QJsonObject& object)
{
    if (json)
        Write(stdout, Json(object));
    else
        Write(stderr, plain);
}

void Output::Failure(const QString& verb, const QString& error, const QString& reason,
                     const QJsonObject& extra)
{
    if (json) {
        QJsonObject o{{"verb", verb}, {"error", error}};
        if (!reason.isEmpty())
            o.insert("reason", reason);
        for (auto it = extra.begin(); it != extra.end(); ++it)
            o.insert(it.key(), it.value());
        Write(stdout, Json(o));
    } else {
        Write(stderr, QStringLiteral("tesmora-cli: %1: %2%3")
                          .arg(verb, error, reason.isEmpty() ? QString() : ": " + reason));
    }
}

void Output::Warning(const QString& text)
{
    Write(stderr, QStringLiteral("tesmora-cli: warning: ") + text);
}

void Output::Info(const QString& text)
{
    Write(stderr, QStringLiteral("tesmora-cli: ") + text);
}

void Output::Traffic(const QString& line)
{
    Write(stderr, ControlsEscaped(line));
}

void Output::Progress(const QString& text)
{
    if (!progress)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    // Back to the line's start, the old text erased, the new one without a line end.
    const QByteArray bytes = "\r\033[K" + text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
    progressShown_ = true;
}

void Output::ClearProgressLocked()
{
    if (!progressShown_)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    progressShown_ = false;
}

void Output::Write(FILE* to, const QString& line)
{
    std::lock_guard<std::mutex> lock(mu_);
    ClearProgressLocked();
    const QByteArray bytes = line.toUtf8() + '\n';
    errno = 0;
    const bool written =
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to) == size_t(bytes.size()) &&
        std::fflush(to) == 0;
    if (!written && to == stdout && errno != EPIPE && stdoutError_.load() == 0)
        stdoutError_.store(errno ? errno : EIO);
}

void Output::StdoutLost(const QString& verb)
{
    Write(stderr, QStringLiteral("tesmora-cli: %1: cannot write to stdout: %2 (results were lost)")
                      .arg(verb, QString::fromLocal8Bit(std::strerror(stdoutError_.load()))));
}

QString OpenHint(link::OpenError error, int port)
{
    switch (error) {
    case link::OpenError::Busy:
        return QStringLiteral("held by another program");
    case link::OpenError::PermissionDenied: {
        // The group dialout opens a device of its own only: another is named
        // by whose it is, and one that cannot be looked at gets no advice.
        const link::Ownership o = link::OwnershipOf(link::PortDevicePath(port));
        if (!link::DialoutDevice(o))
            return o.known ? QString::fromStdString(link::OwnershipText(o)) : QString();
        // Said once in a run's output, however many ports refuse.
        static std::atomic<bool> said{false};
        if (said.exchange(true))
            return {};
        return QStringLiteral("add the account to the dialout group: adduser $USER dialout, then "
                              "log in again");
    }
    case link::OpenError::BadEntry:
        return QString::fromStdString(link::PortEntryRefusal(port));
    default:
        return {};
    }
}

QString OpenReason(link::OpenError error, int port)
{
    const QString hint = OpenHint(error, port);
    if (error == link::OpenError::BadEntry && !hint.isEmpty())
        return hint;
    const QString text =
        QString::fromStdString(link::OpenErrorLine(error, port ? link::OpenDetail(port) : ""));
    return hint.isEmpty() ? text : text + QStringLiteral(" (") + hint + ')';
}

} // namespace cli

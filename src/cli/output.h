#pragma once

// What the command-line tool writes: results on stdout, failures on stderr, or
// both as JSON Lines on stdout; and why a port did not open.

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cstdio>
#include <mutex>

#include "link/serialport.h"

namespace cli {

// Everything written to stdout and stderr goes through here, one line at a
// time, so that the port workers of a scan over every port never interleave.
class Output
{
public:
    bool json = false;

    void Result(const QString& plain, const QJsonObject& object)
    {
        Write(stdout, json ? Json(object) : plain);
    }
    void Failure(const QString& verb, const QString& error, const QString& reason = {})
    {
        if (json) {
            QJsonObject o{{"verb", verb}, {"error", error}};
            if (!reason.isEmpty())
                o.insert("reason", reason);
            Write(stdout, Json(o));
        } else {
            Write(stderr, QStringLiteral("tesmora-cli: %1: %2%3")
                              .arg(verb, error, reason.isEmpty() ? QString() : ": " + reason));
        }
    }
    void Traffic(const QString& line) { Write(stderr, line); }

private:
    static QString Json(const QJsonObject& o)
    {
        return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
    }
    void Write(FILE* to, const QString& line)
    {
        std::lock_guard<std::mutex> lock(mu_);
        const QByteArray bytes = line.toUtf8() + '\n';
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
        std::fflush(to);
    }
    std::mutex mu_;
};

QString OpenReason(link::OpenError error);

} // namespace cli

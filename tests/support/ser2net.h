#pragma once
// Test support: Debian's ser2net in the foreground on 127.0.0.1, in front of
// the emulator's ptys; and the certificates of its TLS accepters.

#include <QFile>
#include <QProcess>
#include <QString>
#include <QThread>

#include <vector>

#include "loopback.h"

// ser2net with its YAML in `dir`, listening once its constructor returns.
class Ser2net
{
public:
    struct Entry
    {
        // "telnet(rfc2217),tcp", "tcp", "telnet(rfc2217),ssl(key=K,cert=C),tcp"
        QString accepter;
        QString device;
        QString setting; // "9600n81"
        int port = 0;    // chosen by the constructor
        // A second client may join: ser2net keeps the device open until the
        // last one leaves, and puts back the termios it found when it closes.
        bool shared = false;
        QString authdir = {}; // ser2net's authdir option: client certificates by user
    };
    Ser2net(const QString& dir, std::vector<Entry>& entries)
    {
        QString yaml = QStringLiteral("%YAML 1.1\n---\n");
        int i = 0;
        for (Entry& e : entries) {
            e.port = loopback::FreePort();
            yaml += QStringLiteral("connection: &c%1\n  accepter: %2,127.0.0.1,%3\n"
                                   "  connector: serialdev,%4,%5,local\n")
                        .arg(++i)
                        .arg(e.accepter)
                        .arg(e.port)
                        .arg(e.device, e.setting);
            if (e.shared || !e.authdir.isEmpty())
                yaml += QStringLiteral("  options:\n");
            if (e.shared)
                yaml += QStringLiteral("    max-connections: 2\n");
            if (!e.authdir.isEmpty())
                yaml += QStringLiteral("    authdir: %1\n").arg(e.authdir);
        }
        const QString file = dir + QStringLiteral("/ser2net-%1.yaml").arg(entries.front().port);
        QFile f(file);
        if (f.open(QIODevice::WriteOnly))
            f.write(yaml.toUtf8());
        f.close();
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(QStringLiteral("ser2net"),
                       {"-n", "-d", "-c", file, "-P", file + QStringLiteral(".pid")});
        process_.waitForStarted(3000);
        for (int t = 0; t < 300; ++t) {
            bool all = true;
            for (const Entry& e : entries)
                all = all && loopback::Connects(e.port);
            if (all)
                break;
            QThread::msleep(10);
        }
    }
    ~Ser2net() { Kill(); }
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;
    bool Running() const { return process_.state() == QProcess::Running; }
    void Kill()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.kill();
        process_.waitForFinished(3000);
    }
    QProcess& Process() { return process_; }

private:
    QProcess process_;
};

// A self-signed certificate for `subject` ("127.0.0.1" goes in as an IP
// address, anything else as a DNS name) made with openssl req: DIR/NAME.crt and
// DIR/NAME.key (0600). Its SHA-256 as openssl shows it ("AB:CD:..."), or "".
inline QString MakeCertificate(const QString& dir, const QString& name, const QString& subject)
{
    const QString crt = dir + '/' + name + ".crt", key = dir + '/' + name + ".key";
    const bool ip = subject.front().isDigit();
    QProcess p;
    p.start(QStringLiteral("openssl"),
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-days", "2", "-subj", "/CN=" + subject, "-addext",
             (ip ? "subjectAltName=IP:" : "subjectAltName=DNS:") + subject, "-keyout", key, "-out",
             crt});
    if (!p.waitForFinished(10000) || p.exitCode() != 0)
        return {};
    QFile::setPermissions(key, QFile::ReadOwner | QFile::WriteOwner);
    p.start(QStringLiteral("openssl"), {"x509", "-noout", "-fingerprint", "-sha256", "-in", crt});
    p.waitForFinished(10000);
    return QString::fromLatin1(p.readAll()).section('=', 1).trimmed();
}

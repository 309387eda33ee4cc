#pragma once

// tesmora-cli run as a shell runs it against type 4 readers on emulated ports,
// with the settings and the state folder in a temporary folder.

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

#include "readeremulator.h"

struct Run
{
    int exit = -1; // -2: ended by a signal
    QList<QJsonObject> lines;
    QString err;
    QByteArray out;
};

// Type 4 readers on ports, the settings and the state folder in a temporary folder.
class World
{
public:
    World() { QDir(dir.path()).mkdir("ports"); }
    emu::ReaderEmulator& Add(int com, emu::ReaderModel m = {})
    {
        m.prefix = 'H';
        readers_.push_back(std::make_unique<emu::ReaderEmulator>(m, emu::Options{true, 3}));
        if (!readers_.back()->Start(dir.filePath("ports").toStdString(), com))
            qFatal("cannot start the emulator");
        return *readers_.back();
    }
    Run Cli(const QStringList& args, const QString& state = {}) const
    {
        QProcess p;
        Begin(p, args, state);
        return Finish(p);
    }
    // Started, not waited for: a test may signal it, then Finish it.
    void Begin(QProcess& p, const QStringList& args, const QString& state = {},
               const QString& home = {}) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TESMORA_PORT_DIR", dir.filePath("ports"));
        env.insert("TESMORA_SETTINGS_DIR", dir.filePath("settings"));
        env.insert("XDG_STATE_HOME", state.isEmpty() ? dir.filePath("state") : state);
        if (!home.isEmpty())
            env.insert("HOME", home);
        p.setProcessEnvironment(env);
        p.start(TESMORA_CLI_EXE, args);
    }
    static Run Finish(QProcess& p)
    {
        Run r;
        p.waitForFinished(120000);
        r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        r.err = QString::fromUtf8(p.readAllStandardError());
        r.out = p.readAllStandardOutput();
        for (const QByteArray& line : r.out.split('\n'))
            if (!line.isEmpty())
                r.lines << QJsonDocument::fromJson(line).object();
        return r;
    }
    QTemporaryDir dir;

private:
    std::vector<std::unique_ptr<emu::ReaderEmulator>> readers_;
};

// What a reader received, one command after the other.
inline QString Sent(const emu::ReaderEmulator& r)
{
    QStringList all;
    for (const std::string& p : r.ReceivedPayloads())
        all << QString::fromStdString(p);
    return all.join(' ');
}

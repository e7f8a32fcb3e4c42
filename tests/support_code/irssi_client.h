// irssi, a real chat client in UTF-8, on a pseudo-terminal of script(1),
// from a home folder of its own: it connects to 127.0.0.1:Port as Jiro, runs
// AutoSend once connected, and logs each channel to a file of the home
// folder.
#pragma once

#include "support_code/event_wait.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>

class IrssiClient {
public:
    static bool Installed()
    {
        return !QStandardPaths::findExecutable("irssi").isEmpty() && !QStandardPaths::findExecutable("script").isEmpty();
    }
    IrssiClient(quint16 Port, const QString& AutoSend) : FPort(Port), FAutoSend(AutoSend) {}
    ~IrssiClient() { Stop(); }
    bool Start()
    {
        QFile config(FHome.filePath("config"));
        if (!config.open(QIODevice::WriteOnly))
            return false;
        config.write(QString(R"(servers = ( { address = "127.0.0.1"; port = "%1"; chatnet = "nimbo"; autoconnect = "yes"; cap = "no"; } );
chatnets = { nimbo = { type = "IRC"; autosendcmd = "%3"; }; };
settings = {
  core = { nick = "Jiro"; user_name = "jiro"; real_name = "Jiro"; };
  "fe-common/core" = { term_charset = "utf-8"; autolog = "yes"; autolog_path = "%2/$0.log"; };
  "irc/core" = { cmd_queue_speed = "0"; cmds_max_at_once = "10"; skip_motd = "yes"; };
};
)").arg(FPort).arg(FHome.path(), FAutoSend).toUtf8());
        config.close();
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("TERM", "xterm");
        e.insert("LANG", "C.UTF-8");
        FProcess.setProcessEnvironment(e);
        FProcess.start("script", {"-qfec", "stty cols 100 rows 30; exec irssi --home=" + FHome.path(), "/dev/null"});
        return FProcess.waitForStarted();
    }
    // Ends irssi at once, as a crash does: its connection simply closes.
    // (irssi itself, a child of script, takes a hangup for a reload.)
    void Stop()
    {
        if (FProcess.state() == QProcess::NotRunning)
            return;
        QFile children(QString("/proc/%1/task/%1/children").arg(FProcess.processId()));
        if (children.open(QIODevice::ReadOnly))
            for (const QByteArray& child : children.readAll().split(' '))
                if (child.toInt() > 0)
                    ::kill(child.toInt(), SIGKILL);
        FProcess.kill();
        FProcess.waitForFinished();
    }
    // Waits until the log of Channel holds Text.
    bool Logged(const QString& Channel, const QByteArray& Text, int TimeoutMs = 10000)
    {
        return WaitUntil([&] {
            QFile log(FHome.filePath(Channel + ".log"));
            return log.open(QIODevice::ReadOnly) && log.readAll().contains(Text);
        }, TimeoutMs);
    }

private:
    quint16 FPort;
    QString FAutoSend;
    QTemporaryDir FHome;
    QProcess FProcess;
};

#pragma once

#include <QObject>

class QSocketNotifier;

// Ends the window's application on SIGTERM, SIGHUP (a desktop logout) or
// SIGINT: the link stops whatever runs at its next step, the operation's guards
// restore and close the port, then the event loop ends and main ends the
// process as the signal would have.
class StopSignals : public QObject
{
public:
    // Catches the signals; call once, after the application object exists.
    static void Catch();
    // The signal that asked to stop, 0 while none has.
    static int Received();

private:
    explicit StopSignals(int readFd);
    void Arrived();
    int readFd_;
    QSocketNotifier* notifier_;
};

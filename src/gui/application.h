#pragma once

#include <QApplication>

#include <functional>

// Shows an error that escapes a handler in the standard error report and lets
// the message loop go on, as the program has no other dialogs.
class TApplication : public QApplication
{
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;

    // Tests replace the report so that no modal box blocks them.
    using ErrorReporter = std::function<void(const QString& message)>;
    static void SetErrorReporter(ErrorReporter reporter);
    static void ReportError(const QString& message);
};

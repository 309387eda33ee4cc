#include "application.h"

#include <QDirIterator>
#include <QIcon>
#include <QMessageBox>

#include <exception>

namespace {

TApplication::ErrorReporter& Reporter()
{
    static TApplication::ErrorReporter reporter;
    return reporter;
}

// The icon at every size it ships (PNGs compiled in), for every window and the task bar.
QIcon AppIcon()
{
    QIcon icon;
    QDirIterator it(QStringLiteral(":/icons"), {QStringLiteral("*.png")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        icon.addFile(it.next());
    return icon;
}

} // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    // The name for the task bar. No display name: Qt would append it to every
    // window title, and the title bar must read exactly the catalogue's title.
    setApplicationName(QStringLiteral("Tesmora"));
    // Desktops match the window to its menu entry and icon by this name
    // (Wayland's app id; StartupWMClass in the entry for X11).
    setDesktopFileName(QStringLiteral("org.tesmora.tesmora"));
    setWindowIcon(AppIcon());
}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ReportError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ReportError(QStringLiteral("Unknown error."));
    }
    return false;
}

void TApplication::SetErrorReporter(ErrorReporter reporter)
{
    Reporter() = std::move(reporter);
}

void TApplication::ReportError(const QString& message)
{
    if (Reporter()) {
        Reporter()(message);
        return;
    }
    QMessageBox::critical(activeWindow(), applicationDisplayName(), message);
}

// The title bar as a window manager reads it, on a real X server: exactly the
// catalogue's title, with "Tesmora" as the application's name; its class is the
// menu entry's StartupWMClass, so that desktops match the two.
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include "fixture.h"

namespace {

QString Property(QWidget& window, const char* name)
{
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"),
                {QStringLiteral("-id"), QString::number(window.winId()), QLatin1String(name)});
    if (!xprop.waitForFinished(5000))
        return {};
    return QString::fromUtf8(xprop.readAllStandardOutput()).trimmed();
}

} // namespace

class TestTitle : public QObject
{
    Q_OBJECT

private slots:
    void titleAsTheWindowManagerSeesIt()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        Fixture fx;
        TfrmModule& w = fx.OpenWindow();
        QTRY_COMPARE(Property(w, "_NET_WM_NAME"),
                     QStringLiteral("_NET_WM_NAME(UTF8_STRING) = \"Tesmora V5.00\""));
        // WM_CLASS holds the instance (the executable's name) and the class.
        const QString wmClass = Property(w, "WM_CLASS");
        QVERIFY2(wmClass.endsWith(QStringLiteral(", \"Tesmora\"")), qPrintable(wmClass));
        QFile entry(QStringLiteral(TESMORA_SOURCE_DIR "/packaging/") +
                    QGuiApplication::desktopFileName() + QStringLiteral(".desktop"));
        QVERIFY2(entry.open(QIODevice::ReadOnly), qPrintable(entry.fileName()));
        const QString startupClass = QRegularExpression(QStringLiteral("^StartupWMClass=(.*)$"),
                                                        QRegularExpression::MultilineOption)
                                         .match(QString::fromUtf8(entry.readAll()))
                                         .captured(1);
        QVERIFY2(wmClass.endsWith(QStringLiteral(", \"%1\"").arg(startupClass)),
                 qPrintable(startupClass));
        fx.ui()->mnuTraditional->trigger();
        QTRY_COMPARE(Property(w, "_NET_WM_NAME"),
                     QStringLiteral("_NET_WM_NAME(UTF8_STRING) = \"讀卡機設定程式 V5.00\""));
    }
};

TESMORA_TEST_MAIN(TestTitle)
#include "tst_title.moc"

// The title bar as a window manager reads it, on a real X server: exactly the
// catalogue's title, with "Tesmora" as the application's name.
#include <QProcess>
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
        QVERIFY2(Property(w, "WM_CLASS").contains(QStringLiteral("\"Tesmora\"")),
                 qPrintable(Property(w, "WM_CLASS")));
        fx.ui()->mnuTraditional->trigger();
        QTRY_COMPARE(Property(w, "_NET_WM_NAME"),
                     QStringLiteral("_NET_WM_NAME(UTF8_STRING) = \"讀卡機設定程式 V5.00\""));
    }
};

TESMORA_TEST_MAIN(TestTitle)
#include "tst_title.moc"

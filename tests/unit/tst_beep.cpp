// The beep: observed through its hook, and harmless where no device sounds.
#include <QElapsedTimer>
#include <QTest>

#include <utility>
#include <vector>

#include "gui/beep.h"

class TestBeep : public QObject
{
    Q_OBJECT

private slots:
    void hookSeesEveryBeep()
    {
        std::vector<std::pair<int, int>> seen;
        SetBeepHook([&](int f, int d) {
            seen.emplace_back(f, d);
            return true;
        });
        Beep(1000, 300);
        Beep(300, 300);
        SetBeepHook(nullptr);
        QCOMPARE(seen.size(), size_t(2));
        QCOMPARE(seen[0], std::make_pair(1000, 300));
        QCOMPARE(seen[1], std::make_pair(300, 300));
    }

    // A hook that lets the beep through: the tone is requested from the real
    // devices; where there is none it returns without an error and without hanging.
    void noDeviceIsSilentAndPrompt()
    {
        std::vector<std::pair<int, int>> seen;
        SetBeepHook([&](int f, int d) {
            seen.emplace_back(f, d);
            return false;
        });
        QElapsedTimer t;
        t.start();
        Beep(1000, 50);
        Beep(0, 50);
        Beep(440, -1);
        SetBeepHook(nullptr);
        QVERIFY(t.elapsed() < 3000);
        QCOMPARE(seen, (std::vector<std::pair<int, int>>{{1000, 50}, {0, 50}, {440, -1}}));
    }
};

QTEST_MAIN(TestBeep)
#include "tst_beep.moc"

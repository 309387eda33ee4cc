// Every caption fits its control in all three languages. With
// TESMORA_SCREENSHOT_DIR set, the window and each page are saved as PNGs.
#include <QAbstractButton>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTest>

#include "fixture.h"

namespace {

QString Plain(QString text)
{
    // An access key's "&" is not drawn; "&&" is drawn as one "&".
    text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QLatin1Char('\x01'), QLatin1Char('&'));
    return text;
}

// The width left for the text of a control, or -1 for controls without one.
int TextRoom(QWidget* w)
{
    QStyle* style = w->style();
    if (auto* label = qobject_cast<QLabel*>(w))
        return label->contentsRect().width() - 2 * label->margin();
    if (qobject_cast<QRadioButton*>(w) || qobject_cast<QCheckBox*>(w))
        return w->width() - style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, w) -
               style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, w);
    if (qobject_cast<QPushButton*>(w))
        return w->width() - 2 * style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, w);
    if (qobject_cast<QGroupBox*>(w))
        return w->width() - 12;
    return -1;
}

QString Text(QWidget* w)
{
    if (auto* label = qobject_cast<QLabel*>(w))
        return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(w))
        return button->text();
    if (auto* group = qobject_cast<QGroupBox*>(w))
        return group->title();
    return {};
}

} // namespace

class TestLegibility : public QObject
{
    Q_OBJECT

private slots:
    void captionsFit_data()
    {
        QTest::addColumn<int>("language");
        QTest::newRow("English") << 0;
        QTest::newRow("Simplified Chinese") << 1;
        QTest::newRow("Traditional Chinese") << 2;
    }

    void captionsFit()
    {
        QFETCH(int, language);
        Fixture fx;
        TfrmModule& w = fx.OpenWindow();
        auto* ui = fx.ui();
        QAction* items[] = {ui->mnuEnglish, ui->mnuSimplified, ui->mnuTraditional};
        items[language]->trigger();
        const QString shots = qEnvironmentVariable("TESMORA_SCREENSHOT_DIR");
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
        if (!shots.isEmpty()) {
            QDir().mkpath(shots);
            w.grab().save(shots + QStringLiteral("/window-%1.png").arg(tag));
        }

        QStringList clipped;
        for (int page = 0; page < ui->pcOther->count(); ++page) {
            ui->pcOther->setTabVisible(page, true);
            ui->pcOther->setCurrentIndex(page);
            QCoreApplication::processEvents();
            QWidget* current = ui->pcOther->widget(page);
            if (!shots.isEmpty())
                w.grab().save(shots + QStringLiteral("/%1-%2.png").arg(tag, current->objectName()));
            QList<QWidget*> widgets = current->findChildren<QWidget*>();
            if (page == 0)
                widgets += ui->gbType->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
            for (QWidget* c : widgets) {
                if (!c->isVisible())
                    continue;
                const int room = TextRoom(c);
                const QString text = Plain(Text(c));
                if (room < 0 || text.isEmpty())
                    continue;
                QFontMetrics fm(c->font());
                if (fm.horizontalAdvance(text) > room ||
                    fm.tightBoundingRect(text).height() > c->height())
                    clipped << QStringLiteral("%1 \"%2\" (%3 > %4)")
                                   .arg(c->objectName(), text)
                                   .arg(fm.horizontalAdvance(text))
                                   .arg(room);
            }
        }
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(QStringLiteral("; "))));
    }
};

TESMORA_TEST_MAIN(TestLegibility)
#include "tst_legibility.moc"

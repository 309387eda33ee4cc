// The message catalogue, the language fonts and the language names.
#include <QFontDatabase>
#include <QGuiApplication>
#include <QRawFont>
#include <QSet>
#include <QTest>

#include "catalog/catalog.h"
#include "gui/fonts.h"

class TestCatalog : public QObject
{
    Q_OBJECT

private slots:
    void entriesAreUniqueAndComplete()
    {
        // The table's 85 texts first, then the program's own texts after them.
        QVERIFY(kMessageCatalogSize > size_t(85));
        QSet<QString> keys;
        for (const CatalogEntry& e : kMessageCatalog) {
            for (int c = 0; c < 3; ++c)
                QVERIFY2(!e.text[c].empty(), e.text[0].data());
            keys.insert(QString::fromUtf8(e.text[0].data(), qsizetype(e.text[0].size())));
        }
        QCOMPARE(size_t(keys.size()), kMessageCatalogSize);
        QCOMPARE(CatalogIndex("Tesmora V5.00"), 0);
        QCOMPARE(CatalogIndex("Read card data error!"), 84);
        QCOMPARE(CatalogIndex("Start select reader type."), 13);
    }

    void texts_data()
    {
        QTest::addColumn<QString>("english");
        QTest::addColumn<QString>("simplified");
        QTest::addColumn<QString>("traditional");
        QTest::newRow("caption") << "Tesmora V5.00"
                                 << "读卡机设定程式 V5.00"
                                 << "讀卡機設定程式 V5.00";
        QTest::newRow("trailer reason") << "Access bits inconsistent: the sector would be blocked."
                                        << "存取位元不一致, 区段将被锁死."
                                        << "存取位元不一致, 區段將被鎖死.";
        QTest::newRow("start") << "Start select reader type."
                               << "请先选择读卡机型号."
                               << "請先選擇讀卡機型號.";
        QTest::newRow("no final stop") << "Set reader ID ok."
                                       << "设定读卡机编号完成."
                                       << "設定讀卡機編號完成";
        QTest::newRow("capital R") << "Set Reader baud rate ok."
                                   << "设定读卡机通讯速度完成."
                                   << "設定讀卡機通訊速度完成.";
        QTest::newRow("as held") << "Set card key ok."
                                 << "设设定卡片KEY完成."
                                 << "設定卡片KEY完成.";
        QTest::newRow("spaces") << "Write key to EEPROM"
                                << "写入 KEY 至 EEPROM"
                                << "寫入 KEY 至 EEPROM";
        QTest::newRow("found") << "Reader find ok. (COM"
                               << "读卡机资讯完成. (串口"
                               << "讀卡機資訊完成. (串口";
        QTest::newRow("menu") << "E&xit"
                              << "离开(&x)"
                              << "離開(&x)";
        QTest::newRow("same in all") << "Key:"
                                     << "Key:"
                                     << "Key:";
    }

    void texts()
    {
        QFETCH(QString, english);
        QFETCH(QString, simplified);
        QFETCH(QString, traditional);
        std::string key = english.toStdString();
        QCOMPARE(CatalogLookup(key, 0), english);
        QCOMPARE(CatalogLookup(key, 1), simplified);
        QCOMPARE(CatalogLookup(key, 2), traditional);
        // A column outside 0..2 reads English rather than nothing.
        QCOMPARE(CatalogLookup(key, 7), english);
    }

    void compileTimeKeys()
    {
        QCOMPARE(CatalogText("Reader not find", 2), QStringLiteral("讀卡機沒有連線"));
    }

    void missingTextIsLoudAndNeverEmpty()
    {
        QTest::ignoreMessage(QtCriticalMsg, "missing catalogue entry: \"No such text\"");
        QCOMPARE(CatalogLookup("No such text", 1), QStringLiteral("No such text"));
    }

    void fonts_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("face");
        QTest::addColumn<int>("points");
        QTest::addColumn<int>("charset");
        QTest::addColumn<QStringList>("fallbacks");
        QTest::newRow("English") << 0 << "Courier New" << 10 << 0
                                 << QStringList{"Liberation Mono", "DejaVu Sans Mono"};
        QTest::newRow("Simplified")
            << 1 << "宋体" << 12 << 134
            << QStringList{"SimSun", "Noto Sans CJK SC", "WenQuanYi Micro Hei"};
        QTest::newRow("Traditional")
            << 2 << "細明體" << 12 << 136
            << QStringList{"MingLiU", "Noto Sans CJK TC", "WenQuanYi Micro Hei"};
    }

    void fonts()
    {
        QFETCH(int, column);
        QFETCH(QString, face);
        QFETCH(int, points);
        QFETCH(int, charset);
        QFETCH(QStringList, fallbacks);
        const LanguageFontInfo& info = LanguageFont(column);
        QCOMPARE(info.face, face);
        QCOMPARE(info.pointSize, points);
        QCOMPARE(info.charset, charset);
        QCOMPARE(info.fallbacks, fallbacks);
        QFont font = MakeLanguageFont(column);
        QCOMPARE(font.families(), QStringList{face} + fallbacks);
        QCOMPARE(font.pointSize(), points);
    }

    // With the faces missing, the Chinese fonts still draw Chinese characters.
    void chineseFallbackDrawsChinese()
    {
        for (int column : {1, 2}) {
            QFontMetrics metrics(MakeLanguageFont(column));
            QVERIFY(metrics.inFont(QChar(0x8BFB))); // 读
            QVERIFY(metrics.inFont(QChar(0x8B80))); // 讀
        }
    }

    // The face the window's font resolves to for a language (the first of its
    // families installed here) has a glyph of its own for every character of
    // every text in that language: Qt's fallback to whatever else is installed
    // does not count, as the package brings only the fonts it depends on.
    void glyphsOfEveryText_data()
    {
        QTest::addColumn<int>("column");
        QTest::newRow("English") << 0;
        QTest::newRow("Simplified") << 1;
        QTest::newRow("Traditional") << 2;
    }

    void glyphsOfEveryText()
    {
        QFETCH(int, column);
        const QFont font = MakeLanguageFont(column);
        const QRawFont raw = QRawFont::fromFont(font);
        QVERIFY(raw.isValid());
        QVERIFY2(font.families().contains(raw.familyName()), qPrintable(raw.familyName()));
        QString missing;
        for (const CatalogEntry& e : kMessageCatalog) {
            const std::string_view text = e.text[column];
            for (char32_t c : QString::fromUtf8(text.data(), qsizetype(text.size())).toUcs4())
                if (!raw.supportsCharacter(c) && !missing.contains(QString::fromUcs4(&c, 1)))
                    missing += QString::fromUcs4(&c, 1);
        }
        QVERIFY2(missing.isEmpty(),
                 qPrintable(raw.familyName() + QStringLiteral(" has no glyph for: ") + missing));
    }

    void languageNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("index");
        QTest::newRow("English") << "English" << 0;
        QTest::newRow("ChineseGB") << "ChineseGB" << 1;
        QTest::newRow("ChineseBIG5") << "ChineseBIG5" << 2;
        QTest::newRow("case") << "ChineseGb" << 0;
        QTest::newRow("space") << "ChineseGB " << 0;
        QTest::newRow("empty") << "" << 0;
    }

    void languageNames()
    {
        QFETCH(QString, name);
        QFETCH(int, index);
        QCOMPARE(LanguageIndexOf(name), index);
    }
};

QTEST_MAIN(TestCatalog)
#include "tst_catalog.moc"

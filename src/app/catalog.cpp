#include "catalog.h"

#include <QtGlobal>

namespace {

QString Text(size_t index, int column)
{
    if (column < 0 || column > 2)
        column = 0;
    std::string_view t = kMessageCatalog[index].text[column];
    return QString::fromUtf8(t.data(), static_cast<qsizetype>(t.size()));
}

} // namespace

QString CatalogText(MsgKey key, int column)
{
    return Text(static_cast<size_t>(key.index), column);
}

QString CatalogLookup(std::string_view english, int column)
{
    int index = CatalogIndex(english);
    if (index < 0) {
        QString key = QString::fromUtf8(english.data(), static_cast<qsizetype>(english.size()));
        qCritical("missing catalogue entry: \"%s\"", qPrintable(key));
        return key;
    }
    return Text(static_cast<size_t>(index), column);
}

const LanguageFontInfo& LanguageFont(int column)
{
    static const LanguageFontInfo fonts[3] = {
        {QStringLiteral("Courier New"),
         10,
         0,
         {QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono")}},
        {QStringLiteral("宋体"),
         12,
         134,
         {QStringLiteral("SimSun"), QStringLiteral("Noto Sans CJK SC"),
          QStringLiteral("WenQuanYi Micro Hei")}},
        {QStringLiteral("細明體"),
         12,
         136,
         {QStringLiteral("MingLiU"), QStringLiteral("Noto Sans CJK TC"),
          QStringLiteral("WenQuanYi Micro Hei")}},
    };
    if (column < 0 || column > 2)
        column = 0;
    return fonts[column];
}

QFont MakeLanguageFont(int column)
{
    const LanguageFontInfo& info = LanguageFont(column);
    QFont font(info.face, info.pointSize);
    QStringList families{info.face};
    families += info.fallbacks;
    font.setFamilies(families);
    font.setStyleHint(column == 0 ? QFont::TypeWriter : QFont::AnyStyle);
    return font;
}

QFont MakeAccessBitsFont()
{
    QFont font(QStringLiteral("Arial Narrow"));
    font.setFamilies({QStringLiteral("Arial Narrow"), QStringLiteral("Liberation Sans Narrow"),
                      QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("DejaVu Sans")});
    font.setPixelSize(11);
    return font;
}

int LanguageIndexOf(const QString& language)
{
    if (language == QLatin1String(kLanguageNames[1]))
        return 1;
    if (language == QLatin1String(kLanguageNames[2]))
        return 2;
    return 0;
}

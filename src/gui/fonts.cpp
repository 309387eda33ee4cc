#include "fonts.h"

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

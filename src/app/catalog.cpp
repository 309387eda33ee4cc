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

int LanguageIndexOf(const QString& language)
{
    if (language == QLatin1String(kLanguageNames[1]))
        return 1;
    if (language == QLatin1String(kLanguageNames[2]))
        return 2;
    return 0;
}

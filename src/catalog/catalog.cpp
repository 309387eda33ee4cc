#include "catalog.h"

#include <QtGlobal>

namespace {

QString EntryText(size_t index, int column)
{
    if (column < 0 || column > 2)
        column = 0;
    return QUtf8StringView(kMessageCatalog[index].text[column]).toString();
}

} // namespace

QString CatalogText(MsgKey key, int column)
{
    return EntryText(static_cast<size_t>(key.index), column);
}

QString CatalogLookup(std::string_view english, int column)
{
    int index = CatalogIndex(english);
    if (index < 0) {
        QString key = QUtf8StringView(english).toString();
        qCritical("missing catalogue entry: \"%s\"", qPrintable(key));
        return key;
    }
    return EntryText(static_cast<size_t>(index), column);
}

int LanguageIndexOf(const QString& language)
{
    if (language == QLatin1String(kLanguageNames[1]))
        return 1;
    if (language == QLatin1String(kLanguageNames[2]))
        return 2;
    return 0;
}

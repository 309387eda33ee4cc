#pragma once

// The window fonts of the three languages.

#include <QFont>
#include <QString>
#include <QStringList>

struct LanguageFontInfo
{
    QString face;
    int pointSize;
    int charset; // 0 ANSI, 134 GB2312, 136 Chinese Big5
    QStringList fallbacks;
};

const LanguageFontInfo& LanguageFont(int column);
// The window font of a language, with installed fallbacks for missing faces.
QFont MakeLanguageFont(int column);
// Fonts of the access-bits group, which keeps its own narrow face.
QFont MakeAccessBitsFont();

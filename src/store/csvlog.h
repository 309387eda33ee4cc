#pragma once

// A list a long run keeps row by row (an enrollment, an issuing log): CSV with
// a fixed header, each row appended with O_APPEND and synced before the run
// goes on, so that a crash or a pulled plug loses no row written. An existing
// file is resumed: its rows are read first, and a file that is not such a
// list is refused and left alone. Created 0600.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The rows of a list whose first line is `header`, each of as many fields;
// the last field may be quoted and hold commas. nullopt with `error` (the
// line named) for anything else. An empty text is an empty list.
std::optional<QList<QStringList>> ParseCsvList(const QByteArray& text, const QString& header,
                                               QString* error);
// One line, its newline included; a field with a comma, a quote or a line
// break is quoted.
QByteArray CsvLine(const QStringList& fields);
// Now, as ISO 8601 with the zone ("2026-12-09T15:39:18+01:00").
QString CsvTime();

class CsvList
{
public:
    CsvList() = default;
    ~CsvList();
    CsvList(const CsvList&) = delete;
    CsvList& operator=(const CsvList&) = delete;

    // Reads `path` where it exists (its rows in Rows()), then opens it to
    // append; where it does not, creates it with the header.
    bool Open(const QString& path, const QString& header, QString* error);
    const QList<QStringList>& Rows() const { return rows_; }
    // Appends one row and syncs it to the disk.
    bool Append(const QStringList& fields, QString* error);
    QString Path() const { return path_; }

private:
    QString path_;
    int fd_ = -1;
    QList<QStringList> rows_;
};

#pragma once
// Reading the parts of a workbook's ZIP archive (.xlsx, .ods): each part is
// unpacked piece by piece straight into the XML scanner, never held whole;
// a part that unpacks to more than an import may read is stopped there, and
// the archive's check sum is checked at the part's end.

#include "send/import/uXmlScanner.h"

#include "send/import/uImportJob.h"

#include <QByteArray>
#include <QString>
#include <functional>

class QFile;
class QuaZip;

// What became of reading one part.
struct TPartResult
{
    enum Kind { Ok, Missing, Broken, TooLarge, Cancelled } kind = Ok;
    QString part;
    QString detail; // Broken: what is wrong, for the user
};

// Reads one part of the open archive through the scanner: consume(scanner)
// takes the tokens it wants, up to the end of the document or less, and
// returns false to cancel. What it leaves unread is unpacked and dropped, so
// that the part's size and check sum are checked all the same. A part not in
// UTF-8 (a byte-order mark or the XML declaration says so) is decoded first.
TPartResult ScanZipPart(QuaZip& zip, const QString& name, qint64 maxBytes,
                        const std::function<bool(TXmlScanner&)>& consume);

// A small part whole (a mimetype); at most maxBytes.
TPartResult ReadZipPart(QuaZip& zip, const QString& name, qint64 maxBytes, QByteArray* out);

// Opens the archive of a workbook file (from its start); Done, or the job ended as damaged.
// kind: the workbook's kind in the message (" Excel 工作簿（*.xlsx）").
TImportOutcome OpenWorkbookZip(QuaZip& zip, QFile& file, TImportJob& job, const QString& kind);

// The job's end for a part that could not be read (not Ok).
TImportOutcome PartFailed(TImportJob& job, const QString& kind, const TPartResult& part);

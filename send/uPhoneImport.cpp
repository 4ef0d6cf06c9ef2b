#include "send/uPhoneImport.h"

#include "send/import/uImportJob.h"
#include "send/import/uListReader.h"
#include "send/import/uTextInput.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <memory>
#include <quazip.h>
#include <quazipfile.h>

namespace {

// What a file's first bytes say it is.
enum class TContent { Text, Zip, Ole, Pdf, Image, Archive, Binary };

// Bytes looked at to tell a file's kind.
constexpr qsizetype HeadBytes = 64 * 1024;

TContent contentOf(QByteArrayView head)
{
    auto at = [&](qsizetype offset, QByteArrayView magic) {
        return head.size() >= offset + magic.size() && head.sliced(offset, magic.size()) == magic;
    };
    if (at(0, "PK\x03\x04") || at(0, "PK\x05\x06") || at(0, "PK\x07\x08"))
        return TContent::Zip;
    if (at(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"))
        return TContent::Ole;
    if (at(0, "%PDF-"))
        return TContent::Pdf;
    if (at(0, "\x89PNG\r\n\x1A\n") || at(0, "\xFF\xD8\xFF") || at(0, "GIF87a") || at(0, "GIF89a") ||
        at(0, QByteArrayView("II*\0", 4)) || at(0, QByteArrayView("MM\0*", 4)) ||
        (at(0, "RIFF") && at(8, "WEBP")) || (at(0, "BM") && at(6, QByteArrayView("\0\0\0\0", 4))) ||
        (at(4, "ftyp") && (at(8, "heic") || at(8, "heix") || at(8, "mif1") || at(8, "avif"))))
        return TContent::Image;
    if (at(0, "Rar!\x1A\x07") || at(0, "7z\xBC\xAF\x27\x1C") || at(0, "\x1F\x8B") ||
        at(0, QByteArrayView("\xFD" "7zXZ\0", 6)))
        return TContent::Archive;
    qsizetype mark = 0;
    const TMark m = MarkOf(head, &mark);
    if (m != TMark::Utf16LE && m != TMark::Utf16BE && head.contains('\0'))
        return TContent::Binary; // no text in any of the encodings read has a NUL
    return TContent::Text;
}

const QString XlsxKind = QStringLiteral(" Excel 工作簿（*.xlsx）");
const QString XlsKind = QStringLiteral(" Excel 97-2003 工作簿（*.xls）");
const QString OdsKind = QStringLiteral(" OpenDocument 表格（*.ods）");

QString kindByName(TImportFormat byName)
{
    return byName == TImportFormat::Ods ? OdsKind : byName == TImportFormat::Xls ? XlsKind : XlsxKind;
}

bool namesWorkbook(TImportFormat byName)
{
    return byName == TImportFormat::Xlsx || byName == TImportFormat::Xls || byName == TImportFormat::Ods;
}

// A ZIP archive: an .xlsx or an .ods by what it holds; null, with the job
// ended, when it is neither.
std::unique_ptr<TListReader> zipReader(QFile& file, TImportFormat byName, TImportJob& job, TImportOutcome* outcome)
{
    QuaZip zip(&file);
    zip.setAutoClose(false);
    if (!zip.open(QuaZip::mdUnzip)) {
        *outcome = job.damaged(byName == TImportFormat::Ods ? OdsKind : XlsxKind,
                               QStringLiteral("ZIP 压缩文件已损坏（错误 %1）").arg(zip.getZipError()));
        return nullptr;
    }
    auto has = [&](const QString& name) { return zip.setCurrentFile(name, QuaZip::csInsensitive); };
    if (has(QStringLiteral("xl/workbook.xml")))
        return std::make_unique<TXlsxReader>();
    if (has(QStringLiteral("content.xml"))) {
        // An OpenDocument file names its kind in its first part, "mimetype".
        QByteArray type;
        if (has(QStringLiteral("mimetype"))) {
            QuaZipFile f(&zip);
            if (f.open(QIODevice::ReadOnly))
                type = f.read(200);
        }
        if (type.isEmpty() || type.startsWith("application/vnd.oasis.opendocument.spreadsheet"))
            return std::make_unique<TOdsReader>();
        *outcome = job.notAList(QStringLiteral(" OpenDocument 文档，但不是表格"));
        return nullptr;
    }
    if (has(QStringLiteral("xl/workbook.bin")))
        *outcome = job.notAList(QStringLiteral(" Excel 二进制工作簿（*.xlsb）"));
    else if (has(QStringLiteral("word/document.xml")))
        *outcome = job.notAList(QStringLiteral(" Word 文档"));
    else if (namesWorkbook(byName))
        *outcome = job.damaged(kindByName(byName), QStringLiteral("ZIP 压缩文件中没有工作簿"));
    else
        *outcome = job.notAList(QStringLiteral(" ZIP 压缩文件"));
    return nullptr;
}

// Opens the file, tells its kind, and hands it to the reader of that kind.
TImportOutcome readFile(TImportJob& job)
{
    const QString& name = job.fileName();
    qint64 size = 0;
    QString why;
    QFile file;
    if (!OpenRegular(file, name, &size, &why))
        return job.fail(TImportOutcome::CannotOpen, QStringLiteral("无法打开文件 \"%1\"：%2").arg(name, why));
    if (size > job.maxBytes())
        return job.tooLarge(size);
    QByteArray head(HeadBytes, Qt::Uninitialized);
    const qsizetype got = ReadSome(file, head.data(), head.size());
    if (got < 0 || !file.seek(0))
        return job.readFailed(file.errorString());
    head.truncate(got);

    const TImportFormat byName = ImportFormatOf(name);
    std::unique_ptr<TListReader> reader;
    TImportOutcome outcome = TImportOutcome::Done;
    switch (contentOf(head)) {
    case TContent::Zip:
        reader = zipReader(file, byName, job, &outcome);
        break;
    case TContent::Ole:
        reader = std::make_unique<TXlsReader>(byName == TImportFormat::Xlsx);
        break;
    case TContent::Pdf:
        return job.notAList(QStringLiteral(" PDF 文档"));
    case TContent::Image:
        return job.notAList(QStringLiteral("图片"));
    case TContent::Archive:
        return job.notAList(QStringLiteral("压缩文件"));
    case TContent::Binary:
        return job.notAList(QStringLiteral("二进制文件，不是文本"));
    case TContent::Text:
        switch (byName) {
        case TImportFormat::Xlsx:
        case TImportFormat::Ods:
            return job.damaged(kindByName(byName), QStringLiteral("不是 ZIP 压缩格式"));
        case TImportFormat::Xls:
            return job.damaged(XlsKind, QStringLiteral("不是 OLE 复合文档格式"));
        case TImportFormat::Csv:
            reader = std::make_unique<TDelimitedReader>(',');
            break;
        case TImportFormat::Tsv:
            reader = std::make_unique<TDelimitedReader>('\t');
            break;
        case TImportFormat::Text:
            reader = std::make_unique<TTextLinesReader>();
            break;
        }
        break;
    }
    return reader ? reader->read(file, size, job) : outcome;
}

} // namespace

// --- public helpers ---

TImportFormat ImportFormatOf(const QString& fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("csv"))
        return TImportFormat::Csv;
    if (suffix == QLatin1String("tsv") || suffix == QLatin1String("tab"))
        return TImportFormat::Tsv;
    if (suffix == QLatin1String("xlsx") || suffix == QLatin1String("xlsm") || suffix == QLatin1String("xltx") ||
        suffix == QLatin1String("xltm"))
        return TImportFormat::Xlsx;
    if (suffix == QLatin1String("xls") || suffix == QLatin1String("xlt"))
        return TImportFormat::Xls;
    if (suffix == QLatin1String("ods") || suffix == QLatin1String("ots"))
        return TImportFormat::Ods;
    return TImportFormat::Text;
}

QString PhoneImportFilter()
{
    return QStringLiteral("txt(*.txt)|*.txt|CSV 文件(*.csv *.tsv)|*.csv *.tsv|"
                          "Excel 工作簿(*.xlsx *.xlsm *.xls)|*.xlsx *.xlsm *.xls|"
                          "OpenDocument 表格(*.ods)|*.ods|所有文件(*)|*");
}

QByteArray WholeNumberText(QByteArrayView number)
{
    const QByteArrayView s = TrimmedText(number);
    qsizetype i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+'))
        negative = s[i++] == '-';
    QByteArray digits;
    qint64 exponent = 0; // value = digits * 10^exponent
    bool any = false;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9')
        digits += s[i++], any = true;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            digits += s[i++], --exponent, any = true;
    }
    if (!any)
        return number.toByteArray();
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool neg = false;
        if (i < s.size() && (s[i] == '-' || s[i] == '+'))
            neg = s[i++] == '-';
        qint64 e = 0;
        const qsizetype from = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9' && e < 100000)
            e = e * 10 + (s[i++] - '0');
        if (i == from)
            return number.toByteArray();
        exponent += neg ? -e : e;
    }
    if (i != s.size())
        return number.toByteArray();
    if (exponent < 0) {
        const qsizetype drop = qsizetype(-exponent);
        if (drop > digits.size()) {
            for (char c : digits)
                if (c != '0')
                    return number.toByteArray();
            digits = "0";
        } else {
            for (qsizetype k = digits.size() - drop; k < digits.size(); ++k)
                if (digits[k] != '0')
                    return number.toByteArray(); // not a whole number
            digits.chop(drop);
        }
    } else {
        if (digits.size() + exponent > 64)
            return number.toByteArray(); // no telephone number is that long
        digits.append(QByteArray(qsizetype(exponent), '0'));
    }
    qsizetype z = 0;
    while (z + 1 < digits.size() && digits[z] == '0')
        ++z;
    digits.remove(0, z);
    if (digits.isEmpty())
        digits = "0";
    if (negative && digits != "0")
        digits.prepend('-');
    return digits;
}

// --- the import ---

TImportOutcome TPhoneImport::run(const QString& fileName, const Sink& sink)
{
    TImportJob job(fileName, QStringLiteral("文件 \"%1\" ").arg(fileName), maxBytes, sink, progress);
    const TImportOutcome outcome = readFile(job);
    message_ = outcome == TImportOutcome::Done ? QString() : job.message();
    column_ = job.column();
    headerSkipped_ = job.headerSkipped();
    return outcome;
}

TImportOutcome TPhoneImport::runPasted(const QString& text, const Sink& sink)
{
    TImportJob job(QString(), QStringLiteral("剪贴板中的内容"), maxBytes, sink, progress);
    const TImportOutcome outcome = ReadPastedText(text.toUtf8(), job);
    message_ = outcome == TImportOutcome::Done ? QString() : job.message();
    column_ = job.column();
    headerSkipped_ = job.headerSkipped();
    return outcome;
}

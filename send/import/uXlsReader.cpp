// Excel 97-2003 workbooks (.xls): BIFF8 records in an OLE compound file,
// read by FreeXL, which holds the whole workbook once it has opened it. An
// encrypted .xlsx is an OLE compound file too, with an "EncryptedPackage"
// stream in place of a workbook.
//
// FreeXL trusts the lengths of the records it reads: a damaged file can
// make it write past its buffers. So the compound file is read here first,
// and the workbook stream's records are checked (each inside the stream, the
// cell records of their fixed sizes) before FreeXL is given the file.
#include "send/import/uListReader.h"
#include "send/import/uTextInput.h"

#include <QFile>
#include <QLocale>
#include <QTemporaryFile>
#include <QtEndian>
#include <cmath>
#include <freexl.h>
#include <memory>
#include <vector>

namespace {

// The name FreeXL opens the file by (it takes a path, in the system's 8-bit encoding).
class TXlsPath
{
public:
    TXlsPath(QFile& file, const QString& name)
    {
#ifdef Q_OS_LINUX
        // The file already open, whatever became of its name since.
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(file.handle());
        if (file.handle() >= 0 && QFile::exists(QString::fromLatin1(self))) {
            path_ = self;
            return;
        }
#endif
        path_ = QFile::encodeName(name);
        if (QFile::decodeName(path_) == name)
            return;
        // A name the system's code page cannot spell: a copy under a name it can.
        copy_ = std::make_unique<QTemporaryFile>();
        if (file.seek(0) && copy_->open()) {
            QByteArray chunk(ChunkBytes, Qt::Uninitialized);
            for (qsizetype n; (n = ReadSome(file, chunk.data(), chunk.size())) > 0;)
                if (copy_->write(chunk.constData(), n) != n)
                    break;
            copy_->flush();
            path_ = QFile::encodeName(copy_->fileName());
        }
    }
    const char* path() const { return path_.constData(); }

private:
    QByteArray path_;
    std::unique_ptr<QTemporaryFile> copy_;
};

struct TCloseXls
{
    void operator()(const void* handle) const { freexl_close(handle); }
};
using TXlsHandle = std::unique_ptr<const void, TCloseXls>;

QString describe(int error)
{
    switch (error) {
    case FREEXL_INSUFFICIENT_MEMORY:
        return QStringLiteral("内存不足");
    case FREEXL_INVALID_CFBF_HEADER:
    case FREEXL_CFBF_INVALID_SIGNATURE:
    case FREEXL_CFBF_INVALID_SECTOR_SIZE:
        return QStringLiteral("文件头不是 OLE 复合文档格式（错误 %1）").arg(error);
    case FREEXL_CFBF_READ_ERROR:
    case FREEXL_CFBF_SEEK_ERROR:
    case FREEXL_CFBF_EMPTY_FAT_CHAIN:
    case FREEXL_CFBF_ILLEGAL_FAT_ENTRY:
    case FREEXL_INVALID_MINI_STREAM:
    case FREEXL_CFBF_ILLEGAL_MINI_FAT_ENTRY:
        return QStringLiteral("复合文档的结构已损坏（错误 %1）").arg(error);
    case FREEXL_CRAFTED_FILE:
        return QStringLiteral("文件结构严重异常（错误 %1）").arg(error);
    default:
        return QStringLiteral("工作簿的记录无法读取（错误 %1）").arg(error);
    }
}

// An OLE compound file (a "structured storage"): sectors chained by a file
// allocation table, a directory of streams, small streams in a mini stream.
class TCompoundFile
{
public:
    // Reads the header, the allocation tables and the directory; false with *why on a broken one.
    bool open(QFile& file, qint64 size, QString* why);
    bool hasStream(QStringView name) const { return find(name) >= 0; }
    // A stream of the root storage by name (case-insensitive); false when it is missing or broken.
    bool read(QStringView name, QByteArray* out) const;

private:
    struct TEntry
    {
        QString name;
        int type;
        quint32 start;
        quint64 size;
    };
    static constexpr quint32 EndOfChain = 0xFFFFFFFE;
    bool sector(quint32 s, char* out) const;
    // The sectors of a chain from start, in order; false on a loop or a bad link.
    bool chain(const std::vector<quint32>& table, quint32 start, std::vector<quint32>* out) const;
    int find(QStringView name) const;

    QFile* file_ = nullptr;
    qint64 size_ = 0;
    int shift_ = 9;
    quint32 miniCutoff_ = 4096;
    std::vector<quint32> fat_, miniFat_;
    std::vector<TEntry> entries_;
    QByteArray ministream_;
};

quint32 le32(const char* p)
{
    return qFromLittleEndian<quint32>(p);
}

bool TCompoundFile::sector(quint32 s, char* out) const
{
    const qint64 at = (qint64(s) + 1) << shift_;
    const qint64 n = qint64(1) << shift_;
    if (at + n > size_ + n || !file_->seek(at)) // the last sector may be cut short
        return false;
    const qsizetype got = ReadSome(*file_, out, n);
    if (got < 0)
        return false;
    std::memset(out + got, 0, size_t(n - got));
    return got > 0;
}

bool TCompoundFile::chain(const std::vector<quint32>& table, quint32 start, std::vector<quint32>* out) const
{
    out->clear();
    for (quint32 s = start; s != EndOfChain;) {
        if (s >= table.size() || out->size() >= table.size())
            return false;
        out->push_back(s);
        s = table[s];
    }
    return true;
}

bool TCompoundFile::open(QFile& file, qint64 size, QString* why)
{
    file_ = &file;
    size_ = size;
    char head[512];
    if (!file.seek(0) || ReadSome(file, head, 512) != 512) {
        *why = QStringLiteral("文件不完整");
        return false;
    }
    shift_ = qFromLittleEndian<quint16>(head + 0x1E);
    if (shift_ != 9 && shift_ != 12) {
        *why = QStringLiteral("复合文档的扇区大小无效");
        return false;
    }
    const qsizetype sectorBytes = qsizetype(1) << shift_;
    const quint64 sectors = quint64(size >> shift_) + 1;
    miniCutoff_ = le32(head + 0x38);
    // The allocation table's own sectors: 109 named in the header, the rest in a chain of DIFAT sectors.
    std::vector<quint32> fatSectors;
    const quint32 fatCount = le32(head + 0x2C);
    if (fatCount > sectors) {
        *why = QStringLiteral("复合文档的分配表无效");
        return false;
    }
    for (int i = 0; i < 109 && fatSectors.size() < fatCount; ++i)
        fatSectors.push_back(le32(head + 0x4C + 4 * i));
    QByteArray buf(sectorBytes, Qt::Uninitialized);
    for (quint32 d = le32(head + 0x44), steps = 0; fatSectors.size() < fatCount; ++steps) {
        if (d >= sectors || steps > sectors || !sector(d, buf.data())) {
            *why = QStringLiteral("复合文档的分配表无效");
            return false;
        }
        for (qsizetype i = 0; i + 1 < sectorBytes / 4 && fatSectors.size() < fatCount; ++i)
            fatSectors.push_back(le32(buf.constData() + 4 * i));
        d = le32(buf.constData() + sectorBytes - 4);
    }
    for (quint32 f : fatSectors) {
        if (f >= sectors || !sector(f, buf.data())) {
            *why = QStringLiteral("复合文档的分配表无效");
            return false;
        }
        for (qsizetype i = 0; i < sectorBytes / 4; ++i)
            fat_.push_back(le32(buf.constData() + 4 * i));
    }
    std::vector<quint32> list;
    if (!chain(fat_, le32(head + 0x30), &list)) {
        *why = QStringLiteral("复合文档的目录已损坏");
        return false;
    }
    for (quint32 s : list) {
        if (!sector(s, buf.data())) {
            *why = QStringLiteral("复合文档的目录已损坏");
            return false;
        }
        for (qsizetype e = 0; e + 128 <= sectorBytes; e += 128) {
            const char* p = buf.constData() + e;
            const int nameBytes = std::min<int>(qFromLittleEndian<quint16>(p + 0x40), 64);
            QString name;
            for (int i = 0; i + 1 < nameBytes - 1; i += 2)
                name += QChar(qFromLittleEndian<quint16>(p + i));
            const quint64 bytes = shift_ == 9 ? le32(p + 0x78) : qFromLittleEndian<quint64>(p + 0x78);
            entries_.push_back(TEntry{name, uchar(p[0x42]), le32(p + 0x74), bytes});
        }
    }
    if (entries_.empty() || entries_[0].type != 5) {
        *why = QStringLiteral("复合文档没有根目录");
        return false;
    }
    // The mini stream lives in the root entry's chain, its table in one of its own.
    if (chain(fat_, le32(head + 0x3C), &list)) {
        for (quint32 s : list) {
            if (!sector(s, buf.data()))
                break;
            for (qsizetype i = 0; i < sectorBytes / 4; ++i)
                miniFat_.push_back(le32(buf.constData() + 4 * i));
        }
    }
    const TEntry& root = entries_[0];
    if (root.size > 0 && root.size <= quint64(size) && chain(fat_, root.start, &list)) {
        ministream_.resize(qsizetype(list.size()) * sectorBytes);
        for (size_t k = 0; k < list.size(); ++k)
            if (!sector(list[k], ministream_.data() + qsizetype(k) * sectorBytes))
                break;
        ministream_.truncate(qsizetype(root.size));
    }
    return true;
}

int TCompoundFile::find(QStringView name) const
{
    for (size_t i = 1; i < entries_.size(); ++i)
        if (entries_[i].type == 2 && QStringView(entries_[i].name).compare(name, Qt::CaseInsensitive) == 0)
            return int(i);
    return -1;
}

bool TCompoundFile::read(QStringView name, QByteArray* out) const
{
    const int i = find(name);
    if (i < 0)
        return false;
    const TEntry& e = entries_[size_t(i)];
    if (e.size > quint64(size_))
        return false;
    std::vector<quint32> list;
    out->clear();
    if (e.size < miniCutoff_) {
        if (!chain(miniFat_, e.start, &list))
            return false;
        for (quint32 m : list) {
            if (qint64(m + 1) * 64 > ministream_.size())
                return false;
            out->append(ministream_.constData() + qsizetype(m) * 64, 64);
        }
    } else {
        if (!chain(fat_, e.start, &list))
            return false;
        const qsizetype sectorBytes = qsizetype(1) << shift_;
        out->resize(qsizetype(list.size()) * sectorBytes);
        for (size_t k = 0; k < list.size(); ++k)
            if (!sector(list[k], out->data() + qsizetype(k) * sectorBytes))
                return false;
    }
    if (quint64(out->size()) < e.size)
        return false;
    out->truncate(qsizetype(e.size));
    return true;
}

enum class TRecords { Plain, Encrypted, Broken };

// An XLUnicodeString (or, shortLength, a ShortXLUnicodeString) at `at` of a
// record's body: true when it ends inside the body, *end where it ends.
bool stringFits(const char* body, qsizetype length, qsizetype at, bool shortLength, qsizetype* end = nullptr)
{
    const qsizetype head = shortLength ? 2 : 3;
    if (at + head > length)
        return false;
    const qsizetype chars = shortLength ? uchar(body[at]) : qFromLittleEndian<quint16>(body + at);
    const uchar flags = uchar(body[at + head - 1]);
    if (flags & ~0x0D)
        return false;
    qsizetype e = at + head;
    if (flags & 0x08) // rich text: a run count
        e += 2;
    if (flags & 0x04) // phonetic data: its size
        e += 4;
    if (e > length)
        return false;
    const qsizetype runs = flags & 0x08 ? qFromLittleEndian<quint16>(body + at + head) : 0;
    const qsizetype phonetic = flags & 0x04 ? qFromLittleEndian<quint32>(body + at + head + (flags & 0x08 ? 2 : 0)) : 0;
    e += chars * (flags & 0x01 ? 2 : 1) + 4 * runs + phonetic;
    if (end)
        *end = e;
    return e <= length;
}

// The shared strings (SST and its CONTINUE records): every string of the
// count it claims, each whole, the pieces of one cut between records as the
// format cuts them (a cut among its characters starts the next record with a
// fresh flags byte).
bool checkSharedStrings(const std::vector<QByteArrayView>& pieces)
{
    if (pieces.empty() || pieces[0].size() < 8)
        return false;
    const quint32 unique = qFromLittleEndian<quint32>(pieces[0].data() + 4);
    size_t k = 0;
    qsizetype at = 8;
    // Bytes of the current piece from `at` on; moves to the next piece when this one is used up.
    auto next = [&]() -> bool {
        while (k < pieces.size() && at >= pieces[k].size()) {
            ++k;
            at = 0;
        }
        return k < pieces.size();
    };
    for (quint32 i = 0; i < unique; ++i) {
        if (!next() || at + 3 > pieces[k].size())
            return false; // a string's head is never cut
        const char* p = pieces[k].data();
        qsizetype chars = qFromLittleEndian<quint16>(p + at);
        uchar flags = uchar(p[at + 2]);
        if (flags & ~0x0D)
            return false;
        at += 3;
        qsizetype tail = 0; // rich runs and phonetic data after the characters
        if (flags & 0x08) {
            if (at + 2 > pieces[k].size())
                return false;
            tail += 4 * qsizetype(qFromLittleEndian<quint16>(p + at));
            at += 2;
        }
        if (flags & 0x04) {
            if (at + 4 > pieces[k].size())
                return false;
            tail += qsizetype(qFromLittleEndian<quint32>(p + at));
            at += 4;
        }
        while (chars > 0) {
            if (!next())
                return false;
            if (at == 0 && k > 0) { // the characters go on in a new piece: its own flags byte first
                flags = uchar(pieces[k][0]) & 0x01;
                at = 1;
                if (at >= pieces[k].size())
                    return false;
            }
            const qsizetype width = flags & 0x01 ? 2 : 1;
            const qsizetype room = (pieces[k].size() - at) / width;
            if (room == 0)
                return false;
            const qsizetype take = std::min(chars, room);
            chars -= take;
            at += take * width;
            if (chars > 0 && at != pieces[k].size())
                return false; // a character cut between two pieces
        }
        while (tail > 0) {
            if (!next())
                return false;
            const qsizetype take = std::min(tail, pieces[k].size() - at);
            tail -= take;
            at += take;
        }
    }
    return true;
}

// Walks a BIFF8 workbook stream's records: each must lie inside the stream,
// the records FreeXL takes cells from must have the sizes the format gives
// them, and their strings must end inside them. A FILEPASS record says the
// rest is encrypted.
TRecords checkRecords(QByteArrayView stream)
{
    const qsizetype n = stream.size();
    if (n < 8 || qFromLittleEndian<quint16>(stream.data()) != 0x0809)
        return TRecords::Broken;
    const bool biff8 = qFromLittleEndian<quint16>(stream.data() + 4) == 0x0600;
    std::vector<QByteArrayView> sst; // the shared strings, in pieces
    bool inSst = false;
    for (qsizetype pos = 0; pos + 4 <= n;) {
        const quint16 type = qFromLittleEndian<quint16>(stream.data() + pos);
        const quint16 length = qFromLittleEndian<quint16>(stream.data() + pos + 2);
        if (pos + 4 + length > n) {
            // A stream padded with zeros after its last record is whole.
            return type == 0 && length == 0 ? TRecords::Plain : TRecords::Broken;
        }
        if (type == 0x002F)
            return TRecords::Encrypted;
        const char* body = stream.data() + pos + 4;
        if (biff8) {
            if (type == 0x00FC) {
                if (!sst.empty())
                    return TRecords::Broken;
                sst.push_back(QByteArrayView(body, length));
                inSst = true;
            } else if (type == 0x003C && inSst) {
                sst.push_back(QByteArrayView(body, length));
            } else {
                inSst = false;
            }
            bool ok = length <= 8224;
            switch (type) {
            case 0x0809: // BOF
            case 0x0208: // ROW
                ok = ok && length == 16;
                break;
            case 0x0200: // DIMENSIONS
            case 0x0203: // NUMBER
                ok = ok && length == 14;
                break;
            case 0x00FD: // LABELSST
            case 0x027E: // RK
                ok = ok && length == 10;
                break;
            case 0x0201: // BLANK
                ok = ok && length == 6;
                break;
            case 0x0205: // BOOLERR
                ok = ok && length == 8;
                break;
            case 0x00BD: // MULRK: row, first column, 6 bytes a cell, last column
                ok = ok && length >= 12 && (length - 6) % 6 == 0 &&
                     qFromLittleEndian<quint16>(body + length - 2) - qFromLittleEndian<quint16>(body + 2) + 1 ==
                         (length - 6) / 6;
                break;
            case 0x00BE: // MULBLANK: row, first column, 2 bytes a cell, last column
                ok = ok && length >= 8 && length % 2 == 0 &&
                     qFromLittleEndian<quint16>(body + length - 2) - qFromLittleEndian<quint16>(body + 2) + 1 ==
                         (length - 6) / 2;
                break;
            case 0x0204: // LABEL: row, column, style, then a string
                ok = ok && stringFits(body, length, 6, false);
                break;
            case 0x0207: // STRING: a formula's text result
                ok = ok && stringFits(body, length, 0, false);
                break;
            case 0x041E: // FORMAT: its number, then a string
                ok = ok && stringFits(body, length, 2, false);
                break;
            case 0x0085: // BOUNDSHEET: where the sheet is, its kind, then its name
                ok = ok && stringFits(body, length, 6, true);
                break;
            case 0x0006: // FORMULA
                ok = ok && length >= 20;
                break;
            case 0x00FC: // SST
                ok = ok && length >= 8;
                break;
            default:
                break;
            }
            if (!ok)
                return TRecords::Broken;
        }
        pos += 4 + length;
    }
    if (biff8 && !sst.empty() && !checkSharedStrings(sst))
        return TRecords::Broken;
    return TRecords::Plain;
}

// The active worksheet, cell by cell, as the table the import takes its column from.
class TXlsSheet final : public TCellTable
{
public:
    TXlsSheet(const void* handle, unsigned rows, unsigned short columns)
        : handle_(handle), rows_(rows), columns_(std::min<unsigned>(columns, MaxColumns))
    {
    }
    void forEachCell(TCellFn f) const override
    {
        QByteArray number;
        for (unsigned r = 0; r < rows_; ++r) {
            for (unsigned c = 0; c < columns_; ++c) {
                FreeXL_CellValue v;
                if (freexl_get_cell_value(handle_, r, static_cast<unsigned short>(c), &v) != FREEXL_OK)
                    continue;
                QByteArrayView cell;
                switch (v.type) {
                case FREEXL_CELL_INT:
                    number = QByteArray::number(v.value.int_value);
                    cell = number;
                    break;
                case FREEXL_CELL_DOUBLE:
                    number = wholeDigits(v.value.double_value);
                    cell = number;
                    break;
                case FREEXL_CELL_TEXT:
                case FREEXL_CELL_SST_TEXT:
                case FREEXL_CELL_DATE:
                case FREEXL_CELL_DATETIME:
                case FREEXL_CELL_TIME:
                    cell = v.value.text_value ? QByteArrayView(v.value.text_value) : QByteArrayView();
                    break;
                default:
                    continue;
                }
                if (!f(r, int(c), cell))
                    return;
            }
        }
    }

private:
    // A number cell as .xlsx gives it: whole digits where it is whole.
    static QByteArray wholeDigits(double d)
    {
        if (std::isfinite(d) && std::floor(d) == d && std::fabs(d) < 1e18)
            return QByteArray::number(qint64(d));
        return WholeNumberText(QByteArray::number(d, 'g', QLocale::FloatingPointShortest));
    }

    const void* handle_;
    unsigned rows_;
    unsigned columns_;
};

} // namespace

TImportOutcome TXlsReader::read(QFile& file, qint64 size, TImportJob& job)
{
    const QString kind = QStringLiteral(" Excel 97-2003 工作簿（*.xls）");
    TCompoundFile ole;
    QString why;
    if (!ole.open(file, size, &why))
        return nameSaysXlsx_ ? job.encrypted() : job.damaged(kind, why);
    if (ole.hasStream(u"EncryptedPackage"))
        return job.encrypted();
    QByteArray stream;
    const bool workbook = ole.read(u"Workbook", &stream) || ole.read(u"Book", &stream);
    if (!workbook) {
        if (ole.hasStream(u"Workbook") || ole.hasStream(u"Book"))
            return job.damaged(kind, QStringLiteral("工作簿的数据不完整"));
        return nameSaysXlsx_ ? job.encrypted() : job.notAList(QStringLiteral(" Office 文档，但不是 Excel 工作簿"));
    }
    switch (checkRecords(stream)) {
    case TRecords::Encrypted:
        return job.encrypted();
    case TRecords::Broken:
        return job.damaged(kind, QStringLiteral("工作簿的记录已损坏"));
    case TRecords::Plain:
        break;
    }
    stream = QByteArray();

    const TXlsPath path(file, job.fileName());
    const void* opened = nullptr;
    const int r = freexl_open(path.path(), &opened);
    const TXlsHandle handle(opened);
    if (r == FREEXL_FILE_NOT_FOUND)
        return job.readFailed(QStringLiteral("无法打开"));
    if (r != FREEXL_OK)
        return job.damaged(kind, describe(r));
    // An encrypted workbook opens, but says it is not plain; FreeXL then knows no sheets.
    unsigned info = 0;
    if (freexl_get_info(opened, FREEXL_BIFF_PASSWORD, &info) != FREEXL_OK || info != FREEXL_BIFF_PLAIN)
        return job.encrypted();
    unsigned sheets = 0;
    if (freexl_get_info(opened, FREEXL_BIFF_SHEET_COUNT, &sheets) != FREEXL_OK || sheets == 0)
        return job.damaged(kind, QStringLiteral("没有工作表"));
    unsigned rows = 0;
    unsigned short columns = 0;
    if (const int e = freexl_select_active_worksheet(opened, 0); e != FREEXL_OK)
        return job.damaged(kind, describe(e));
    if (const int e = freexl_worksheet_dimensions(opened, &rows, &columns); e != FREEXL_OK)
        return job.damaged(kind, describe(e));
    return job.takeNumberColumn(TXlsSheet(opened, rows, columns),
                                QStringLiteral("工作簿 \"%1\" 的第一个工作表").arg(job.fileName()));
}

#include "send/uPhoneImport.h"

#include "app/uDataType.h"
#include "send/uPhoneCheck.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QStringDecoder>
#include <QThread>
#include <QXmlStreamReader>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <quazip.h>
#include <quazipfile.h>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr qsizetype ChunkBytes = qsizetype(1) << 20;

// Columns of a table looked at for numbers: as many as a worksheet can have (A to XFD).
constexpr int MaxColumns = 16384;

const QString FormatsThatWork =
    QStringLiteral("文本文件（*.txt）、CSV 文件（*.csv）、Excel 工作簿（*.xlsx）");

// --- reading the file ---

// Opens a regular file for reading without ever blocking: the kind of file is
// looked at before it is opened, and once more on what was opened, since the
// name may have changed hands in between. A pipe opened without blocking
// returns at once and is then refused like a device or a folder.
bool openRegular(QFile& file, const QString& name, qint64* size, QString* why)
{
    const QString folder = QStringLiteral("这是一个文件夹，不是文件");
    const QString notPlain = QStringLiteral("不是普通文件（设备、管道等不能导入）");
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(name);
    struct stat st;
    auto kind = [&](const struct stat& s) -> QString {
        if (S_ISREG(s.st_mode))
            return {};
        if (S_ISDIR(s.st_mode))
            return folder;
        return notPlain;
    };
    if (path.isEmpty() || ::stat(path.constData(), &st) != 0) {
        *why = qt_error_string(path.isEmpty() ? ENOENT : errno);
        return false;
    }
    if (QString k = kind(st); !k.isEmpty()) {
        *why = k;
        return false;
    }
    int fd;
    do
        fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *why = qt_error_string(errno);
        return false;
    }
    if (::fstat(fd, &st) != 0 || !kind(st).isEmpty()) {
        *why = kind(st).isEmpty() ? qt_error_string(errno) : kind(st);
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *why = file.errorString();
        ::close(fd);
        return false;
    }
    *size = st.st_size;
    return true;
#else
    const QFileInfo info(name);
    if (name.isEmpty() || !info.exists()) {
        *why = QStringLiteral("文件不存在");
        return false;
    }
    if (info.isDir()) {
        *why = folder;
        return false;
    }
    if (!info.isFile()) {
        *why = notPlain;
        return false;
    }
    file.setFileName(name);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return false;
    }
    *size = file.size();
    return true;
#endif
}

// Reads up to n bytes; fewer only at the end of the file. -1 on an error.
qsizetype readSome(QFile& file, char* out, qsizetype n)
{
    qsizetype got = 0;
    while (got < n) {
        const qint64 r = file.read(out + got, n - got);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += qsizetype(r);
    }
    return got;
}

// --- encodings ---

enum class TMark { None, Utf8, Utf16LE, Utf16BE };

TMark markOf(QByteArrayView head, qsizetype* length)
{
    if (head.startsWith("\xEF\xBB\xBF")) {
        *length = 3;
        return TMark::Utf8;
    }
    if (head.startsWith("\xFF\xFE")) {
        *length = 2;
        return TMark::Utf16LE;
    }
    if (head.startsWith("\xFE\xFF")) {
        *length = 2;
        return TMark::Utf16BE;
    }
    *length = 0;
    return TMark::None;
}

// Checks UTF-8 from p on. Returns how many bytes form whole valid sequences;
// *bad is set when an invalid sequence follows them, otherwise the rest (at
// most 3 bytes) is the start of a sequence cut off by the end of the data.
qsizetype validUtf8Prefix(const uchar* p, qsizetype n, bool* bad)
{
    *bad = false;
    qsizetype i = 0;
    while (i < n) {
        // Runs of ASCII, eight bytes at a time.
        while (i + 8 <= n) {
            quint64 w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ULL)
                break;
            i += 8;
        }
        if (i >= n)
            break;
        const uchar c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int len;
        uint min;
        uint cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2, min = 0x80, cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3, min = 0x800, cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4, min = 0x10000, cp = c & 0x07;
        } else {
            *bad = true;
            return i;
        }
        for (int k = 1; k < len; ++k) {
            if (i + k >= n)
                return i; // cut off: the caller brings more bytes
            const uchar t = p[i + k];
            if ((t & 0xC0) != 0x80) {
                *bad = true;
                return i;
            }
            cp = (cp << 6) | (t & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            *bad = true;
            return i;
        }
        i += len;
    }
    return i;
}

struct TEncoding
{
    TMark mark = TMark::None;
    qsizetype markLength = 0;
    bool utf8 = false; // the bytes after the mark are valid UTF-8
};

// Reads the file from its start through `chunk` to find its mark and whether
// the rest is valid UTF-8. 0 when done, -1 on a read error, 1 when the
// file turned out larger than maxBytes.
int scanEncoding(QFile& file, QByteArray& chunk, qint64 maxBytes, TEncoding* enc,
                 const std::function<void()>& tick)
{
    if (!file.seek(0))
        return -1;
    qsizetype got = readSome(file, chunk.data(), chunk.size());
    if (got < 0)
        return -1;
    enc->mark = markOf(QByteArrayView(chunk.constData(), got), &enc->markLength);
    enc->utf8 = enc->mark == TMark::None || enc->mark == TMark::Utf8;
    if (!enc->utf8)
        return 0;
    qint64 total = got;
    qsizetype from = enc->markLength;
    while (true) {
        bool bad = false;
        const qsizetype ok =
            validUtf8Prefix(reinterpret_cast<const uchar*>(chunk.constData()) + from, got - from, &bad);
        if (bad) {
            enc->utf8 = false;
            return 0;
        }
        const qsizetype keep = got - from - ok; // a sequence cut off at the chunk's end
        std::memmove(chunk.data(), chunk.constData() + from + ok, size_t(keep));
        const qsizetype more = readSome(file, chunk.data() + keep, chunk.size() - keep);
        if (more < 0)
            return -1;
        if (more == 0) {
            enc->utf8 = keep == 0;
            return 0;
        }
        total += more;
        if (total > maxBytes)
            return 1;
        got = keep + more;
        from = 0;
        tick();
    }
}

QStringDecoder decoderFor(TMark mark, bool validUtf8)
{
    switch (mark) {
    case TMark::Utf16LE:
        return QStringDecoder(QStringConverter::Utf16LE);
    case TMark::Utf16BE:
        return QStringDecoder(QStringConverter::Utf16BE);
    case TMark::Utf8:
        return QStringDecoder(QStringConverter::Utf8);
    case TMark::None:
        break;
    }
    if (validUtf8)
        return QStringDecoder(QStringConverter::Utf8);
    QStringDecoder gb("GB18030");
    if (gb.isValid())
        return gb;
#ifdef Q_OS_WIN
    // A Qt without that codec: the system code page (936 on a Chinese Windows).
    return QStringDecoder(QStringConverter::System);
#else
    // No GB18030 codec on this system: keep every byte as one character.
    return QStringDecoder(QStringConverter::Latin1);
#endif
}

// A string to UTF-8, appended to out.
void appendUtf8(QByteArray& out, QStringView s)
{
    bool ascii = true;
    for (QChar c : s)
        if (c.unicode() >= 0x80) {
            ascii = false;
            break;
        }
    if (!ascii) {
        out.append(s.toUtf8());
        return;
    }
    const qsizetype at = out.size();
    out.resize(at + s.size());
    char* o = out.data() + at;
    for (QChar c : s)
        *o++ = char(c.unicode());
}

// --- lines ---

// Splits bytes that arrive in pieces into lines ending at CR LF, LF or CR; a
// CR LF pair may be cut between two pieces. Used for UTF-8 and for UTF-16
// decoded piece by piece.
template <typename View, typename Buffer> class TLineSplitter
{
public:
    // f(line) for every line that ends in this piece; returns false when f did.
    template <typename F> bool feed(View piece, F&& f)
    {
        using Char = std::remove_cv_t<std::remove_reference_t<decltype(piece[0])>>;
        qsizetype b = 0;
        const qsizetype n = piece.size();
        if (skipLf_ && n > 0) {
            skipLf_ = false;
            if (piece[0] == Char('\n'))
                b = 1;
        }
        // The next LF and the next CR, each looked for again only once passed,
        // so that a piece is scanned once whichever line end it uses.
        qsizetype nextLf = find(piece, '\n', b), nextCr = find(piece, '\r', b);
        while (true) {
            const qsizetype i = std::min(nextLf, nextCr);
            if (i >= n)
                break;
            bool go;
            if (carry_.isEmpty()) {
                go = f(piece.sliced(b, i - b));
            } else {
                carry_.append(piece.sliced(b, i - b));
                go = f(View(carry_));
                carry_.clear();
            }
            b = i + 1;
            if (piece[i] == Char('\r')) {
                if (i + 1 < n) {
                    if (piece[i + 1] == Char('\n'))
                        ++b;
                } else {
                    skipLf_ = true;
                }
            }
            if (!go)
                return false;
            if (nextLf < b)
                nextLf = find(piece, '\n', b);
            if (nextCr < b)
                nextCr = find(piece, '\r', b);
        }
        if (b < n)
            carry_.append(piece.sliced(b));
        return true;
    }
    // The last line, when the data ends without a line end.
    template <typename F> bool finish(F&& f)
    {
        if (carry_.isEmpty())
            return true;
        const bool go = f(View(carry_));
        carry_.clear();
        return go;
    }

private:
    // Position of c in piece from `from` on, or the piece's size.
    static qsizetype find(QByteArrayView piece, char c, qsizetype from)
    {
        if (from >= piece.size())
            return piece.size();
        const void* p = std::memchr(piece.data() + from, c, size_t(piece.size() - from));
        return p ? static_cast<const char*>(p) - piece.data() : piece.size();
    }
    static qsizetype find(QStringView piece, char c, qsizetype from)
    {
        const qsizetype i = from < piece.size() ? piece.indexOf(QLatin1Char(c), from) : -1;
        return i < 0 ? piece.size() : i;
    }

    Buffer carry_;
    bool skipLf_ = false;
};

// True when the line has a character above code 32 (is not blank after trimming);
// in UTF-8 the characters of code 32 and below are single bytes.
bool hasContent(QByteArrayView line)
{
    for (char c : line)
        if (uchar(c) > 32)
            return true;
    return false;
}

// --- tables ---

// Digits only, not starting with a zero unless alone: a number cell already in its whole digits.
bool isPlainDigits(QByteArrayView s)
{
    if (s.isEmpty() || (s[0] == '0' && s.size() > 1))
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// Trims characters of code 32 and below at both ends of UTF-8 bytes.
QByteArrayView trimmed(QByteArrayView s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && uchar(s[b]) <= 32)
        ++b;
    while (e > b && uchar(s[e - 1]) <= 32)
        --e;
    return s.sliced(b, e - b);
}

bool isPlausible(QByteArrayView cell)
{
    return IsPlausibleMobile(cell);
}

// True when a cell reads as a number of some kind (digits, perhaps with + - ( ) . and
// blanks): a first row whose cell does not is taken for a header.
bool looksLikeNumber(QByteArrayView cell)
{
    const QByteArrayView t = trimmed(cell);
    bool digit = false;
    for (char c : t) {
        if (c >= '0' && c <= '9')
            digit = true;
        else if (!std::strchr("+-(). ", c) || c == 0)
            return false;
    }
    return digit;
}

// Counts, per column, the non-empty cells and those that look like mobile
// numbers, and picks the number column.
class TColumnStats
{
public:
    // A cell of the table; firstRow: it lies in the table's first non-empty row.
    void add(int column, bool firstRow, QByteArrayView cell)
    {
        if (column >= MaxColumns || !hasContent(cell))
            return;
        if (column >= cells_.size()) {
            cells_.resize(column + 1, 0);
            plausible_.resize(column + 1, 0);
        }
        // A header cell is no vote for or against its column.
        if (firstRow && !looksLikeNumber(cell))
            return;
        ++cells_[column];
        if (isPlausible(cell))
            ++plausible_[column];
    }
    // The first column in which most non-empty cells look like mobile numbers; -1 if none.
    int choose() const
    {
        for (qsizetype c = 0; c < cells_.size(); ++c)
            if (cells_[c] > 0 && plausible_[c] * 2 > cells_[c])
                return int(c);
        return -1;
    }

private:
    QList<qint64> cells_;
    QList<qint64> plausible_;
};

// A cell becomes one line: line breaks inside it (a quoted CSV field, a
// wrapped spreadsheet cell) turn into blanks.
QByteArrayView oneLine(QByteArrayView cell, QByteArray& scratch)
{
    if (!cell.contains('\n') && !cell.contains('\r'))
        return cell;
    scratch = cell.toByteArray();
    scratch.replace("\r\n", " ");
    scratch.replace('\r', ' ');
    scratch.replace('\n', ' ');
    return scratch;
}

// Reads CSV fields as RFC 4180 writes them: comma-separated, a field in double
// quotes may hold commas, doubled quotes and line breaks. Records end at CR LF,
// LF or CR. Lenient with what the format does not allow: text after a closing
// quote stays part of the field, a quote that is never closed runs to the end.
class TCsvReader
{
public:
    explicit TCsvReader(QByteArrayView data) : d_(data) {}
    bool atEnd() const { return pos_ >= d_.size(); }
    qsizetype pos() const { return pos_; }
    // Reads the next field into *value; returns true when it ended its record.
    bool next(QByteArrayView* value)
    {
        const char* p = d_.data();
        const qsizetype n = d_.size();
        if (pos_ < n && p[pos_] == '"') {
            qsizetype start = ++pos_;
            bool copied = false;
            for (;;) {
                const void* q = pos_ < n ? std::memchr(p + pos_, '"', size_t(n - pos_)) : nullptr;
                if (!q) { // never closed
                    *value = take(start, n, copied);
                    pos_ = n;
                    return true;
                }
                const qsizetype at = static_cast<const char*>(q) - p;
                if (at + 1 < n && p[at + 1] == '"') { // a doubled quote stands for one
                    if (!copied)
                        scratch_.clear();
                    copied = true;
                    scratch_.append(p + start, at + 1 - start);
                    pos_ = start = at + 2;
                    continue;
                }
                *value = take(start, at, copied);
                pos_ = at + 1;
                break;
            }
            const qsizetype rest = scanToDelimiter();
            if (rest > pos_) {
                if (value->data() != scratch_.constData())
                    scratch_ = value->toByteArray();
                scratch_.append(p + pos_, rest - pos_);
                *value = scratch_;
                pos_ = rest;
            }
        } else {
            const qsizetype e = scanToDelimiter();
            *value = d_.sliced(pos_, e - pos_);
            pos_ = e;
        }
        if (pos_ >= n)
            return true;
        if (p[pos_] == ',') {
            ++pos_;
            return false;
        }
        if (p[pos_] == '\r' && pos_ + 1 < n && p[pos_ + 1] == '\n')
            ++pos_;
        ++pos_;
        return true;
    }

private:
    qsizetype scanToDelimiter() const
    {
        const char* p = d_.data();
        qsizetype i = pos_;
        const qsizetype n = d_.size();
        while (i < n && p[i] != ',' && p[i] != '\n' && p[i] != '\r')
            ++i;
        return i;
    }
    QByteArrayView take(qsizetype from, qsizetype to, bool copied)
    {
        if (!copied)
            return d_.sliced(from, to - from);
        scratch_.append(d_.data() + from, to - from);
        return scratch_;
    }

    QByteArrayView d_;
    qsizetype pos_ = 0;
    QByteArray scratch_;
};

// The shared strings of a workbook, in UTF-8, one after another.
struct TSharedStrings
{
    QByteArray text;
    QList<qsizetype> ends;

    QByteArrayView at(qint64 i) const
    {
        if (i < 0 || i >= ends.size())
            return {};
        const qsizetype b = i == 0 ? 0 : ends[i - 1];
        return QByteArrayView(text).sliced(b, ends[i] - b);
    }
};

// The cells of one worksheet column, in order: a cell's own text (kept in UTF-8)
// or the index of a shared string, each with its row.
struct TSheetColumn
{
    QByteArray text;
    QList<QPair<qint64, qint64>> cells; // (row, index of a shared string, or -(end of own text) - 1)

    void addText(qint64 row, QByteArrayView cell)
    {
        text.append(cell);
        cells.append({row, -qint64(text.size()) - 1});
    }
    void addShared(qint64 row, qint64 index) { cells.append({row, index}); }
    // f(row, cell) for every cell, in order, until f returns false.
    template <typename F> void forEach(const TSharedStrings& shared, F&& f) const
    {
        qsizetype from = 0;
        for (const auto& [row, ref] : cells) {
            QByteArrayView cell;
            if (ref >= 0) {
                cell = shared.at(ref);
            } else {
                const qsizetype end = qsizetype(-ref - 1);
                cell = QByteArrayView(text).sliced(from, end - from);
                from = end;
            }
            if (!f(row, cell))
                return;
        }
    }
};

// What became of reading one XML part of a workbook.
struct TXmlPart
{
    enum Result { Ok, Missing, Broken, TooLarge } result = Ok;
    QString name;
    QString error; // when Broken
};

// Reads one part of the archive through an XML reader: f(reader, more) takes
// the tokens while more() says to go on; more() also stops a part that
// unpacks to more than maxBytes, and asks alive() whether to go on.
template <typename Alive, typename F>
TXmlPart readXmlPart(QuaZip& zip, const QString& name, qint64 maxBytes, Alive&& alive, F&& f)
{
    TXmlPart out{TXmlPart::Ok, name, {}};
    if (!zip.setCurrentFile(name, QuaZip::csInsensitive)) {
        out.result = TXmlPart::Missing;
        return out;
    }
    QuaZipFile file(&zip);
    if (!file.open(QIODevice::ReadOnly)) {
        out.result = TXmlPart::Broken;
        out.error = QStringLiteral("无法读取 %1（错误 %2）").arg(name).arg(file.getZipError());
        return out;
    }
    if (file.usize() > maxBytes) {
        out.result = TXmlPart::TooLarge;
        return out;
    }
    QXmlStreamReader xml(&file);
    bool large = false, cancelled = false;
    unsigned calls = 0;
    f(xml, [&] {
        if ((++calls & 1023) == 0 && file.pos() > maxBytes)
            large = true;
        if (!alive())
            cancelled = true;
        return !large && !cancelled;
    });
    if (large) {
        out.result = TXmlPart::TooLarge;
    } else if (cancelled) {
        out.result = TXmlPart::Broken;
    } else if (xml.hasError()) {
        out.result = TXmlPart::Broken;
        out.error = QStringLiteral("%1 第 %2 行：%3").arg(name).arg(xml.lineNumber()).arg(xml.errorString());
    } else {
        file.close();
        if (file.getZipError() != 0) {
            out.result = TXmlPart::Broken;
            out.error = QStringLiteral("%1 校验失败（错误 %2）").arg(name).arg(file.getZipError());
        }
    }
    return out;
}

// The text of every <si>, runs joined, phonetic runs left out.
template <typename Alive>
TXmlPart readSharedStrings(QuaZip& zip, const QString& name, qint64 maxBytes, Alive&& alive,
                           TSharedStrings* out)
{
    return readXmlPart(zip, name, maxBytes, alive, [out](QXmlStreamReader& xml, auto&& more) {
        int inText = 0, inPhonetic = 0;
        while (!xml.atEnd() && !xml.hasError() && more()) {
            switch (xml.readNext()) {
            case QXmlStreamReader::StartElement:
                if (xml.name() == u"t")
                    ++inText;
                else if (xml.name() == u"rPh")
                    ++inPhonetic;
                break;
            case QXmlStreamReader::EndElement:
                if (xml.name() == u"t")
                    --inText;
                else if (xml.name() == u"rPh")
                    --inPhonetic;
                else if (xml.name() == u"si")
                    out->ends.append(out->text.size());
                break;
            case QXmlStreamReader::Characters:
                if (inText > 0 && inPhonetic == 0)
                    appendUtf8(out->text, xml.text());
                break;
            default:
                break;
            }
        }
    });
}

// "B12" -> 1; -1 when the reference has no column letters.
int columnOfRef(QStringView ref)
{
    int col = 0;
    qsizetype i = 0;
    for (; i < ref.size(); ++i) {
        const char16_t c = ref[i].unicode();
        if (c >= u'A' && c <= u'Z')
            col = col * 26 + (c - u'A' + 1);
        else if (c >= u'a' && c <= u'z')
            col = col * 26 + (c - u'a' + 1);
        else
            break;
        if (col > MaxColumns)
            return -1;
    }
    return i == 0 ? -1 : col - 1;
}

// The "id" attribute in the relationships namespace (written r:id).
QStringView relationshipId(const QXmlStreamAttributes& attributes)
{
    for (const QXmlStreamAttribute& a : attributes)
        if (a.name() == u"id" && !a.namespaceUri().isEmpty())
            return a.value();
    return {};
}

// A part's name from a relationship target: relative to xl/, or absolute.
QString partName(QStringView target)
{
    if (target.startsWith(u'/'))
        return target.sliced(1).toString();
    QString path = QStringLiteral("xl/") + target;
    // Resolve "../" the way a relative link does.
    QStringList parts;
    for (const QString& p : path.split(QLatin1Char('/'))) {
        if (p == QLatin1String(".."))
            (void)(parts.isEmpty() ? void() : parts.removeLast());
        else if (p != QLatin1String(".") && !p.isEmpty())
            parts << p;
    }
    return parts.join(QLatin1Char('/'));
}

} // namespace

// --- public helpers ---

TImportFormat ImportFormatOf(const QString& fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("csv"))
        return TImportFormat::Csv;
    if (suffix == QLatin1String("xlsx"))
        return TImportFormat::Xlsx;
    if (suffix == QLatin1String("xls"))
        return TImportFormat::LegacyXls;
    return TImportFormat::Text;
}

QString PhoneImportFilter()
{
    return QStringLiteral("txt(*.txt)|*.txt|CSV 文件(*.csv)|*.csv|Excel 工作簿(*.xlsx)|*.xlsx|所有文件(*)|*");
}

QByteArray WholeNumberText(QByteArrayView number)
{
    const QByteArrayView s = trimmed(number);
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

TImportOutcome TPhoneImport::fail(TImportOutcome outcome, const QString& message)
{
    message_ = message;
    return outcome;
}

void TPhoneImport::tick()
{
    if ((++ticks_ & 1023) == 0 && progress)
        progress();
}

TImportOutcome TPhoneImport::run(const QString& fileName, const Sink& sink)
{
    fileName_ = fileName;
    message_.clear();
    column_ = -1;
    headerSkipped_ = false;
    ticks_ = 0;

    qint64 size = 0;
    QString why;
    QFile file;
    if (!openRegular(file, fileName, &size, &why))
        return fail(TImportOutcome::CannotOpen, QStringLiteral("无法打开文件 \"%1\"：%2").arg(fileName, why));

    const TImportFormat format = ImportFormatOf(fileName);
    if (format == TImportFormat::LegacyXls)
        return fail(TImportOutcome::LegacyFormat,
                    QStringLiteral("不能导入旧版 Excel 工作簿（*.xls）：\"%1\"。\n"
                                   "请在 Excel 中把它另存为 Excel 工作簿（*.xlsx）或 CSV 文件后再导入。\n"
                                   "可导入的格式：%2。")
                        .arg(fileName, FormatsThatWork));
    if (size > maxBytes)
        return fail(TImportOutcome::TooLarge,
                    QStringLiteral("文件 \"%1\" 太大（%2 MB），不能导入号码列表；可导入的文件最大 %3 MB。\n"
                                   "未添加任何号码。")
                        .arg(fileName, Megabytes(size), Megabytes(maxBytes)));
    switch (format) {
    case TImportFormat::Csv:
        return importCsv(file, size, sink);
    case TImportFormat::Xlsx:
        return importXlsx(file, sink);
    default:
        return importText(file, sink);
    }
}

TImportOutcome TPhoneImport::importText(QFile& file, const Sink& sink)
{
    const TImportOutcome readFailed = TImportOutcome::ReadFailed;
    const QString readError = QStringLiteral("读取文件 \"%1\" 失败：%2");
    QByteArray chunk(ChunkBytes, Qt::Uninitialized);
    auto tooLarge = [&] {
        return fail(TImportOutcome::TooLarge,
                    QStringLiteral("文件 \"%1\" 太大，不能导入号码列表；可导入的文件最大 %2 MB。")
                        .arg(fileName_, Megabytes(maxBytes)));
    };

    // First pass: the byte-order mark, and whether the rest is valid UTF-8.
    // Nothing is kept but a chunk, so the list is the only thing that grows.
    TEncoding enc;
    if (const int r = scanEncoding(file, chunk, maxBytes, &enc, [this] { tick(); }); r != 0)
        return r < 0 ? fail(readFailed, readError.arg(fileName_, file.errorString())) : tooLarge();
    const TMark mark = enc.mark;
    const qsizetype markLength = enc.markLength;
    const bool utf8 = enc.utf8;

    // Second pass: the lines.
    if (!file.seek(markLength))
        return fail(readFailed, readError.arg(fileName_, file.errorString()));
    bool stopped = false;
    auto emitLine = [&](QByteArrayView line) {
        tick();
        if (!hasContent(line))
            return true;
        if (!sink(line)) {
            stopped = true;
            return false;
        }
        return true;
    };
    qint64 total = markLength;
    QStringDecoder decoder;
    if (!utf8) {
        decoder = decoderFor(mark, false);
        if (!decoder.isValid())
            decoder = QStringDecoder(QStringConverter::Latin1);
    }
    TLineSplitter<QByteArrayView, QByteArray> bytesSplitter;
    TLineSplitter<QStringView, QString> charsSplitter;
    QByteArray line8;
    auto emitChars = [&](QStringView line) {
        line8.clear();
        appendUtf8(line8, line);
        return emitLine(line8);
    };
    while (true) {
        const qsizetype n = readSome(file, chunk.data(), chunk.size());
        if (n < 0)
            return fail(readFailed, readError.arg(fileName_, file.errorString()));
        if (n == 0)
            break;
        total += n;
        if (total > maxBytes)
            return tooLarge();
        const QByteArrayView piece(chunk.constData(), n);
        bool go;
        if (utf8) {
            go = bytesSplitter.feed(piece, emitLine);
        } else {
            const QString chars = decoder(piece);
            go = charsSplitter.feed(QStringView(chars), emitChars);
        }
        if (!go)
            return fail(TImportOutcome::Stopped, QString());
    }
    if (!(utf8 ? bytesSplitter.finish(emitLine) : charsSplitter.finish(emitChars)) || stopped)
        return fail(TImportOutcome::Stopped, QString());
    return TImportOutcome::Done;
}

TImportOutcome TPhoneImport::importCsv(QFile& file, qint64 size, const Sink& sink)
{
    const QString readError = QStringLiteral("读取文件 \"%1\" 失败：%2");
    auto tooLarge = [&] {
        return fail(TImportOutcome::TooLarge,
                    QStringLiteral("文件 \"%1\" 太大，不能导入号码列表；可导入的文件最大 %2 MB。")
                        .arg(fileName_, Megabytes(maxBytes)));
    };
    // The whole text in UTF-8: the column is chosen over all rows before any is taken.
    // It is read (or decoded) straight from the file, so the raw bytes are not held beside it.
    QByteArray chunk(ChunkBytes, Qt::Uninitialized);
    TEncoding enc;
    if (const int r = scanEncoding(file, chunk, maxBytes, &enc, [this] { tick(); }); r != 0)
        return r < 0 ? fail(TImportOutcome::ReadFailed, readError.arg(fileName_, file.errorString()))
                     : tooLarge();
    if (!file.seek(enc.markLength))
        return fail(TImportOutcome::ReadFailed, readError.arg(fileName_, file.errorString()));
    QByteArray text;
    if (enc.utf8) {
        chunk = QByteArray();
        text.resize(qsizetype(std::min(size, maxBytes)) - enc.markLength + 1);
        const qsizetype got = readSome(file, text.data(), text.size());
        if (got < 0)
            return fail(TImportOutcome::ReadFailed, readError.arg(fileName_, file.errorString()));
        if (got == text.size()) // grew since it was looked at
            return tooLarge();
        text.truncate(got);
    } else {
        QStringDecoder decoder = decoderFor(enc.mark, false);
        if (!decoder.isValid())
            decoder = QStringDecoder(QStringConverter::Latin1);
        text.reserve(qsizetype(std::min(size, maxBytes)) * 3 / 2 + 16); // the most UTF-8 can take
        qint64 total = enc.markLength;
        while (true) {
            const qsizetype n = readSome(file, chunk.data(), chunk.size());
            if (n < 0)
                return fail(TImportOutcome::ReadFailed, readError.arg(fileName_, file.errorString()));
            if (n == 0)
                break;
            if ((total += n) > maxBytes)
                return tooLarge();
            const QString piece = decoder(QByteArrayView(chunk.constData(), n));
            appendUtf8(text, piece);
            tick();
        }
    }

    // First pass: which column holds the numbers.
    TColumnStats stats;
    qint64 firstRow = -1;
    {
        TCsvReader csv(text);
        qint64 row = 0;
        int col = 0;
        QByteArrayView cell;
        while (!csv.atEnd()) {
            const bool end = csv.next(&cell);
            if (firstRow < 0 && hasContent(cell))
                firstRow = row;
            stats.add(col, row == firstRow, cell);
            tick();
            if (end)
                ++row, col = 0;
            else
                ++col;
        }
    }
    column_ = stats.choose();
    if (column_ < 0)
        return fail(TImportOutcome::NoNumberColumn,
                    QStringLiteral("文件 \"%1\" 中没有号码列：没有哪一列的多数单元格是手机号码（%2）。\n"
                                   "未添加任何号码。")
                        .arg(fileName_, PlausibleMobileRule()));

    // Second pass: the cells of that column.
    TCsvReader csv(text);
    qint64 row = 0;
    int col = 0;
    QByteArrayView cell;
    QByteArray scratch;
    while (!csv.atEnd()) {
        const bool end = csv.next(&cell);
        if (col == column_ && hasContent(cell)) {
            if (row == firstRow && !looksLikeNumber(cell)) {
                headerSkipped_ = true;
            } else if (!sink(oneLine(cell, scratch))) {
                return fail(TImportOutcome::Stopped, QString());
            }
        }
        tick();
        if (end)
            ++row, col = 0;
        else
            ++col;
    }
    return TImportOutcome::Done;
}

TImportOutcome TPhoneImport::importXlsx(QFile& file, const Sink& sink)
{
    auto damaged = [&](const QString& detail) {
        return fail(TImportOutcome::BadWorkbook,
                    QStringLiteral(
                        "文件 \"%1\" 不是可读的 Excel 工作簿（*.xlsx），可能已损坏：%2。\n未添加任何号码。")
                        .arg(fileName_, detail));
    };
    auto tooLarge = [&] {
        return fail(TImportOutcome::TooLarge,
                    QStringLiteral("工作簿 \"%1\" 的内容太大，不能导入号码列表；解压后每部分最大 %2 MB。\n"
                                   "未添加任何号码。")
                        .arg(fileName_, Megabytes(maxBytes)));
    };

    // A password-protected workbook is not a ZIP archive but an OLE compound file.
    char head[8] = {};
    if (readSome(file, head, 8) == 8 && std::memcmp(head, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) == 0)
        return fail(
            TImportOutcome::Encrypted,
            QStringLiteral("工作簿 \"%1\" 设有打开密码（已加密），或是改了名的旧版 *.xls 文件，无法读取。\n"
                           "请在 Excel 中取消密码并另存为 Excel 工作簿（*.xlsx）或 CSV 文件后再导入。\n"
                           "未添加任何号码。")
                .arg(fileName_));
    if (!file.seek(0))
        return damaged(file.errorString());
    QuaZip zip(&file);
    zip.setAutoClose(false);
    if (!zip.open(QuaZip::mdUnzip))
        return damaged(QStringLiteral("不是 ZIP 压缩格式"));
    auto failed = [&](const TXmlPart& part) {
        if (part.result == TXmlPart::TooLarge)
            return tooLarge();
        if (part.result == TXmlPart::Missing)
            return damaged(QStringLiteral("缺少 %1").arg(part.name));
        return damaged(part.error);
    };
    auto alive = [this] {
        tick();
        return true;
    };

    // The first worksheet: the workbook names its sheets in order, the
    // workbook's relationships say which part each one is.
    QString firstSheetId;
    TXmlPart part = readXmlPart(
        zip, QStringLiteral("xl/workbook.xml"), maxBytes, alive, [&](QXmlStreamReader& xml, auto&& more) {
            while (!xml.atEnd() && !xml.hasError() && more()) {
                if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == u"sheet") {
                    firstSheetId = relationshipId(xml.attributes()).toString();
                    return;
                }
            }
        });
    if (part.result != TXmlPart::Ok)
        return failed(part);
    QString sheetPart = QStringLiteral("xl/worksheets/sheet1.xml");
    QString stringsPart = QStringLiteral("xl/sharedStrings.xml");
    part = readXmlPart(zip, QStringLiteral("xl/_rels/workbook.xml.rels"), maxBytes, alive,
                       [&](QXmlStreamReader& xml, auto&& more) {
                           while (!xml.atEnd() && !xml.hasError() && more()) {
                               if (xml.readNext() != QXmlStreamReader::StartElement ||
                                   xml.name() != u"Relationship")
                                   continue;
                               const QXmlStreamAttributes a = xml.attributes();
                               if (!firstSheetId.isEmpty() && a.value(QLatin1String("Id")) == firstSheetId)
                                   sheetPart = partName(a.value(QLatin1String("Target")));
                               if (a.value(QLatin1String("Type")).endsWith(u"/sharedStrings"))
                                   stringsPart = partName(a.value(QLatin1String("Target")));
                           }
                       });
    if (part.result != TXmlPart::Ok && part.result != TXmlPart::Missing)
        return failed(part);

    // The shared strings are read beside the sheet, on a thread of their own
    // with a second handle on the file: in a list of names they are the second
    // largest part, and the XML reader is where a workbook's time goes. The
    // sheet keeps a shared-string cell as its index until both are read.
    TSharedStrings strings;
    std::atomic<bool> stop{false};
    TXmlPart stringsResult;
    QFile second(fileName_); // a handle of its own, with its own offset
    std::unique_ptr<QThread> worker;
    if (second.open(QIODevice::ReadOnly)) {
        worker.reset(QThread::create([&] {
            QuaZip z(&second);
            if (!z.open(QuaZip::mdUnzip)) {
                stringsResult = TXmlPart{TXmlPart::Broken, stringsPart, QStringLiteral("不是 ZIP 压缩格式")};
                return;
            }
            stringsResult = readSharedStrings(
                z, stringsPart, maxBytes, [&] { return !stop.load(); }, &strings);
        }));
        worker->start();
    } else {
        stringsResult = readSharedStrings(zip, stringsPart, maxBytes, alive, &strings);
    }
    struct TJoin
    {
        std::unique_ptr<QThread>& worker;
        std::atomic<bool>& stop;
        ~TJoin()
        {
            if (worker) {
                stop = true;
                worker->wait();
            }
        }
    } join{worker, stop};

    // The sheet: every cell, kept by column until the number column is known.
    QList<TSheetColumn> columns;
    part = readXmlPart(zip, sheetPart, maxBytes, alive, [&](QXmlStreamReader& xml, auto&& more) {
        qint64 row = 0;
        int col = -1;
        enum { Number, Shared, Other } type = Number;
        enum { None, Value, InlineText } in = None;
        int phonetic = 0;
        QByteArray value;
        bool inCell = false;
        while (!xml.atEnd() && !xml.hasError() && more()) {
            switch (xml.readNext()) {
            case QXmlStreamReader::StartElement: {
                const QStringView name = xml.name();
                if (name == u"c") {
                    const QXmlStreamAttributes a = xml.attributes();
                    const QStringView ref = a.value(QLatin1String("r"));
                    const int c = ref.isEmpty() ? -1 : columnOfRef(ref);
                    col = c >= 0 ? c : col + 1;
                    const QStringView t = a.value(QLatin1String("t"));
                    type = t.isEmpty() || t == u"n" ? Number : t == u"s" ? Shared : Other;
                    value.clear();
                    inCell = true;
                } else if (name == u"v" && inCell) {
                    in = Value;
                } else if (name == u"t" && inCell) {
                    in = InlineText;
                } else if (name == u"rPh") {
                    ++phonetic;
                } else if (name == u"row") {
                    // Only the order of rows matters (which comes first), not their numbers.
                    ++row;
                    col = -1;
                }
                break;
            }
            case QXmlStreamReader::Characters:
                if (in != None && phonetic == 0)
                    appendUtf8(value, xml.text());
                break;
            case QXmlStreamReader::EndElement: {
                const QStringView name = xml.name();
                if (name == u"v" || name == u"t") {
                    in = None;
                } else if (name == u"rPh") {
                    --phonetic;
                } else if (name == u"c") {
                    inCell = false;
                    if ((type != Shared && !hasContent(value)) || col >= MaxColumns)
                        break;
                    if (col >= columns.size())
                        columns.resize(col + 1);
                    if (type == Shared) {
                        bool ok = false;
                        const qint64 i = QByteArrayView(value).trimmed().toLongLong(&ok);
                        if (ok && i >= 0)
                            columns[col].addShared(row, i);
                    } else if (type == Number && !isPlainDigits(value)) {
                        columns[col].addText(row, WholeNumberText(value));
                    } else {
                        columns[col].addText(row, value);
                    }
                }
                break;
            }
            default:
                break;
            }
        }
    });
    if (part.result != TXmlPart::Ok)
        return failed(part);
    if (worker) {
        worker->wait();
        worker.reset();
    }
    if (stringsResult.result != TXmlPart::Ok && stringsResult.result != TXmlPart::Missing)
        return failed(stringsResult);

    // The first row that holds something, then the number column.
    qint64 firstRow = -1;
    for (const TSheetColumn& c : columns)
        c.forEach(strings, [&](qint64 row, QByteArrayView cell) {
            if (!hasContent(cell))
                return true;
            if (firstRow < 0 || row < firstRow)
                firstRow = row;
            return false;
        });
    TColumnStats stats;
    for (qsizetype c = 0; c < columns.size(); ++c)
        columns[c].forEach(strings, [&](qint64 row, QByteArrayView cell) {
            stats.add(int(c), row == firstRow, cell);
            tick();
            return true;
        });
    column_ = stats.choose();
    if (column_ < 0)
        return fail(TImportOutcome::NoNumberColumn,
                    QStringLiteral(
                        "工作簿 \"%1\" 的第一个工作表中没有号码列：没有哪一列的多数单元格是手机号码（%2）。\n"
                        "未添加任何号码。")
                        .arg(fileName_, PlausibleMobileRule()));
    QByteArray scratch;
    bool stopped = false;
    columns[column_].forEach(strings, [&](qint64 row, QByteArrayView cell) {
        if (!hasContent(cell))
            return true;
        if (row == firstRow && !looksLikeNumber(cell)) {
            headerSkipped_ = true;
            return true;
        }
        tick();
        if (!sink(oneLine(cell, scratch)))
            stopped = true;
        return !stopped;
    });
    if (stopped)
        return fail(TImportOutcome::Stopped, QString());
    return TImportOutcome::Done;
}

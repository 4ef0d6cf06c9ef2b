#include "send/import/uXmlScanner.h"

#include <QtEndian>

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

// Text shorter than this that runs into the end of the buffer is read again
// whole once more bytes are in, so that a cell's value comes in one piece.
constexpr qsizetype ShortText = 64 * 1024;

inline bool isSpace(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// Bytes tested eight at a time: the high bit of each byte of the result
// says whether that byte of w is a zero / is below c (an ASCII byte, c <= 128).
constexpr quint64 Ones = 0x0101010101010101ULL, Low7 = 0x7F7F7F7F7F7F7F7FULL;
inline quint64 zeroBytes(quint64 w)
{
    return ~(((w & Low7) + Low7) | w | Low7);
}
inline quint64 bytesBelow(quint64 w, uint c)
{
    return ~(((w & Low7) + (0x80 - c) * Ones) | w | Low7);
}
inline quint64 wordAt(const char* p)
{
    quint64 w;
    std::memcpy(&w, p, 8);
    return qFromLittleEndian(w);
}

// A qualified name as the element stack keeps it: its length and its first
// and last eight bytes, mixed. Cheap for any length, and an end tag that is
// not its start tag's differs in one of them but by a freak.
// room: bytes readable from p on (at least n).
inline quint64 nameKey(const char* p, qsizetype n, qsizetype room)
{
    quint64 a = 0, b = 0;
    if (n >= 8) {
        a = wordAt(p);
        b = wordAt(p + n - 8);
    } else if (room >= 8) {
        a = wordAt(p) & (n == 0 ? 0 : ~0ULL >> (64 - 8 * n)); // the name's bytes only
    } else {
        for (qsizetype i = 0; i < n; ++i)
            a |= quint64(uchar(p[i])) << (8 * i);
    }
    return (a * 0x9E3779B97F4A7C15ULL) ^ (b * 0xC2B2AE3D27D4EB4FULL) ^ quint64(n);
}

// A name found in a tag: where it ends and where its part after the prefix begins.
struct TNameEnd
{
    qsizetype end;
    qsizetype local;
};

// The highest byte flagged in a mask, as an offset in its word.
inline int lastFlagged(quint64 mask)
{
    return (63 - std::countl_zero(mask)) >> 3;
}

// Scans a name eight bytes at a time up to the first byte that `ends` flags
// in a word, keeping track of its last colon; n when the buffer ends first.
template <typename Ends> inline TNameEnd scanName(const char* p, qsizetype i, qsizetype n, Ends&& ends)
{
    qsizetype local = i;
    while (i + 8 <= n) {
        const quint64 w = wordAt(p + i);
        const quint64 hit = ends(w);
        quint64 colons = zeroBytes(w ^ (':' * Ones));
        if (hit) {
            const int at = std::countr_zero(hit) >> 3;
            colons &= at == 0 ? 0 : ~0ULL >> (64 - 8 * at); // those before the end
            if (colons)
                local = i + lastFlagged(colons) + 1;
            return {i + at, local};
        }
        if (colons)
            local = i + lastFlagged(colons) + 1;
        i += 8;
    }
    for (; i < n && !(ends(quint64(uchar(p[i]))) & 0x80); ++i)
        if (p[i] == ':')
            local = i + 1;
    return {i, local};
}

// An element's name ends at a blank, '/' or '>'.
inline TNameEnd scanElementName(const char* p, qsizetype i, qsizetype n)
{
    return scanName(p, i, n, [](quint64 w) {
        return bytesBelow(w, 0x21) | zeroBytes(w ^ ('/' * Ones)) | zeroBytes(w ^ ('>' * Ones));
    });
}

// An attribute's name ends at its '=' (blanks before it are trimmed by the caller).
inline TNameEnd scanAttributeName(const char* p, qsizetype i, qsizetype n)
{
    return scanName(p, i, n, [](quint64 w) { return zeroBytes(w ^ ('=' * Ones)); });
}

// Where the byte c comes next from i on; n when it does not.
inline qsizetype findByte(const char* p, qsizetype i, qsizetype n, char c)
{
    // Values and names are short: a few words before memchr pays.
    for (int k = 0; k < 4 && i + 8 <= n; ++k, i += 8)
        if (const quint64 hit = zeroBytes(wordAt(p + i) ^ (uchar(c) * Ones)))
            return i + (std::countr_zero(hit) >> 3);
    const void* f = i < n ? std::memchr(p + i, c, size_t(n - i)) : nullptr;
    return f ? static_cast<const char*>(f) - p : n;
}

// Where a start tag's '>' is, from i on, in one pass: the first '>' after an
// even number of double quotes, with no single quote or '<' before it. -1
// when the tag is not of that plain kind, or the buffer ends first: the
// careful way then decides.
inline qsizetype plainTagEnd(const char* p, qsizetype i, qsizetype n)
{
    // Whether an odd number of bytes is flagged (flags are the bytes' high bits).
    auto oddFlags = [](quint64 m) {
        m ^= m >> 32;
        m ^= m >> 16;
        m ^= m >> 8;
        return (m & 0x80) != 0;
    };
    bool inValue = false;
    for (; i + 8 <= n; i += 8) {
        const quint64 w = wordAt(p + i);
        const quint64 gt = zeroBytes(w ^ ('>' * Ones));
        const quint64 q = zeroBytes(w ^ ('"' * Ones));
        const quint64 odd = zeroBytes(w ^ ('\'' * Ones)) | zeroBytes(w ^ ('<' * Ones));
        if (gt) {
            const int at = std::countr_zero(gt);
            const quint64 before = (quint64(1) << at) - 1;
            if (odd & before)
                return -1;
            return inValue == oddFlags(q & before) ? i + (at >> 3) : -1;
        }
        if (odd)
            return -1;
        inValue ^= oddFlags(q);
    }
    return -1;
}

// Where the next quote, '>' or '<' is from i on; n when there is none.
inline qsizetype findMark(const char* p, qsizetype i, qsizetype n)
{
    while (i + 8 <= n) {
        const quint64 w = wordAt(p + i);
        const quint64 hit = zeroBytes(w ^ ('"' * Ones)) | zeroBytes(w ^ ('\'' * Ones)) |
                            zeroBytes(w ^ ('>' * Ones)) | zeroBytes(w ^ ('<' * Ones));
        if (hit)
            return i + (std::countr_zero(hit) >> 3);
        i += 8;
    }
    while (i < n && p[i] != '"' && p[i] != '\'' && p[i] != '>' && p[i] != '<')
        ++i;
    return i;
}

bool allSpace(QByteArrayView t)
{
    for (char c : t)
        if (!isSpace(c))
            return false;
    return true;
}

// Position of needle in p[from, n), or -1.
qsizetype find(const char* p, qsizetype from, qsizetype n, QByteArrayView needle)
{
    if (from >= n)
        return -1;
    const qsizetype i = QByteArrayView(p + from, n - from).indexOf(needle);
    return i < 0 ? -1 : from + i;
}

void appendCodePoint(std::string& out, uint cp)
{
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

// A character reference's code point ("#65", "#x41"); 0 when it names no character XML allows.
uint characterReference(QByteArrayView ref)
{
    if (ref.size() < 2 || ref[0] != '#')
        return 0;
    const bool hex = ref[1] == 'x';
    const QByteArrayView digits = ref.sliced(hex ? 2 : 1);
    if (digits.isEmpty() || digits.size() > 8)
        return 0;
    uint cp = 0;
    for (char c : digits) {
        uint d;
        if (c >= '0' && c <= '9')
            d = uint(c - '0');
        else if (hex && c >= 'a' && c <= 'f')
            d = uint(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F')
            d = uint(c - 'A' + 10);
        else
            return 0;
        cp = cp * (hex ? 16 : 10) + d;
    }
    const bool allowed = cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
                         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
    return allowed ? cp : 0;
}

} // namespace

TXmlScanner::TXmlScanner(Source source) : source_(std::move(source))
{
    opened_.reserve(32);
    attributes_.reserve(16);
    buf_.reserve(2 * 256 * 1024);
}

bool TXmlScanner::AppendResolved(std::string& out, QByteArrayView raw)
{
    const char* p = raw.data();
    const qsizetype n = raw.size();
    qsizetype i = 0;
    while (i < n) {
        const void* amp = std::memchr(p + i, '&', size_t(n - i));
        if (!amp) {
            out.append(p + i, size_t(n - i));
            return true;
        }
        const qsizetype a = static_cast<const char*>(amp) - p;
        out.append(p + i, size_t(a - i));
        const void* semi = std::memchr(p + a, ';', size_t(std::min<qsizetype>(n - a, 12)));
        if (!semi)
            return false;
        const qsizetype s = static_cast<const char*>(semi) - p;
        const QByteArrayView ref = raw.sliced(a + 1, s - a - 1);
        if (ref == "lt")
            out.push_back('<');
        else if (ref == "gt")
            out.push_back('>');
        else if (ref == "amp")
            out.push_back('&');
        else if (ref == "quot")
            out.push_back('"');
        else if (ref == "apos")
            out.push_back('\'');
        else if (const uint cp = characterReference(ref); cp != 0)
            appendCodePoint(out, cp);
        else
            return false;
        i = s + 1;
    }
    return true;
}

bool TXmlScanner::appendText(std::string& out)
{
    if (cdata_) {
        out.append(text_.data(), size_t(text_.size()));
        return true;
    }
    return appendValue(out, text_);
}

bool TXmlScanner::appendValue(std::string& out, QByteArrayView raw)
{
    if (AppendResolved(out, raw))
        return true;
    raiseError(QStringLiteral("有 XML 没有定义的实体引用"));
    return false;
}

QByteArrayView TXmlScanner::attribute(QByteArrayView localName)
{
    if (!attributesRead_)
        parseAttributes();
    const char* p = buf_.constData();
    const qsizetype want = localName.size();
    for (const TAttribute& a : attributes_) {
        if (a.nameTo - a.localFrom != want)
            continue;
        qsizetype k = 0;
        while (k < want && p[a.localFrom + k] == localName[k])
            ++k;
        if (k < want)
            continue;
        // Namespace declarations are no attributes of the element.
        const QByteArrayView qualified(p + a.nameFrom, a.nameTo - a.nameFrom);
        if (qualified == "xmlns" || qualified.startsWith("xmlns:"))
            continue;
        return QByteArrayView(p + a.valueFrom, a.valueTo - a.valueFrom);
    }
    return {};
}

void TXmlScanner::parseAttributes()
{
    attributesRead_ = true;
    attributes_.clear();
    const char* p = buf_.constData();
    const qsizetype n = attributesTo_;
    qsizetype i = attributesFrom_;
    for (;;) {
        while (i < n && isSpace(p[i]))
            ++i;
        if (i >= n)
            return;
        const qsizetype an = i;
        const TNameEnd name = scanAttributeName(p, i, n);
        i = name.end;
        qsizetype anEnd = i;
        while (anEnd > an && isSpace(p[anEnd - 1]))
            --anEnd;
        if (anEnd == an || i >= n) {
            raiseError(QStringLiteral("属性格式错误"));
            return;
        }
        ++i;
        while (i < n && isSpace(p[i]))
            ++i;
        if (i >= n || (p[i] != '"' && p[i] != '\'')) {
            raiseError(QStringLiteral("属性值缺少引号"));
            return;
        }
        // The tag's end was found passing over the values: the closing quote is there.
        const qsizetype close = findByte(p, i + 1, n, p[i]);
        attributes_.push_back(TAttribute{an, name.local, anEnd, i + 1, close});
        i = close + 1;
    }
}

void TXmlScanner::raiseError(const QString& why)
{
    if (error_.isEmpty()) {
        error_ = why;
        errorOffset_ = base_ + pos_;
    }
}

TXmlScanner::Token TXmlScanner::fail(const QString& why)
{
    raiseError(why);
    return Invalid;
}

bool TXmlScanner::more()
{
    if (eof_)
        return false;
    if (pos_ > 0) {
        base_ += pos_;
        buf_.remove(0, pos_);
        pos_ = 0;
    }
    const qsizetype before = buf_.size();
    while (buf_.size() == before) {
        if (!source_(buf_)) {
            eof_ = true;
            break;
        }
    }
    return buf_.size() > before;
}

TXmlScanner::Token TXmlScanner::finish()
{
    if (!opened_.empty())
        return fail(QStringLiteral("文档不完整，缺少结束标签"));
    if (!rootSeen_)
        return fail(QStringLiteral("文档是空的"));
    ended_ = true;
    return EndDocument;
}

TXmlScanner::Token TXmlScanner::next()
{
    if (!error_.isEmpty())
        return Invalid;
    if (ended_)
        return EndDocument;
    if (pendingEnd_) {
        pendingEnd_ = false;
        opened_.pop_back();
        return EndElement; // name_ still names the empty element
    }
    for (;;) {
        if (pos_ >= buf_.size()) {
            if (!more())
                return finish();
            continue;
        }
        const char* p = buf_.constData();
        const qsizetype n = buf_.size();
        if (p[pos_] != '<') {
            const void* lt = std::memchr(p + pos_, '<', size_t(n - pos_));
            qsizetype end = lt ? static_cast<const char*>(lt) - p : n;
            if (!lt && !eof_) {
                // more() moves the buffer: the text is looked at again afterwards.
                if (end - pos_ < ShortText) {
                    more();
                    continue;
                }
                // A long text goes out in pieces, none of them ending inside a reference.
                const qsizetype from = std::max(pos_, end - 12);
                const qsizetype amp = QByteArrayView(p + from, end - from).lastIndexOf('&');
                if (amp >= 0 && !QByteArrayView(p + from + amp, end - from - amp).contains(';'))
                    end = from + amp;
                if (end == pos_) {
                    more();
                    continue;
                }
            }
            text_ = QByteArrayView(p + pos_, end - pos_);
            cdata_ = false;
            pos_ = end;
            if (opened_.empty()) {
                if (!allSpace(text_))
                    return fail(QStringLiteral("根元素之外有文字"));
                continue;
            }
            return Characters;
        }
        Token token = Invalid;
        switch (parseMarkup(&token)) {
        case Done:
            return token;
        case Skipped:
            continue;
        case NeedMore:
            if (!more())
                return fail(QStringLiteral("文档在标记中间结束"));
            continue;
        case Bad:
            return Invalid;
        }
    }
}

TXmlScanner::Parse TXmlScanner::parseMarkup(Token* token)
{
    const char* p = buf_.constData();
    const qsizetype n = buf_.size();
    const qsizetype i = pos_;
    if (i + 1 >= n)
        return NeedMore;
    const char c = p[i + 1];
    if (c == '/')
        return parseEndTag(i + 2, token);
    if (c == '?') { // a processing instruction, the XML declaration among them
        const qsizetype e = find(p, i + 2, n, "?>");
        if (e < 0)
            return NeedMore;
        pos_ = e + 2;
        return Skipped;
    }
    if (c == '!') {
        if (n - i < 4)
            return NeedMore;
        if (QByteArrayView(p + i, 4) == "<!--") {
            const qsizetype e = find(p, i + 4, n, "-->");
            if (e < 0)
                return NeedMore;
            pos_ = e + 3;
            return Skipped;
        }
        if (n - i < 9)
            return NeedMore;
        if (QByteArrayView(p + i, 9) == "<![CDATA[") {
            const qsizetype e = find(p, i + 9, n, "]]>");
            if (e < 0)
                return NeedMore;
            if (opened_.empty()) {
                fail(QStringLiteral("根元素之外有文字"));
                return Bad;
            }
            text_ = QByteArrayView(p + i + 9, e - i - 9);
            cdata_ = true;
            pos_ = e + 3;
            *token = Characters;
            return Done;
        }
        fail(QByteArrayView(p + i, 9) == "<!DOCTYPE" ? QStringLiteral("不支持文档类型声明（DOCTYPE）")
                                                    : QStringLiteral("无法识别的标记"));
        return Bad;
    }
    return parseStartTag(i + 1, token);
}

TXmlScanner::Parse TXmlScanner::parseStartTag(qsizetype from, Token* token)
{
    const char* p = buf_.constData();
    const qsizetype n = buf_.size();
    const TNameEnd element = scanElementName(p, from, n);
    qsizetype i = element.end;
    if (i >= n)
        return NeedMore;
    const qsizetype nameTo = i;
    if (nameTo == from) {
        fail(QStringLiteral("标签格式错误"));
        return Bad;
    }
    // The tag's end: the next '>' that is not inside a quoted value. Most
    // tags are plain and found in one pass; the others value by value.
    const qsizetype attributesFrom = i;
    if (const qsizetype end = plainTagEnd(p, i, n); end >= 0) {
        i = end;
    } else {
        for (;;) {
            i = findMark(p, i, n);
            if (i >= n)
                return NeedMore;
            const char c = p[i];
            if (c == '>')
                break;
            if (c == '<') {
                fail(QStringLiteral("标签格式错误"));
                return Bad;
            }
            const qsizetype close = findByte(p, i + 1, n, c);
            if (close >= n)
                return NeedMore;
            i = close + 1;
        }
    }
    const bool empty = i > attributesFrom && p[i - 1] == '/';
    attributesFrom_ = attributesFrom;
    attributesTo_ = empty ? i - 1 : i;
    attributesRead_ = false;
    ++i;
    if (rootSeen_ && opened_.empty()) {
        fail(QStringLiteral("根元素之后还有元素"));
        return Bad;
    }
    rootSeen_ = true;
    name_ = QByteArrayView(p + element.local, nameTo - element.local);
    opened_.push_back(nameKey(p + from, nameTo - from, n - from));
    pendingEnd_ = empty;
    pos_ = i;
    *token = StartElement;
    return Done;
}

TXmlScanner::Parse TXmlScanner::parseEndTag(qsizetype from, Token* token)
{
    const char* p = buf_.constData();
    const qsizetype n = buf_.size();
    const TNameEnd name = scanElementName(p, from, n);
    qsizetype close = name.end;
    while (close < n && isSpace(p[close]))
        ++close;
    if (close >= n)
        return NeedMore;
    if (p[close] != '>' || opened_.empty() || opened_.back() != nameKey(p + from, name.end - from, n - from)) {
        const QByteArrayView qualified(p + from, std::min<qsizetype>(name.end - from, 40));
        fail(QStringLiteral("结束标签 </%1> 与开始标签不配对").arg(QString::fromUtf8(qualified)));
        return Bad;
    }
    opened_.pop_back();
    name_ = QByteArrayView(p + name.local, name.end - name.local);
    pos_ = close + 1;
    *token = EndElement;
    return Done;
}

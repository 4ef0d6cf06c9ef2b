#pragma once
// A scanner of the XML inside workbooks, made for speed: it reads the bytes
// as they are unpacked, piece by piece, and hands out start tags, end tags
// and text as views into its buffer, without building strings or trees.
// Names are matched without their namespace prefix (spreadsheet parts use
// one vocabulary each). It checks what a reader relies on: tags close in the
// order they opened, attributes are quoted, the document ends with its root
// element; entity references in text and values are resolved on request.
// A document type declaration is refused (no entity can be defined).

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <functional>
#include <string>
#include <vector>

// A view of text collected in a std::string (readers collect cell text so:
// its appends are cheaper than a QByteArray's).
inline QByteArrayView ViewOf(const std::string& s)
{
    return QByteArrayView(s.data(), qsizetype(s.size()));
}

// True when a name is that literal: cheaper than comparing views, where names are short.
template <qsizetype N> inline bool IsName(QByteArrayView name, const char (&literal)[N])
{
    if (name.size() != N - 1)
        return false;
    for (qsizetype i = 0; i < N - 1; ++i)
        if (name[i] != literal[i])
            return false;
    return true;
}

class TXmlScanner
{
public:
    // Appends the next piece of the document to buf; false when there is no more.
    using Source = std::function<bool(QByteArray& buf)>;
    enum Token { StartElement, EndElement, Characters, EndDocument, Invalid };

    explicit TXmlScanner(Source source);

    Token next();

    // StartElement, EndElement: the element's name without its prefix. An
    // empty element (<x/>) gives a StartElement and then an EndElement.
    QByteArrayView name() const { return name_; }
    // Open elements, the one just started included, the one just ended not.
    int depth() const { return int(opened_.size()); }
    // StartElement: the value of the attribute whose name without its prefix
    // is localName, references left as written; null when there is none.
    // The attributes are read when one is first asked for; one written wrong
    // ends the scan as Invalid then.
    QByteArrayView attribute(QByteArrayView localName);
    template <qsizetype N> QByteArrayView attribute(const char (&localName)[N])
    {
        return attribute(QByteArrayView(localName, N - 1));
    }
    // Characters: text as written (CDATA sections as they are, references
    // not resolved); a long text may come as several Characters in a row.
    QByteArrayView text() const { return text_; }
    // Appends the text of the last Characters, references resolved; false
    // (and the scan ends as Invalid) on a reference that XML does not define.
    bool appendText(std::string& out);
    // Appends an attribute's value the same way.
    bool appendValue(std::string& out, QByteArrayView raw);

    // Ends the scan as Invalid with that reason (a reader that finds the
    // document does not hold what it should).
    void raiseError(const QString& why);
    // Invalid: what is wrong, and at which byte of the document.
    QString errorString() const { return error_; }
    qint64 errorOffset() const { return errorOffset_; }

    // Appends the text of a reference-holding piece, references resolved;
    // false on a reference that XML does not define.
    static bool AppendResolved(std::string& out, QByteArrayView raw);

private:
    enum Parse { Done, Skipped, NeedMore, Bad };
    Parse parseMarkup(Token* token);
    Parse parseStartTag(qsizetype from, Token* token);
    Parse parseEndTag(qsizetype from, Token* token);
    void parseAttributes();
    bool more();
    Token fail(const QString& why);
    Token finish();

    Source source_;
    QByteArray buf_;
    qsizetype pos_ = 0;  // next byte to read in buf_
    qint64 base_ = 0;    // bytes of the document dropped before buf_
    bool eof_ = false;
    bool cdata_ = false;
    bool pendingEnd_ = false; // an empty element's end comes next
    bool rootSeen_ = false;
    bool ended_ = false;
    QByteArrayView name_;
    QByteArrayView text_;
    // The open elements, each by its qualified name's length and a hash of it:
    // enough to tell an end tag that does not match its start tag.
    std::vector<quint64> opened_;
    qsizetype attributesFrom_ = 0, attributesTo_ = 0; // the start tag's attributes, in buf_
    bool attributesRead_ = true;
    struct TAttribute
    {
        qsizetype nameFrom, localFrom, nameTo, valueFrom, valueTo; // in buf_
    };
    std::vector<TAttribute> attributes_;
    QString error_;
    qint64 errorOffset_ = -1;
};

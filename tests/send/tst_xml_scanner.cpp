// The XML scanner of the workbook readers: the same tokens however the bytes
// are cut into pieces, references resolved, attributes found by their names
// without prefix, and the documents it must refuse.
#include "send/import/uXmlScanner.h"

#include <QtTest>

namespace {

// The document handed over in pieces of `piece` bytes (0: whole).
TXmlScanner over(const QByteArray& xml, int piece)
{
    auto at = std::make_shared<qsizetype>(0);
    return TXmlScanner([xml, piece, at](QByteArray& buf) {
        if (*at >= xml.size())
            return false;
        const qsizetype n = piece > 0 ? std::min<qsizetype>(piece, xml.size() - *at) : xml.size();
        buf.append(xml.constData() + *at, n);
        *at += n;
        return true;
    });
}

// The tokens of a document in one text: "<name a=v>" for a start (the
// attributes asked for), "</name>" for an end, the text with references
// resolved, "!why" where it is refused. Consecutive text comes as one.
QString tokens(const QByteArray& xml, int piece, const QList<QByteArray>& ask = {})
{
    TXmlScanner x = over(xml, piece);
    QString out;
    std::string text;
    auto flush = [&] {
        if (!text.empty())
            out += QString::fromUtf8(text.data(), qsizetype(text.size())) + QLatin1Char('|');
        text.clear();
    };
    for (;;) {
        const TXmlScanner::Token t = x.next();
        if (t != TXmlScanner::Characters)
            flush();
        switch (t) {
        case TXmlScanner::StartElement: {
            out += QLatin1Char('<') + QString::fromUtf8(x.name());
            for (const QByteArray& a : ask) {
                const QByteArrayView v = x.attribute(a);
                if (!v.isNull()) {
                    std::string value;
                    x.appendValue(value, v);
                    out += QLatin1Char(' ') + QString::fromUtf8(a) + QLatin1Char('=') +
                           QString::fromUtf8(value.data(), qsizetype(value.size()));
                }
            }
            out += QStringLiteral(">");
            break;
        }
        case TXmlScanner::EndElement:
            out += QStringLiteral("</") + QString::fromUtf8(x.name()) + QLatin1Char('>');
            break;
        case TXmlScanner::Characters:
            if (!x.appendText(text))
                return out + QLatin1Char('!') + x.errorString();
            break;
        case TXmlScanner::EndDocument:
            return out;
        case TXmlScanner::Invalid:
            return out + QLatin1Char('!') + x.errorString();
        }
    }
}

} // namespace

class TstXmlScanner : public QObject
{
    Q_OBJECT

private slots:
    // Cut anywhere (pieces of 1, 2, 3, 7, 64 bytes or whole), a document gives the same tokens.
    void samePiecesAnyCut_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("expected");
        QTest::newRow("declaration, comment, prefixes, empty elements")
            << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- a -->\n<x:a xmlns:x=\"u\" x:r=\"1\">"
                          "<x:b/><c>t</c></x:a>\n")
            << "<a r=1><b></b><c>t|</c></a>";
        QTest::newRow("references, CDATA, UTF-8")
            << QByteArray("<a>&lt;&amp;&gt;&quot;&apos;&#49;&#x4E09;张<![CDATA[<&>]]></a>") << "<a><&>\"'1三张<&>|</a>";
        QTest::newRow("attributes: quotes, blanks, '>' inside a value")
            << QByteArray("<a  r = 'x>y'\tt=\"&amp;\" xmlns:t=\"u\" s=\"\"/>") << "<a r=x>y t=& s=></a>";
        QTest::newRow("a long text with a reference at every turn")
            << "<a>" + QByteArray("1&amp;").repeated(30000) + "</a>"
            << "<a>" + QString(QStringLiteral("1&")).repeated(30000) + "|</a>";
    }
    void samePiecesAnyCut()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QString, expected);
        for (int piece : {0, 1, 2, 3, 7, 64, 65536})
            QCOMPARE(tokens(xml, piece, {"r", "t", "s"}), expected);
    }

    // What it refuses, and the tokens up to there.
    void refused_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("says");
        QTest::newRow("end tag of another element") << QByteArray("<a><b></a></b>") << "不配对";
        QTest::newRow("end tag of an element not open") << QByteArray("<a></a></b>") << "不配对";
        QTest::newRow("no end tag") << QByteArray("<a><b></b>") << "不完整";
        QTest::newRow("nothing") << QByteArray("  \n") << "空";
        QTest::newRow("cut inside a tag") << QByteArray("<a><b x=\"1") << "标记中间";
        QTest::newRow("cut inside a comment") << QByteArray("<a><!-- x") << "标记中间";
        QTest::newRow("text before the root") << QByteArray("x<a/>") << "根元素之外";
        QTest::newRow("a second root") << QByteArray("<a/><b/>") << "根元素之后";
        QTest::newRow("a document type") << QByteArray("<!DOCTYPE a [<!ENTITY e \"x\">]><a>&e;</a>") << "DOCTYPE";
        QTest::newRow("an entity not defined") << QByteArray("<a>&e;</a>") << "实体";
        QTest::newRow("a character XML does not allow") << QByteArray("<a>&#0;</a>") << "实体";
        QTest::newRow("an attribute value without quotes") << QByteArray("<a r=1></a>") << "引号";
        QTest::newRow("an attribute without a value") << QByteArray("<a r></a>") << "属性";
        QTest::newRow("a '<' inside a tag") << QByteArray("<a <b></a>") << "标签";
    }
    void refused()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QString, says);
        for (int piece : {0, 1, 5}) {
            const QString got = tokens(xml, piece, {"r"});
            QVERIFY2(got.contains(QLatin1Char('!')) && got.contains(says), qPrintable(got));
        }
    }

    // Where the refusal lies: the byte of the document it was found at.
    void errorOffset()
    {
        TXmlScanner x = over("<a><b></c></a>", 3);
        TXmlScanner::Token t;
        while ((t = x.next()) != TXmlScanner::Invalid && t != TXmlScanner::EndDocument) {
        }
        QCOMPARE(int(t), int(TXmlScanner::Invalid));
        QCOMPARE(x.errorOffset(), 6);
    }
};

QTEST_GUILESS_MAIN(TstXmlScanner)
#include "tst_xml_scanner.moc"

// The phone number entry dialog: key filter, line count, collected lines and
// the two run functions.
#include "send/frmInputPhone.h"
#include "tests/support/FakeUi.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QtTest>
#include <functional>

namespace {
// Runs f on the entry dialog once it is the active modal window.
void whenDialogShows(std::function<void(TinputPhoneFrm*)> f, int tries = 200)
{
    QTimer::singleShot(10, qApp, [f, tries]() {
        if (auto* d = qobject_cast<TinputPhoneFrm*>(QApplication::activeModalWidget())) {
            f(d);
        } else if (tries > 0) {
            whenDialogShows(f, tries - 1);
        }
    });
}
} // namespace

class TstInputPhone : public QObject
{
    Q_OBJECT
private slots:
    void keyFilter()
    {
        TinputPhoneFrm dlg;
        dlg.show();
        QTest::keyClicks(dlg.edtPhone, QStringLiteral("13a8-0 0.1+x9"));
        QCOMPARE(dlg.edtPhone->toPlainText(), QStringLiteral("13800.19"));
        QTest::keyClick(dlg.edtPhone, Qt::Key_Return);
        QTest::keyClicks(dlg.edtPhone, QStringLiteral("139"));
        QTest::keyClick(dlg.edtPhone, Qt::Key_Backspace);
        QTest::keyClick(dlg.edtPhone, Qt::Key_Tab);
        QCOMPARE(dlg.edtPhone->toPlainText(), QStringLiteral("13800.19\n13"));
        QCOMPARE(dlg.lblCnt->text(), QStringLiteral("2"));
    }

    // Every way of typing a line break gives a line of its own, counted and collected alike.
    void lineBreakKeys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Enter") << int(Qt::Key_Return) << int(Qt::NoModifier);
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
        QTest::newRow("Shift+Enter") << int(Qt::Key_Return) << int(Qt::ShiftModifier);
    }
    void lineBreakKeys()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        TinputPhoneFrm dlg;
        dlg.show();
        QTest::keyClicks(dlg.edtPhone, QStringLiteral("138"));
        QTest::keyClick(dlg.edtPhone, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QTest::keyClicks(dlg.edtPhone, QStringLiteral("139"));
        QCOMPARE(dlg.lblCnt->text(), QStringLiteral("2"));
        dlg.btnOK->click();
        QCOMPARE(*dlg.PhoneList(), (QStringList{QStringLiteral("138"), QStringLiteral("139")}));
    }

    // A key may carry several characters (a keyboard layout, a remote desktop,
    // a key stroke tool): each one passes the filter or is discarded.
    void keyWithSeveralCharacters_data()
    {
        QTest::addColumn<QString>("keyText");
        QTest::addColumn<QString>("memo");
        QTest::newRow("digit then others") << QStringLiteral("1ab中") << QStringLiteral("1");
        QTest::newRow("others then digits") << QStringLiteral("a1-2 ") << QStringLiteral("12");
        QTest::newRow("all pass") << QStringLiteral("13.8") << QStringLiteral("13.8");
        QTest::newRow("none pass") << QStringLiteral("张三") << QString();
        QTest::newRow("control characters") << QStringLiteral("1\t\u001b2\n") << QStringLiteral("12");
        QTest::newRow("line separator") << QStringLiteral("1\u20282") << QStringLiteral("12");
        QTest::newRow("Enter and backspace inside") << QStringLiteral("12\b3\r4x") << QStringLiteral("13\n4");
    }
    void keyWithSeveralCharacters()
    {
        QFETCH(QString, keyText);
        QFETCH(QString, memo);
        TinputPhoneFrm dlg;
        dlg.show();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, keyText);
        QApplication::sendEvent(dlg.edtPhone, &press);
        QCOMPARE(dlg.edtPhone->toPlainText(), memo);
    }

    // Characters composed by an input method are typed characters too.
    void inputMethodTextFiltered()
    {
        TinputPhoneFrm dlg;
        dlg.show();
        QInputMethodEvent chinese;
        chinese.setCommitString(QStringLiteral("张三"));
        QApplication::sendEvent(dlg.edtPhone, &chinese);
        QInputMethodEvent digits;
        digits.setCommitString(QStringLiteral("138"));
        QApplication::sendEvent(dlg.edtPhone, &digits);
        QCOMPARE(dlg.edtPhone->toPlainText(), QStringLiteral("138"));
    }

    void lineCount_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("count");
        QTest::newRow("empty") << QString() << "0";
        QTest::newRow("one") << "138"
                             << "1";
        QTest::newRow("final break") << "138\n"
                                     << "1";
        QTest::newRow("blank in middle") << "138\n\n139"
                                         << "3";
        QTest::newRow("lone break") << "\n"
                                    << "1";
        QTest::newRow("two breaks") << "138\n139\n\n"
                                    << "3";
    }
    void lineCount()
    {
        QFETCH(QString, text);
        QFETCH(QString, count);
        TinputPhoneFrm dlg;
        dlg.edtPhone->setPlainText(QStringLiteral("x"));
        dlg.edtPhone->setPlainText(text);
        QCOMPARE(dlg.lblCnt->text(), count);
    }

    // Whatever breaks the memo's lines (pasted or set as text), the count shows
    // as many lines as OK returns, and the lines are the ones the memo shows.
    void countAgreesWithLines_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("lines");
        const QStringList three{QStringLiteral("138"), QStringLiteral("139"), QStringLiteral("150")};
        QTest::newRow("line feeds") << QStringLiteral("138\n139\n150") << three;
        QTest::newRow("line separators") << QStringLiteral("138\u2028139\u2028150") << three;
        QTest::newRow("paragraph separators") << QStringLiteral("138\u2029139\u2029150") << three;
        QTest::newRow("carriage returns") << QStringLiteral("138\r139\r\n150") << three;
        QTest::newRow("mixed, final separator") << QStringLiteral("138\u2028139\u2029150\u2028") << three;
        QTest::newRow("separator pairs")
            << QStringLiteral("138\u2028\u2029139\u2029\u2028150\u2028\u2028") << three;
        // Text copied out of a file may begin with its byte-order mark: kept as entered.
        QTest::newRow("byte-order mark")
            << QStringLiteral("\uFEFF138\n\uFEFF139\n150")
            << QStringList{QStringLiteral("\uFEFF138"), QStringLiteral("\uFEFF139"), QStringLiteral("150")};
    }
    void countAgreesWithLines()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, lines);
        for (bool paste : {false, true}) {
            TinputPhoneFrm dlg;
            if (paste) {
                dlg.edtPhone->insertPlainText(QStringLiteral("1"));
                dlg.edtPhone->selectAll();
                dlg.edtPhone->insertPlainText(text);
            } else {
                dlg.edtPhone->setPlainText(text);
            }
            QCOMPARE(dlg.edtPhone->toPlainText().count(QLatin1Char('\n')) + 1, dlg.edtPhone->blockCount());
            dlg.btnOK->click();
            QCOMPARE(*dlg.PhoneList(), lines);
            // Blank lines count and are not returned: compare with the memo's non-blank lines.
            int blank = 0;
            for (QTextBlock b = dlg.edtPhone->document()->begin(); b.isValid(); b = b.next())
                if (b.text().trimmed().isEmpty() && b.next().isValid())
                    ++blank;
            QCOMPARE(dlg.lblCnt->text().toInt(), int(lines.size()) + blank);
        }
    }

    // Undo takes a pasted text back whole, its line separators included.
    void undoPasteWithSeparators()
    {
        TinputPhoneFrm dlg;
        dlg.show();
        QTest::keyClicks(dlg.edtPhone, QStringLiteral("100"));
        dlg.edtPhone->insertPlainText(QStringLiteral("\n138\u2028139"));
        QCOMPARE(dlg.lblCnt->text(), QStringLiteral("3"));
        dlg.edtPhone->undo();
        QCOMPARE(dlg.edtPhone->toPlainText(), QStringLiteral("100"));
        QCOMPARE(dlg.lblCnt->text(), QStringLiteral("1"));
    }

    void collectsLinesUntrimmed()
    {
        TinputPhoneFrm dlg;
        QVERIFY(!dlg.PhoneList());
        dlg.edtPhone->setPlainText(QStringLiteral("  138 \n\n   \n139\n139\n\t\n"));
        dlg.btnOK->click();
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QVERIFY(dlg.PhoneList());
        QCOMPARE(*dlg.PhoneList(),
                 (QStringList{QStringLiteral("  138 "), QStringLiteral("139"), QStringLiteral("139")}));
    }

    void modeCaption()
    {
        TinputPhoneFrm dlg;
        QCOMPARE(dlg.windowTitle(), QStringLiteral("手工录入号码"));
        dlg.SetMode(QStringLiteral("inputTest"));
        QCOMPARE(dlg.windowTitle(), QStringLiteral("录入测试号码"));
        dlg.SetMode(QStringLiteral("InputTest")); // exact comparison: no change
        QCOMPARE(dlg.windowTitle(), QStringLiteral("录入测试号码"));
        dlg.SetMode(QStringLiteral("input"));
        QCOMPARE(dlg.windowTitle(), QStringLiteral("手工录入号码"));
    }

    void runOkReplacesCallerList()
    {
        QStringList held{QStringLiteral("old")};
        QStringList* list = &held;
        QString caption;
        whenDialogShows([&](TinputPhoneFrm* d) {
            caption = d->windowTitle();
            QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(d->edtPhone));
            d->edtPhone->setPlainText(QStringLiteral("138\n\n139"));
            d->btnOK->click();
        });
        QVERIFY(InputTestPhones(list));
        QCOMPARE(caption, QStringLiteral("录入测试号码"));
        QCOMPARE(list, &held);
        QCOMPARE(held, (QStringList{QStringLiteral("138"), QStringLiteral("139")}));
    }

    void runOkOnEmptyMemoClears()
    {
        QStringList held{QStringLiteral("old")};
        QStringList* list = &held;
        whenDialogShows([](TinputPhoneFrm* d) { d->btnOK->click(); });
        QVERIFY(InputPhones(list));
        QVERIFY(held.isEmpty());
    }

    void runCancelLeavesList()
    {
        QStringList held{QStringLiteral("old")};
        QStringList* list = &held;
        whenDialogShows([](TinputPhoneFrm* d) {
            d->edtPhone->setPlainText(QStringLiteral("138"));
            d->btnCancel->click();
        });
        QVERIFY(!InputPhones(list));
        QCOMPARE(held, QStringList{QStringLiteral("old")});

        whenDialogShows([](TinputPhoneFrm* d) { d->close(); }); // the close box
        QVERIFY(!InputPhones(list));
        QCOMPARE(held, QStringList{QStringLiteral("old")});
    }

    void runNullList()
    {
        QStringList* list = nullptr;
        whenDialogShows([](TinputPhoneFrm* d) { d->btnCancel->click(); });
        QVERIFY(!InputPhones(list));
        QVERIFY(!list);

        whenDialogShows([](TinputPhoneFrm* d) {
            d->edtPhone->setPlainText(QStringLiteral("138"));
            d->btnOK->click();
        });
        QVERIFY(InputPhones(list));
        QVERIFY(list);
        QCOMPARE(*list, QStringList{QStringLiteral("138")});
        delete list;
    }
};

QTEST_MAIN(TstInputPhone)
#include "tst_input_phone.moc"

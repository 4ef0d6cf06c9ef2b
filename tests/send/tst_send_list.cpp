// The phone list of the send page: hand entry, test numbers, import, delete,
// clear and the column layout, with the pending lists kept in step.
#include "app/uDataType.h"
#include "send/frmSend.h"
#include "send/uPhoneCheck.h"
#include "send/uPhoneImport.h"
#include "send/uPhoneList.h"
#include "tests/support/FakeUi.h"
#include "tests/support/SpecialFile.h"
#include "tests/support/TextList.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <memory>

namespace {

// A dialog stand-in that accepts the given lines.
std::function<bool(QStringList*&)> accepting(const QStringList& lines)
{
    return [lines](QStringList*& list) {
        if (!list)
            list = new QStringList;
        list->clear();
        list->append(lines);
        return true;
    };
}
} // namespace

class TstSendList : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<FakeUi> ui;
    std::unique_ptr<TSendFrm> page;

    QString writeFile(const QString& name, const QByteArray& bytes)
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return {};
        f.write(bytes);
        return path;
    }
    QStringList listed() const { return page->PhoneModel()->lines(); }
    void handEnter(const QStringList& lines)
    {
        page->inputPhones = accepting(lines);
        page->BtnInput->click();
    }
    void testEnter(const QStringList& lines)
    {
        page->inputTestPhones = accepting(lines);
        page->BtnInsetPhone->click();
    }
    void import(const QByteArray& bytes)
    {
        ui->files << writeFile(QStringLiteral("import.txt"), bytes);
        page->BtnLoadPhone->click();
    }
    void select(std::initializer_list<int> rows)
    {
        page->lstPhone->clearSelection();
        for (int r : rows)
            page->lstPhone->selectRows(r, r);
    }
    void verifyIdle()
    {
        QVERIFY(page->lstPhone->isVisible());
        QCOMPARE(page->lstPhone->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QVERIFY(!page->lblphoneInfo->isVisible());
        QVERIFY(!QApplication::overrideCursor());
        QVERIFY(!page->Busy());
        QCOMPARE(page->lblPhoneCnt->text(), QString::number(page->PhoneModel()->count()));
    }

    // An import (of a file or of the clipboard) on its way: busy, the progress text up, the list hidden.
    void verifyImportRunning()
    {
        QVERIFY(page->Busy());
        QVERIFY(QApplication::overrideCursor());
        QVERIFY(page->lblphoneInfo->isVisible());
        QCOMPARE(page->lblphoneInfo->text(), QStringLiteral("正在导入数据，请稍后....."));
        QVERIFY(!page->lstPhone->isVisible());
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void init()
    {
        Para = TPara();
        ui = std::make_unique<FakeUi>();
        page = std::make_unique<TSendFrm>();
        page->resize(900, 600);
        page->show();
        page->InitPage();
        QVERIFY(QTest::qWaitForWindowExposed(page.get()));
    }
    void cleanup()
    {
        page.reset();
        ui.reset();
        Para = TPara();
    }

    // While a bulk add hides the list, the list keeps its room: the button
    // column stays where it was and as wide as it was.
    void hiddenListKeepsItsRoom()
    {
        const QRect before = page->BtnInput->geometry();
        const int listWidth = page->lstPhone->width();
        QRect during;
        bool hidden = false;
        // Runs at the first pump of the add, while the list is hidden.
        QTimer::singleShot(0, page.get(), [&] {
            hidden = !page->lstPhone->isVisible();
            page->layout()->activate();
            during = page->BtnInput->geometry();
        });
        handEnter({QStringLiteral("13800000001")});
        QVERIFY(hidden);
        QCOMPARE(during, before);
        QCOMPARE(page->lstPhone->width(), listWidth);
        verifyIdle();
    }

    void handEntryAndTestNumbers()
    {
        handEnter(S({"138", "139", "138"}));
        verifyIdle();
        QCOMPARE(listed(), S({"138", "139", "138"}));
        QCOMPARE(Para.Phones, S({"138", "139", "138"}));
        QVERIFY(Para.TestPhones.isEmpty());

        import("150\n");
        testEnter(S({"100", " 101 "}));
        verifyIdle();
        QCOMPARE(listed(), S({"138", "139", "138", "150", "100", " 101 "}));
        QCOMPARE(Para.Phones, S({"138", "139", "138"}));
        QCOMPARE(Para.TestPhones, S({"100", " 101 "}));
        QCOMPARE(page->lblPhoneCnt->text(), QStringLiteral("6"));
        QCOMPARE(page->PhoneModel()->text(), QStringLiteral("138\n139\n138\n150\n100\n 101 \n"));
    }

    void cancelledDialogChangesNothing()
    {
        handEnter(S({"138"}));
        page->inputPhones = [](QStringList*&) { return false; };
        page->BtnInput->click();
        page->inputTestPhones = [](QStringList*&) { return false; };
        page->BtnInsetPhone->click();
        ui->files << QString(); // file dialog cancelled
        page->BtnLoadPhone->click();
        QCOMPARE(listed(), S({"138"}));
        QCOMPARE(Para.Phones, S({"138"}));
        QCOMPARE(ui->count(), 0);
        // Text files first, as ever, then tables, workbooks and all files.
        QCOMPARE(ui->filters, QStringList{QStringLiteral("txt(*.txt)|*.txt|CSV 文件(*.csv *.tsv)|*.csv *.tsv|"
                                                         "Excel 工作簿(*.xlsx *.xlsm *.xls)|*.xlsx *.xlsm *.xls|"
                                                         "OpenDocument 表格(*.ods)|*.ods|所有文件(*)|*")});
        verifyIdle();
    }

    void import_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("LF") << QByteArray("138\n139\n") << S({"138", "139"});
        QTest::newRow("CRLF") << QByteArray("138\r\n139\r\n") << S({"138", "139"});
        QTest::newRow("CR") << QByteArray("138\r139\r") << S({"138", "139"});
        QTest::newRow("mixed") << QByteArray("1\r\n2\r3\n4") << S({"1", "2", "3", "4"});
        QTest::newRow("no final line end") << QByteArray("138\n139") << S({"138", "139"});
        QTest::newRow("blank lines") << QByteArray("\n138\n\n  \n\t\r\n139 \n \n") << S({"138", "139 "});
        QTest::newRow("spaces kept") << QByteArray(" 138\t\n") << S({" 138\t"});
        QTest::newRow("empty file") << QByteArray() << QStringList();
        QTest::newRow("CR LF pair twice") << QByteArray("1\r\n\r\n2") << S({"1", "2"});
        QTest::newRow("UTF-8 with BOM") << QByteArray("\xEF\xBB\xBF"
                                                      "138\xE5\xBC\xA0\n139")
                                        << S({"138张", "139"});
        QTest::newRow("UTF-8") << QByteArray("\xE5\xBC\xA0\xE4\xB8\x89 138\n") << S({"张三 138"});
        QTest::newRow("GB18030") << QByteArray("\xD5\xC5\xC8\xFD 138\r\n139\r\n") << S({"张三 138", "139"});
        // Saved as "Unicode" by Windows editors: UTF-16 with a byte-order mark.
        QTest::newRow("UTF-16 LE") << QByteArray("\xFF\xFE\x20\x5F\x31\0\x33\0\x38\0\r\0\n\0\x31\0", 16)
                                   << S({"张138", "1"});
        QTest::newRow("UTF-16 BE") << QByteArray("\xFE\xFF\x5F\x20\0\x31\0\x33\0\x38\0\r\0\n\0\x31", 16)
                                   << S({"张138", "1"});
    }
    void import()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expected);
        handEnter(S({"100"}));
        import(bytes);
        verifyIdle();
        QCOMPARE(ui->count(), 0);
        QCOMPARE(listed(), QStringList{QStringLiteral("100")} + expected);
        QCOMPARE(Para.Phones, S({"100"})); // imported numbers stay out of the pending lists
        QVERIFY(Para.TestPhones.isEmpty());
    }

    void unreadableFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << "missing";
        QTest::newRow("folder") << "folder";
        QTest::newRow("pipe") << "pipe";
        QTest::newRow("device") << "device";
    }
    void unreadableFile()
    {
        QFETCH(QString, kind);
        handEnter(S({"100"}));
        QString path = dir.filePath(QStringLiteral("nothere.txt"));
        if (kind == QLatin1String("folder")) {
            path = dir.filePath(QStringLiteral("folder.txt"));
            QVERIFY(QDir().mkpath(path));
        }
        std::unique_ptr<TSpecialFile> special;
        if (kind == QLatin1String("pipe") || kind == QLatin1String("device")) {
            special = std::make_unique<TSpecialFile>(kind, dir.path(), kind + QStringLiteral(".txt"));
            QVERIFY(special->ok());
            path = special->path();
        }
        // Should the window block in opening the pipe, a writer frees it after
        // a few seconds, and the test fails instead of hanging.
        std::atomic<bool> done{false};
        std::unique_ptr<QThread> rescue(QThread::create([&] {
            for (int i = 0; i < 30 && !done; ++i)
                QThread::msleep(100);
            if (!done && special)
                special->unblock();
        }));
        rescue->start();
        QElapsedTimer t;
        t.start();
        ui->files << path;
        page->BtnLoadPhone->click();
        done = true;
        rescue->wait();
        QVERIFY2(t.elapsed() < 2000, "the import waited on the file");
        QCOMPARE(ui->count(), 1);
        QVERIFY(ui->last().topLevelError);
        QCOMPARE(ui->last().icon, TMsgIcon::Error);
        QVERIFY(ui->last().text.contains(path));
        QCOMPARE(listed(), S({"100"}));
        verifyIdle();
    }

    // A file too large to list is refused before it is read; nothing changes.
    void fileTooLarge()
    {
        handEnter(S({"100"}));
        const QString path = dir.filePath(QStringLiteral("huge.txt"));
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QVERIFY(f.resize(MaxImportBytes + 1)); // sparse: takes no room on the disk
        }
        QElapsedTimer t;
        t.start();
        ui->files << path;
        page->BtnLoadPhone->click();
        QFile::remove(path);
        QVERIFY(t.elapsed() < 2000);
        QCOMPARE(ui->count(), 1);
        QCOMPARE(ui->last().icon, TMsgIcon::Error);
        QVERIFY(ui->last().text.contains(QStringLiteral("太大")));
        QVERIFY(ui->last().text.contains(path));
        QCOMPARE(listed(), S({"100"}));
        QCOMPARE(Para.Phones, S({"100"}));
        verifyIdle();
    }

    // A table's number column goes to the list, and only to the list.
    void spreadsheetImport()
    {
        handEnter(S({"100"}));
        testEnter(S({"200"}));
        ui->files << writeFile(QStringLiteral("list.csv"), "姓名,手机号码,城市\r\n"
                                                           "\"张,三\",13900000001,北京\r\n"
                                                           "李四,13900000002,上海\r\n");
        page->BtnLoadPhone->click();
        QCOMPARE(ui->count(), 0);
        QCOMPARE(listed(), S({"100", "200", "13900000001", "13900000002"}));
        QCOMPARE(Para.Phones, S({"100"}));
        QCOMPARE(Para.TestPhones, S({"200"}));
        QCOMPARE(page->lblPhoneCnt->text(), QStringLiteral("4"));
        verifyIdle();
    }

    // Tables that cannot be read, or have no number column, say so and add nothing.
    void spreadsheetRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("says");
        QTest::newRow("no number column")
            << "names.csv" << QByteArray("姓名,城市\n张三,北京\n") << "没有号码列";
        QTest::newRow("damaged workbook") << "broken.xlsx" << QByteArray("PK\x03\x04 not really") << "损坏";
        QTest::newRow("password-protected workbook")
            << "secret.xlsx" << QByteArray("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1") + QByteArray(600, '\0')
            << "密码";
        QTest::newRow("damaged legacy workbook")
            << "old.xls" << QByteArray("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1") << "损坏";
    }
    void spreadsheetRefused()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, says);
        handEnter(S({"100"}));
        ui->files << writeFile(name, bytes);
        page->BtnLoadPhone->click();
        QCOMPARE(ui->count(), 1);
        QCOMPARE(ui->last().icon, TMsgIcon::Error);
        QVERIFY(ui->last().topLevelError);
        QVERIFY2(ui->last().text.contains(says), qPrintable(ui->last().text));
        QCOMPARE(listed(), S({"100"}));
        QCOMPARE(Para.Phones, S({"100"}));
        verifyIdle();
    }

    // While a table is read, the page shows it is busy and ignores the list buttons.
    void spreadsheetImportIsBusy()
    {
        handEnter(S({"100"}));
        QByteArray csv = "name,tel\n";
        for (int i = 0; i < 5000; ++i)
            csv += "n" + QByteArray::number(i) + "," + QByteArray::number(13900000000LL + i) + "\n";
        ui->files << writeFile(QStringLiteral("many.csv"), csv);
        bool seen = false;
        QTimer::singleShot(0, page.get(), [&] {
            seen = true;
            verifyImportRunning();
            page->btnClear->click();
            page->BtnDelete->click();
            page->BtnInput->click();
        });
        page->inputPhones = accepting(S({"999"}));
        page->lstPhone->selectRows(0, 0);
        page->BtnLoadPhone->click();
        QVERIFY(seen);
        QCOMPARE(page->PhoneModel()->count(), 5001);
        QCOMPARE(Para.Phones, S({"100"}));
        QCOMPARE(page->PhoneModel()->line(5000), QStringLiteral("13900004999"));
        verifyIdle();
    }

    // "粘贴导入" and Ctrl+V on the list add the clipboard's lines as an import
    // adds a file's lines: to the list only, blank lines left out.
    void pasteAddsLines_data()
    {
        QTest::addColumn<bool>("byKey");
        QTest::newRow("the button") << false;
        QTest::newRow("Ctrl+V on the list") << true;
    }
    void pasteAddsLines()
    {
        QFETCH(bool, byKey);
        handEnter(S({"100"}));
        QGuiApplication::clipboard()->setText(QStringLiteral("13900000001\r\n\r\n 13900000002 \n张三"));
        if (byKey) {
            page->lstPhone->setFocus();
            QTest::keyClick(page->lstPhone, Qt::Key_V, Qt::ControlModifier);
        } else {
            page->btnPasteImport->click();
        }
        verifyIdle();
        QCOMPARE(ui->count(), 0);
        QCOMPARE(listed(), S({"100", "13900000001", " 13900000002 ", "张三"}));
        QCOMPARE(Para.Phones, S({"100"}));
        QVERIFY(Para.TestPhones.isEmpty());
        QCOMPARE(page->lblPhoneCnt->text(), QStringLiteral("4"));
    }

    // The button stands beside "文件导入", below it in the button column.
    void pasteButtonBesideImport()
    {
        QCOMPARE(page->btnPasteImport->objectName(), QStringLiteral("btnPasteImport"));
        QCOMPARE(page->btnPasteImport->text(), QStringLiteral("粘贴导入"));
        QCOMPARE(page->btnPasteImport->parentWidget(), page->BtnLoadPhone->parentWidget());
        QCOMPARE(page->btnPasteImport->x(), page->BtnLoadPhone->x());
        QVERIFY(page->btnPasteImport->y() > page->BtnLoadPhone->y());
        QVERIFY(page->btnPasteImport->y() < page->BtnInsetPhone->y());
    }

    // Cells copied from a spreadsheet: their number column, as a .tsv gives it.
    void pasteCopiedCells()
    {
        QGuiApplication::clipboard()->setText(
            QStringLiteral("姓名\t手机号码\t城市\n张三\t13900000001\t北京\n李四\t13900000002\t上海\n"));
        page->btnPasteImport->click();
        verifyIdle();
        QCOMPARE(ui->count(), 0);
        QCOMPARE(listed(), S({"13900000001", "13900000002"}));
    }

    // Ctrl+V elsewhere on the page pastes where it is pressed, not into the list.
    void ctrlVInTheEditorIsTheEditors()
    {
        QGuiApplication::clipboard()->setText(QStringLiteral("13900000001"));
        page->activateWindow();
        page->EdtMessage->setFocus();
        QTest::keyClick(page->EdtMessage, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(page->EdtMessage->toPlainText(), QStringLiteral("13900000001"));
        QVERIFY(listed().isEmpty());
    }

    // A paste that fails says why and adds nothing; an empty clipboard adds nothing and says nothing.
    void pasteRefused()
    {
        handEnter(S({"100"}));
        QGuiApplication::clipboard()->setText(QStringLiteral("姓名\t城市\n张三\t北京\n"));
        page->btnPasteImport->click();
        verifyIdle();
        QCOMPARE(ui->count(), 1);
        QCOMPARE(ui->last().icon, TMsgIcon::Error);
        QVERIFY(ui->last().topLevelError);
        QVERIFY2(ui->last().text.contains(QStringLiteral("没有号码列")), qPrintable(ui->last().text));
        QVERIFY(ui->last().text.contains(QStringLiteral("未添加任何号码")));
        QCOMPARE(listed(), S({"100"}));

        ui->clear();
        QGuiApplication::clipboard()->clear();
        page->btnPasteImport->click();
        verifyIdle();
        QCOMPARE(ui->count(), 0);
        QCOMPARE(listed(), S({"100"}));
    }

    // While a paste runs the page shows the import's progress text, hides the
    // list and ignores the list buttons; Ctrl+V on the list then does nothing more.
    void pasteIsBusy()
    {
        handEnter(S({"100"}));
        QStringList many;
        for (int i = 0; i < 20000; ++i)
            many << QString::number(13900000000LL + i);
        QGuiApplication::clipboard()->setText(many.join(QLatin1Char('\n')));
        bool seen = false;
        QTimer::singleShot(0, page.get(), [&] {
            seen = true;
            verifyImportRunning();
            page->btnClear->click();
            page->btnPasteImport->click();
            QTest::keyClick(page->lstPhone, Qt::Key_V, Qt::ControlModifier);
        });
        page->btnPasteImport->click();
        QVERIFY(seen);
        verifyIdle();
        QCOMPARE(page->PhoneModel()->count(), 20001);
        QCOMPARE(page->PhoneModel()->line(20000), QStringLiteral("13900019999"));
    }

    void deleteDuplicates()
    {
        handEnter(S({"138", "139", "138"}));
        select({2});
        page->BtnDelete->click();
        verifyIdle();
        QCOMPARE(listed(), S({"138", "139"}));
        QCOMPARE(Para.Phones, S({"139", "138"})); // the first equal entry went
        select({0, 1});
        page->BtnDelete->click();
        QVERIFY(listed().isEmpty());
        QVERIFY(Para.Phones.isEmpty());
        QCOMPARE(page->lblPhoneCnt->text(), QStringLiteral("0"));
    }

    void deleteNumberManualAndTest()
    {
        handEnter(S({"138"}));
        testEnter(S({"138", "200"}));
        select({1});
        page->BtnDelete->click();
        QCOMPARE(listed(), S({"138", "200"}));
        QVERIFY(Para.Phones.isEmpty());
        QCOMPARE(Para.TestPhones, S({"200"}));
    }

    // Lines of any script are kept and matched exactly, also against the pending lists.
    void deleteNonAsciiLines()
    {
        handEnter(S({"张三 138", "138", "张三 138 "}));
        import(QByteArray("\xEF\xBB\xBF张三 138\n𠀀 139\n")); // UTF-8 with mark; a character beyond 16 bits
        QCOMPARE(listed(), S({"张三 138", "138", "张三 138 ", "张三 138", "𠀀 139"}));
        select({3, 4});
        page->BtnDelete->click();
        QCOMPARE(listed(), S({"张三 138", "138", "张三 138 "}));
        QCOMPARE(Para.Phones, S({"138", "张三 138 "}));
        QCOMPARE(page->PhoneModel()->text(), QStringLiteral("张三 138\n138\n张三 138 \n"));
    }

    // A line that begins with a byte-order mark (U+FEFF, which text copied out
    // of some files carries) is kept exactly as entered: listed and returned
    // with it, and matched with it against the pending lists when deleted.
    void lineWithByteOrderMarkKeptAsEntered()
    {
        const QString plain = QStringLiteral("13800000001");
        const QString marked = QChar(0xFEFF) + plain;
        handEnter({marked, plain});
        testEnter({marked});
        verifyIdle();
        QCOMPARE(listed(), (QStringList{marked, plain, marked}));
        QCOMPARE(page->PhoneModel()->index(0).data().toString(), marked);
        QCOMPARE(page->PhoneModel()->text(), marked + u'\n' + plain + u'\n' + marked + u'\n');
        QCOMPARE(Para.Phones, (QStringList{marked, plain}));
        QCOMPARE(Para.TestPhones, QStringList{marked});

        // The first marked line goes, and with it one marked entry of each
        // pending list; the plain number and its entry stay.
        select({0});
        page->BtnDelete->click();
        verifyIdle();
        QCOMPARE(listed(), (QStringList{plain, marked}));
        QCOMPARE(Para.Phones, QStringList{plain});
        QVERIFY(Para.TestPhones.isEmpty());
        QCOMPARE(page->lblPhoneCnt->text(), QStringLiteral("2"));
        select({1});
        page->BtnDelete->click();
        QCOMPARE(listed(), QStringList{plain});
        QCOMPARE(Para.Phones, QStringList{plain});
        QCOMPARE(page->PhoneModel()->text(), plain + u'\n');
        QCOMPARE(page->lblPhoneCnt->text(), QStringLiteral("1"));
    }

    // An add that fails takes back what it staged, shown or not; earlier lines stay.
    void modelTakesBackFailedAdd()
    {
        TPhoneListModel m;
        m.append(S({"1", "张"}));
        m.stageUtf8("13900000001");
        m.announce();
        m.stage(u"13900000002");
        QCOMPARE(m.rowCount(), 3);
        m.truncate(2);
        QCOMPARE(m.rowCount(), 2);
        QCOMPARE(m.staged(), 2);
        QCOMPARE(m.lines(), S({"1", "张"}));
        QCOMPARE(m.text(), QStringLiteral("1\n张\n"));
        m.stageUtf8("3");
        m.announce();
        QCOMPARE(m.lines(), S({"1", "张", "3"}));
    }

    void deleteImportedEqualToManual()
    {
        handEnter(S({"138"}));
        import("138\n150\n");
        select({1});
        page->BtnDelete->click();
        QCOMPARE(listed(), S({"138", "150"}));
        QVERIFY(Para.Phones.isEmpty()); // the hand-entered line stays listed, its entry is gone
    }

    void deleteWithoutSelection()
    {
        handEnter(S({"138", "139"}));
        page->lstPhone->clearSelection();
        page->BtnDelete->click();
        QCOMPARE(listed(), S({"138", "139"}));
        QCOMPARE(Para.Phones, S({"138", "139"}));
        verifyIdle();
    }

    // Random lists and selections against the one-line-at-a-time rule:
    // from the last selected line up, each removes the first equal entry of each pending list.
    void deleteMatchesOneByOneRule()
    {
        auto* rng = QRandomGenerator::global();
        for (int round = 0; round < 30; ++round) {
            page->btnClear->click();
            const auto num = [&]() { return QStringLiteral("13%1").arg(rng->bounded(6)); };
            QStringList hand, test, file;
            for (int i = 0; i < 12; ++i) {
                hand << num();
                test << num();
                file << num();
            }
            handEnter(hand);
            import(file.join(QLatin1Char('\n')).toUtf8());
            testEnter(test);
            QStringList rows = listed();
            QStringList phones = Para.Phones, tests = Para.TestPhones;
            page->lstPhone->clearSelection();
            QList<bool> sel(rows.size());
            for (int i = 0; i < rows.size(); ++i)
                if (rng->bounded(3) == 0) {
                    sel[i] = true;
                    page->lstPhone->selectRows(i, i);
                }
            for (int i = rows.size() - 1; i >= 0; --i)
                if (sel[i]) {
                    if (int k = int(phones.indexOf(rows[i])); k >= 0)
                        phones.removeAt(k);
                    if (int k = int(tests.indexOf(rows[i])); k >= 0)
                        tests.removeAt(k);
                }
            QStringList kept;
            for (int i = 0; i < rows.size(); ++i)
                if (!sel[i])
                    kept << rows[i];
            page->BtnDelete->click();
            QCOMPARE(listed(), kept);
            QCOMPARE(Para.Phones, phones);
            QCOMPARE(Para.TestPhones, tests);
            QCOMPARE(page->PhoneModel()->text(),
                     kept.isEmpty() ? QString() : kept.join(QLatin1Char('\n')) + QLatin1Char('\n'));
        }
    }

    void mouseSelectionDeletes()
    {
        handEnter(S({"1", "2", "3", "4"}));
        TPhoneListView* v = page->lstPhone;
        QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, v->visualRect(v->model()->index(1, 0)).center());
        QTest::mouseClick(v->viewport(), Qt::LeftButton, Qt::ControlModifier,
                          v->visualRect(v->model()->index(3, 0)).center());
        page->BtnDelete->click();
        QCOMPARE(listed(), S({"1", "3"}));
        QCOMPARE(Para.Phones, S({"1", "3"}));
    }

    // Shift extends the selection from the anchor to the clicked line in list
    // order, across columns, whichever way it goes; Ctrl adds single lines.
    void shiftSelectionFollowsListOrder_data()
    {
        QTest::addColumn<bool>("backwards");
        QTest::newRow("forwards") << false;
        QTest::newRow("backwards") << true;
    }
    void shiftSelectionFollowsListOrder()
    {
        QFETCH(bool, backwards);
        QStringList many;
        for (int i = 0; i < 300; ++i)
            many << QString::number(13800000000LL + i);
        handEnter(many);
        TPhoneListView* v = page->lstPhone;
        QVERIFY(v->columnCount() >= 3);
        const int r = v->rowsPerColumn();
        QVERIFY(r > 6);
        const auto at = [v](int row) { return v->visualRect(v->model()->index(row, 0)).center(); };
        const int a = backwards ? r + 2 : 5, b = backwards ? 5 : r + 2;
        QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, at(a));
        QTest::mouseClick(v->viewport(), Qt::LeftButton, Qt::ShiftModifier, at(b));
        using Ranges = QList<QPair<qsizetype, qsizetype>>;
        QCOMPARE(v->selectedRanges(), (Ranges{{5, r + 2}}));
        QCOMPARE(v->currentIndex().row(), b);

        // A mouse drag from one column into the next selects the lines between, in list order.
        QTest::mousePress(v->viewport(), Qt::LeftButton, {}, at(a));
        QMouseEvent move(QEvent::MouseMove, at(b), v->viewport()->mapToGlobal(at(b)), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(v->viewport(), &move);
        QTest::mouseRelease(v->viewport(), Qt::LeftButton, {}, at(b));
        QCOMPARE(v->selectedRanges(), (Ranges{{5, r + 2}}));

        // Ctrl adds, Shift+Ctrl adds a run.
        QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, at(1));
        QTest::mouseClick(v->viewport(), Qt::LeftButton, Qt::ControlModifier, at(r + 4));
        QTest::mouseClick(v->viewport(), Qt::LeftButton, Qt::ControlModifier | Qt::ShiftModifier,
                          at(2 * r + 1));
        QCOMPARE(v->selectedRanges(), (Ranges{{1, 1}, {r + 4, 2 * r + 1}}));
    }

    // The few pixels right of the last whole column belong to no line.
    void stripBesideColumnsHoldsNoLine()
    {
        QStringList many;
        for (int i = 0; i < 3000; ++i)
            many << QString::number(13800000000LL + i);
        handEnter(many);
        TPhoneListView* v = page->lstPhone;
        for (int w = 400; w < 460 && v->viewport()->width() % v->columnCount() == 0; ++w) {
            page->lstPhone->setFixedWidth(w);
            QApplication::processEvents();
        }
        QVERIFY(v->viewport()->width() % v->columnCount() != 0);
        const QPoint p(v->viewport()->width() - 1, 5);
        QVERIFY(!v->indexAt(p).isValid());
        QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, p);
        QVERIFY(v->selectedRanges().isEmpty());
    }

    void keyboardNavigationAndSelection()
    {
        QStringList many;
        for (int i = 0; i < 300; ++i)
            many << QString::number(13800000000LL + i);
        handEnter(many);
        TPhoneListView* v = page->lstPhone;
        const int r = v->rowsPerColumn();
        using Ranges = QList<QPair<qsizetype, qsizetype>>;
        v->setFocus();
        QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, v->visualRect(v->model()->index(3, 0)).center());
        QTest::keyClick(v, Qt::Key_Down);
        QCOMPARE(v->currentIndex().row(), 4);
        QCOMPARE(v->selectedRanges(), (Ranges{{4, 4}}));
        QTest::keyClick(v, Qt::Key_Right, Qt::ShiftModifier); // next column, same height
        QCOMPARE(v->currentIndex().row(), r + 4);
        QCOMPARE(v->selectedRanges(), (Ranges{{4, r + 4}}));
        QTest::keyClick(v, Qt::Key_Up, Qt::ShiftModifier);
        QCOMPARE(v->selectedRanges(), (Ranges{{4, r + 3}}));
        QTest::keyClick(v, Qt::Key_Left, Qt::ShiftModifier); // back across the anchor
        QCOMPARE(v->currentIndex().row(), 3);
        QCOMPARE(v->selectedRanges(), (Ranges{{3, 4}}));
        QTest::keyClick(v, Qt::Key_End);
        QCOMPARE(v->currentIndex().row(), 299);
        QVERIFY(v->viewport()->rect().contains(v->visualRect(v->currentIndex())));
        QTest::keyClick(v, Qt::Key_Home, Qt::ShiftModifier);
        QCOMPARE(v->selectedRanges(), (Ranges{{0, 299}}));
        QVERIFY(v->viewport()->rect().contains(v->visualRect(v->currentIndex())));
        QTest::keyClick(v, Qt::Key_Home);
        QTest::keyClick(v, Qt::Key_A, Qt::ControlModifier); // select all
        QCOMPARE(v->selectedRanges(), (Ranges{{0, 299}}));
        page->BtnDelete->click();
        QVERIFY(listed().isEmpty());
        QVERIFY(Para.Phones.isEmpty());
    }

    // Selected rows are painted in the highlight of an active list that has the focus.
    void paintsSelectedRows()
    {
        handEnter(S({"13800000000", "13800000001"}));
        TPhoneListView* v = page->lstPhone;
        QPalette pal = v->palette();
        pal.setColor(QPalette::Active, QPalette::Highlight, QColor(255, 0, 0));
        pal.setColor(QPalette::Inactive, QPalette::Highlight, QColor(0, 0, 255));
        pal.setColor(QPalette::Active, QPalette::Base, QColor(255, 255, 255));
        pal.setColor(QPalette::Inactive, QPalette::Base, QColor(255, 255, 255));
        v->setPalette(pal);
        page->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(page.get()));
        v->setFocus();
        QTRY_VERIFY(v->hasFocus());
        v->selectRows(1, 1);
        const QImage img = v->viewport()->grab().toImage();
        const QRect sel = v->visualRect(v->model()->index(1, 0));
        const QRect plain = v->visualRect(v->model()->index(0, 0));
        // The style may tint the fill slightly; the colour group is what matters.
        const QColor selected(img.pixel(sel.right() - 2, sel.center().y()));
        QVERIFY2(selected.red() > 200 && selected.blue() < 80, qPrintable(selected.name()));
        QCOMPARE(QColor(img.pixel(plain.right() - 2, plain.center().y())), QColor(255, 255, 255));

        // Scrolled sideways, with many separate selected lines: each visible line
        // shows its own state.
        QStringList many;
        for (int i = 0; i < 3000; ++i)
            many << QString::number(13900000000LL + i);
        handEnter(many);
        v->setFocus();
        v->horizontalScrollBar()->setValue(3);
        v->clearSelection();
        for (int row = 0; row < 3002; row += 3)
            v->selectRows(row, row);
        const int r = v->rowsPerColumn();
        const QImage shot = v->viewport()->grab().toImage();
        for (int row = 3 * r; row < std::min(3002, (3 + v->columnCount()) * r); ++row) {
            const QRect rect = v->visualRect(v->model()->index(row, 0));
            QVERIFY(v->viewport()->rect().contains(rect));
            const QColor c(shot.pixel(rect.right() - 2, rect.center().y()));
            const bool red = c.red() > 200 && c.blue() < 80;
            QVERIFY2(red == (row % 3 == 0), qPrintable(QStringLiteral("row %1: %2").arg(row).arg(c.name())));
        }
    }

    // The list scrolls only sideways, so the mouse wheel moves it sideways.
    void wheelScrollsSideways()
    {
        QStringList many;
        for (int i = 0; i < 3000; ++i)
            many << QString::number(13800000000LL + i);
        handEnter(many);
        TPhoneListView* v = page->lstPhone;
        QScrollBar* bar = v->horizontalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), 0);
        const QPoint p = v->viewport()->rect().center();
        QWheelEvent down(p, v->viewport()->mapToGlobal(p), QPoint(), QPoint(0, -120), Qt::NoButton,
                         Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(v->viewport(), &down);
        QVERIFY(bar->value() > 0);
        const int after = bar->value();
        QWheelEvent up(p, v->viewport()->mapToGlobal(p), QPoint(), QPoint(0, 120), Qt::NoButton,
                       Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(v->viewport(), &up);
        QVERIFY(bar->value() < after);
    }

    void clearEmptiesAll()
    {
        handEnter(S({"138"}));
        testEnter(S({"139"}));
        import("150\n");
        page->btnClear->click();
        QVERIFY(listed().isEmpty());
        QVERIFY(Para.Phones.isEmpty());
        QVERIFY(Para.TestPhones.isEmpty());
        QCOMPARE(page->lblPhoneCnt->text(), QStringLiteral("0"));
        QCOMPARE(page->PhoneModel()->text(), QString());
    }

    void clicksIgnoredWhileListOperationRuns()
    {
        handEnter(S({"138"}));
        page->inputPhones = [this](QStringList*& list) {
            page->btnClear->click();
            page->BtnDelete->click();
            page->BtnInsetPhone->click();
            page->btnSend->click();
            list->append(QStringLiteral("139"));
            return true;
        };
        page->inputTestPhones = accepting(S({"999"}));
        page->lstPhone->selectRows(0, 0);
        page->BtnInput->click();
        QCOMPARE(listed(), S({"138", "139"}));
        QCOMPARE(Para.Phones, S({"138", "139"}));
        QCOMPARE(ui->count(), 0); // the send click did not even ask
        verifyIdle();
    }

    // The number check over duplicates across hand-entered, imported and test
    // numbers: the report, the question, and the removal answered Yes or No.
    void numberCheck_data()
    {
        QTest::addColumn<bool>("remove");
        QTest::newRow("removed") << true;
        QTest::newRow("kept") << false;
    }
    void numberCheck()
    {
        QFETCH(bool, remove);
        handEnter(S({"13800000001", "13800000002", "12345", "13800000001"}));
        import("13800000002\n+8613800000003\n13800000001 \n138000000\n");
        testEnter(S({"13800000001", "13900000009", "12345"}));
        const QStringList rows = listed();
        const QStringList phones = Para.Phones, tests = Para.TestPhones;
        QCOMPARE(rows.size(), 11);
        ui->questionAnswer = remove ? TMsgResult::Yes : TMsgResult::No;
        page->lstPhone->selectRows(5, 6); // the check neither uses nor needs a selection

        page->BtnCheckPhone->click();
        verifyIdle();
        QCOMPARE(ui->count(), 2);
        const TUiMessage report = ui->shown[0];
        QCOMPARE(report.caption, QStringLiteral("号码检查"));
        QCOMPARE(report.icon, TMsgIcon::Information);
        QCOMPARE(report.buttons, TMsgButtons::Ok);
        for (const char* part :
             {"共11行号码", "重复的号码（与前面某一行完全相同）：4行", "第4行：“13800000001”",
              "第5行：“13800000002”", "第9行：“13800000001”", "第11行：“12345”", "无效的手机号码：3行",
              "第3行：“12345”", "第8行：“138000000”"})
            QVERIFY2(report.text.contains(QString::fromUtf8(part)), qPrintable(report.text));
        QVERIFY(report.text.contains(PlausibleMobileRule()));
        QVERIFY(!report.text.contains(QStringLiteral("第1行")));
        QVERIFY(!report.text.contains(QStringLiteral("第7行"))); // a trailing blank is another text
        const TUiMessage question = ui->shown[1];
        QCOMPARE(question.buttons, TMsgButtons::YesNo);
        QCOMPARE(question.icon, TMsgIcon::Question);
        QCOMPARE(question.defaultButton, TMsgResult::No);
        QVERIFY2(question.text.contains(QStringLiteral("6行")), qPrintable(question.text));

        if (!remove) {
            QCOMPARE(listed(), rows);
            QCOMPARE(Para.Phones, phones);
            QCOMPARE(Para.TestPhones, tests);
            QCOMPARE(page->lblPhoneCnt->text(), QStringLiteral("11"));
            return;
        }
        QCOMPARE(listed(),
                 S({"13800000001", "13800000002", "+8613800000003", "13800000001 ", "13900000009"}));
        QCOMPARE(page->lblPhoneCnt->text(), QStringLiteral("5"));
        QCOMPARE(page->PhoneModel()->text(), listed().join(QLatin1Char('\n')) + QLatin1Char('\n'));
        // The pending lists lose what deleting the removed lines by selection takes.
        QStringList p = phones, t = tests;
        for (int row : {10, 8, 7, 4, 3, 2}) {
            if (int k = int(p.indexOf(rows[row])); k >= 0)
                p.removeAt(k);
            if (int k = int(t.indexOf(rows[row])); k >= 0)
                t.removeAt(k);
        }
        QCOMPARE(Para.Phones, p);
        QCOMPARE(Para.TestPhones, t);
        QVERIFY(Para.Phones.isEmpty());
        QCOMPARE(Para.TestPhones, S({"13900000009"}));

        // A second check finds nothing and asks nothing.
        ui->clear();
        page->BtnCheckPhone->click();
        QCOMPARE(ui->count(), 1);
        QCOMPARE(ui->last().buttons, TMsgButtons::Ok);
    }

    // Random lists from a few texts against the rule: a line goes when it equals
    // an earlier line or is no plausible number; the pending lists lose what
    // deleting those lines would take.
    void numberCheckMatchesRule()
    {
        auto* rng = QRandomGenerator::global();
        const QStringList texts = S({"13800000000", "13800000001", " 13800000000", "+8613900000000",
                                     "1380000000", "13800000000x", "", "23800000000", "8613800000001"});
        for (int round = 0; round < 10; ++round) {
            page->btnClear->click();
            const auto pick = [&](int n) {
                QStringList out;
                for (int i = 0; i < n; ++i) {
                    QString t = texts[rng->bounded(int(texts.size()))];
                    out << (t.isEmpty() ? QStringLiteral("1%1").arg(rng->bounded(1000000)) : t);
                }
                return out;
            };
            handEnter(pick(rng->bounded(40)));
            import(pick(rng->bounded(400)).join(QLatin1Char('\n')).toUtf8());
            testEnter(pick(rng->bounded(40)));
            const QStringList rows = listed();
            QStringList phones = Para.Phones, tests = Para.TestPhones, kept;
            QList<int> gone;
            QSet<QString> seen;
            qsizetype duplicates = 0, implausible = 0;
            for (int i = 0; i < rows.size(); ++i) {
                const bool dup = seen.contains(rows[i]);
                seen.insert(rows[i]);
                const bool bad = !IsPlausibleMobile(rows[i]);
                duplicates += dup;
                implausible += bad;
                if (dup || bad)
                    gone.prepend(i);
                else
                    kept << rows[i];
            }
            for (int i : gone) {
                if (int k = int(phones.indexOf(rows[i])); k >= 0)
                    phones.removeAt(k);
                if (int k = int(tests.indexOf(rows[i])); k >= 0)
                    tests.removeAt(k);
            }
            ui->clear();
            page->BtnCheckPhone->click();
            if (gone.isEmpty()) {
                QCOMPARE(ui->count(), 1);
                continue;
            }
            QCOMPARE(ui->count(), 2);
            QVERIFY(ui->shown[0].text.contains(
                QStringLiteral("重复的号码（与前面某一行完全相同）：%1行").arg(duplicates)));
            QVERIFY(ui->shown[0].text.contains(QStringLiteral("无效的手机号码：%1行").arg(implausible)));
            QVERIFY(ui->shown[1].text.contains(QStringLiteral("这%1行").arg(gone.size())));
            QCOMPARE(listed(), kept);
            QCOMPARE(Para.Phones, phones);
            QCOMPARE(Para.TestPhones, tests);
            QCOMPARE(page->lblPhoneCnt->text(), QString::number(kept.size()));
        }
    }

    // A clean list, or an empty one, gets a report that says so and no question.
    void numberCheckFindsNothing_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("empty") << QStringList();
        QTest::newRow("plausible and distinct")
            << S({"13800000000", " 13800000001\t", "+8613800000000", "008613800000000", "8613800000000"});
    }
    void numberCheckFindsNothing()
    {
        QFETCH(QStringList, lines);
        if (!lines.isEmpty())
            handEnter(lines);
        page->BtnCheckPhone->click();
        verifyIdle();
        QCOMPARE(ui->count(), 1);
        QCOMPARE(ui->last().caption, QStringLiteral("号码检查"));
        QCOMPARE(ui->last().icon, TMsgIcon::Information);
        QVERIFY(ui->last().text.contains(QStringLiteral("未发现")));
        QVERIFY(ui->last().text.contains(PlausibleMobileRule()));
        QCOMPARE(listed(), lines);
        QCOMPARE(Para.Phones, lines);
    }

    // The report stays short: a few examples of each kind, each cut short.
    void numberCheckExamplesAreShort()
    {
        QStringList lines;
        for (int i = 0; i < 20; ++i)
            lines << QStringLiteral("13800000000");
        lines << QString(100000, QLatin1Char('7')) + QStringLiteral("\tend");
        handEnter(lines);
        ui->questionAnswer = TMsgResult::No;
        page->BtnCheckPhone->click();
        const QString report = ui->shown.value(0).text;
        QVERIFY(report.contains(QStringLiteral("19行")));
        QCOMPARE(report.count(QStringLiteral("“13800000000”")), 5);
        QVERIFY(report.size() < 2000);
        QVERIFY(report.contains(QString(30, QLatin1Char('7')) + QChar(0x2026)));
    }

    // While the check's boxes are open, the list buttons and the send buttons do nothing.
    void clicksIgnoredWhileCheckRuns()
    {
        handEnter(S({"138", "13800000000", "13800000000"}));
        page->inputPhones = accepting(S({"999"}));
        page->lstPhone->selectRows(0, 2);
        int inBox = 0;
        ui->onMessage = [&](const TUiMessage&) {
            if (inBox++ > 0)
                return;
            for (QPushButton* b : {page->btnClear, page->BtnDelete, page->BtnInput, page->BtnInsetPhone,
                                   page->BtnCheckPhone, page->btnSend})
                b->click();
            QVERIFY(page->Busy());
        };
        ui->questionAnswer = TMsgResult::Yes;
        page->BtnCheckPhone->click();
        QCOMPARE(inBox, 2); // the report and the question, nothing else
        QCOMPARE(listed(), S({"13800000000"}));
        QCOMPARE(Para.Phones, S({"13800000000"}));
        verifyIdle();
    }

    // A cell is given the start of its line, never more than its width can show.
    void visiblePart_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("shown");
        const QString longLine = QString(5000, QLatin1Char('1'));
        QTest::newRow("short") << "13800000000" << 100 << "13800000000";
        QTest::newRow("as long as the width allows") << "12345" << 4 << "12345";
        QTest::newRow("cut") << longLine << 99 << QString(100, QLatin1Char('1')) + QChar(0x2026);
        QTest::newRow("no width") << "12345" << 0 << QStringLiteral("1…");
        QTest::newRow("pair kept whole") << QStringLiteral("12\U0001F600345") << 2 << QStringLiteral("12…");
        QTest::newRow("pair before the cut")
            << QStringLiteral("1\U0001F600345") << 2 << QStringLiteral("1\U0001F600…");
    }
    void visiblePart()
    {
        QFETCH(QString, line);
        QFETCH(int, width);
        QFETCH(QString, shown);
        QCOMPARE(VisiblePart(line, width), shown);
        const QByteArray utf8 = line.toUtf8();
        QCOMPARE(VisiblePart(QByteArrayView(utf8), width), shown);
    }

    // A very long line shows its start in its cell; the batch keeps it whole.
    void longLineListedWhole()
    {
        QByteArray line;
        for (int i = 0; i < 200000; ++i)
            line += QByteArray::number(13800000000LL + i) + ',';
        import(line + "\n13900000000\n");
        verifyIdle();
        const QImage shot = page->lstPhone->viewport()->grab().toImage();
        QVERIFY(!shot.isNull());
        QCOMPARE(page->PhoneModel()->count(), 2);
        QCOMPARE(page->PhoneModel()->line(0), QString::fromLatin1(line));
        QCOMPARE(page->PhoneModel()->text(), QString::fromLatin1(line) + QStringLiteral("\n13900000000\n"));
    }

    void columnsFollowWidth()
    {
        const int sample =
            page->lstPhone->fontMetrics().horizontalAdvance(QStringLiteral("13600000000        "));
        QVERIFY(sample > 0);
        page->resize(1400, 600);
        page->lstPhone->setMaximumWidth(sample / 2);
        QApplication::processEvents();
        QVERIFY(page->lstPhone->width() < sample);
        QCOMPARE(page->lstPhone->columnCount(), 1);
        int last = 1;
        for (int extra : {2, 5, 9}) {
            page->lstPhone->setMaximumWidth(extra * sample + 3);
            QApplication::processEvents();
            QCOMPARE(page->lstPhone->columnCount(), page->lstPhone->width() / sample);
            QVERIFY(page->lstPhone->columnCount() > last);
            last = page->lstPhone->columnCount();
        }
        // Lines flow top to bottom and then into the next column; more lines than fit scroll sideways.
        QStringList many;
        for (int i = 0; i < 5000; ++i)
            many << QString::number(13800000000LL + i);
        handEnter(many);
        TPhoneListView* v = page->lstPhone;
        const int r = v->rowsPerColumn();
        QCOMPARE(v->visualRect(v->model()->index(1, 0)).top(),
                 v->visualRect(v->model()->index(0, 0)).bottom() + 1);
        QCOMPARE(v->visualRect(v->model()->index(r, 0)).left(), v->columnWidth());
        QVERIFY(v->horizontalScrollBar()->maximum() > 0);
        v->scrollTo(v->model()->index(4999, 0));
        QVERIFY(v->viewport()->rect().contains(v->visualRect(v->model()->index(4999, 0))));
    }
};

QTEST_MAIN(TstSendList)
#include "tst_send_list.moc"

// The real message seam with real boxes and the real file dialog, offscreen,
// and Qt's own texts in Chinese: what every other test replaces with FakeUi.
#include "app/uDataType.h"
#include "app/uLanguage.h"
#include "app/uUi.h"
#include "app/uUiQt.h"
#include "send/frmSend.h"
#include "send/uPhoneList.h"
#include "tests/support/Modal.h"

#include <QAbstractButton>
#include <QAbstractFileIconProvider>
#include <QCalendarWidget>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeView>
#include <QtTest>
#include <functional>

namespace {

// What a message box showed while it was open.
struct TSeenBox
{
    bool seen = false;
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons; // captions, in the box's order
    QString defaultButton;
    QString escapeButton;
};

QString caption(QAbstractButton* b)
{
    return b ? b->text() : QString();
}

// Reads the next message box, then answers it: with a key, or by clicking the
// button of that caption.
void readAndAnswer(TSeenBox& seen, const QString& answer)
{
    whenModal([&seen, answer](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box)
            return;
        seen.seen = true;
        seen.caption = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        for (QAbstractButton* b : box->buttons())
            seen.buttons << b->text();
        seen.buttons.sort();
        seen.defaultButton = caption(box->defaultButton());
        seen.escapeButton = caption(box->escapeButton());
        if (answer == QLatin1String("Escape"))
            QTest::keyClick(box, Qt::Key_Escape);
        else if (answer == QLatin1String("Enter"))
            QTest::keyClick(box, Qt::Key_Return);
        else
            for (QAbstractButton* b : box->buttons())
                if (b->text() == answer)
                    b->click();
    });
}

// What the file-open dialog showed.
struct TSeenFileDialog
{
    bool seen = false;
    bool widgetDialog = false; // Qt's own dialog, not the desktop's
    QString title;
    QStringList filters;
    QStringList labels; // look in, file name, files of type
    QStringList buttons;
    QStringList columns;
};

void readFileDialog(TSeenFileDialog& seen, const QString& choose)
{
    whenModal([&seen, choose](QWidget* w) {
        auto* dlg = qobject_cast<QFileDialog*>(w);
        if (!dlg)
            return;
        seen.seen = true;
        seen.widgetDialog = dlg->testOption(QFileDialog::DontUseNativeDialog);
        seen.title = dlg->windowTitle();
        seen.filters = dlg->nameFilters();
        for (const char* name : {"lookInLabel", "fileNameLabel", "fileTypeLabel"})
            if (auto* l = dlg->findChild<QLabel*>(QLatin1String(name)))
                seen.labels << l->text();
        if (auto* box = dlg->findChild<QDialogButtonBox*>())
            for (QAbstractButton* b : box->buttons())
                seen.buttons << b->text();
        seen.buttons.sort();
        if (auto* tree = dlg->findChild<QTreeView*>())
            for (int c = 0; c < tree->header()->count(); ++c)
                seen.columns << tree->model()->headerData(c, Qt::Horizontal).toString();
        if (choose.isEmpty())
            dlg->reject();
        else {
            dlg->selectFile(choose);
            static_cast<QDialog*>(dlg)->accept();
        }
    });
}

const QString kOk = QStringLiteral("确定");
const QString kYes = QStringLiteral("是(&Y)");
const QString kNo = QStringLiteral("否(&N)");

} // namespace

class TstUiQt : public QObject
{
    Q_OBJECT
    std::unique_ptr<TQtUiSeam> seam;
    QTemporaryDir dir;

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(InstallQtChinese());
        QVERIFY(InstallQtChinese()); // a second call keeps the first
    }
    void init()
    {
        seam = std::make_unique<TQtUiSeam>();
        SetUiSeam(seam.get());
    }
    void cleanup()
    {
        if (QWidget* w = QApplication::activeModalWidget())
            w->close();
        SetUiSeam(nullptr);
        seam.reset();
    }

    // Each kind of message as the user sees it, and what each way of closing it answers.
    void messageBoxes_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("icon");
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<QString>("defaultButton");
        QTest::addColumn<QString>("result");
        const QStringList ok{kOk};
        const QStringList yesNo = QStringList{kYes, kNo};
        QTest::newRow("error, Enter") << "error"
                                      << "Enter" << int(QMessageBox::Critical) << ok << kOk << "Ok";
        QTest::newRow("error, Escape") << "error"
                                       << "Escape" << int(QMessageBox::Critical) << ok << kOk << "Ok";
        QTest::newRow("information") << "info" << kOk << int(QMessageBox::Information) << ok << kOk << "Ok";
        QTest::newRow("warning") << "warning" << kOk << int(QMessageBox::Warning) << ok << kOk << "Ok";
        QTest::newRow("question, Yes clicked")
            << "question" << kYes << int(QMessageBox::Question) << yesNo << kNo << "Yes";
        QTest::newRow("question, No clicked")
            << "question" << kNo << int(QMessageBox::Question) << yesNo << kNo << "No";
        QTest::newRow("question, Enter takes the default No")
            << "question"
            << "Enter" << int(QMessageBox::Question) << yesNo << kNo << "No";
        QTest::newRow("question, Escape answers No")
            << "question"
            << "Escape" << int(QMessageBox::Question) << yesNo << kNo << "No";
        QTest::newRow("top-level error report") << "report"
                                                << "Enter" << int(QMessageBox::Critical) << ok << kOk << "Ok";
    }
    void messageBoxes()
    {
        QFETCH(QString, kind);
        QFETCH(QString, answer);
        QFETCH(int, icon);
        QFETCH(QStringList, buttons);
        QFETCH(QString, defaultButton);
        QFETCH(QString, result);
        SetAppTitle(QStringLiteral("Korvessa"));
        const QString text = QStringLiteral("网络异常，数据库连接失败");
        TSeenBox seen;
        readAndAnswer(seen, answer);
        QString got;
        if (kind == QLatin1String("error")) {
            got =
                ShowMessage(text, QStringLiteral("连接异常"), TMsgIcon::Error) == TMsgResult::Ok ? "Ok" : "?";
        } else if (kind == QLatin1String("info")) {
            ShowInfo(text, QStringLiteral("连接异常"));
            got = QStringLiteral("Ok");
        } else if (kind == QLatin1String("warning")) {
            got = ShowMessage(text, QStringLiteral("连接异常"), TMsgIcon::Warning) == TMsgResult::Ok ? "Ok"
                                                                                                     : "?";
        } else if (kind == QLatin1String("question")) {
            got = AskYesNo(text, QStringLiteral("连接异常")) ? "Yes" : "No";
        } else {
            ReportError(text);
            got = QStringLiteral("Ok");
        }
        QVERIFY(seen.seen);
        QCOMPARE(got, result);
        QCOMPARE(seen.text, text);
        QCOMPARE(seen.caption,
                 kind == QLatin1String("report") ? QStringLiteral("Korvessa") : QStringLiteral("连接异常"));
        QCOMPARE(int(seen.icon), icon);
        QStringList sorted = buttons;
        sorted.sort();
        QCOMPARE(seen.buttons, sorted);
        QCOMPARE(seen.defaultButton, defaultButton);
        if (kind == QLatin1String("question"))
            QCOMPARE(seen.escapeButton, kNo);
        QVERIFY(!QApplication::activeModalWidget());
    }

    // No box is narrower than a window manager needs to show its caption
    // whole: the caption in a bold title font, and room for the window's icon
    // and the title bar's three buttons and margins (120 pixels; 86 under
    // openbox's default theme). Every caption the program uses, each with the
    // shortest text it comes with.
    void boxesAreWideEnoughForTheirCaptions_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("question");
        QTest::newRow("send succeeded") << "发送成功"
                                        << "信息提交成功" << false;
        QTest::newRow("send failed") << "发送失败"
                                     << "接收号码不能为空" << false;
        QTest::newRow("recharge succeeded") << "充值成功"
                                            << "充值成功" << false;
        QTest::newRow("recharge failed") << "充值失败"
                                         << "充值失败" << false;
        QTest::newRow("change failed") << "修改失败"
                                       << "修改密码失败" << false;
        QTest::newRow("add failed") << "添加失败"
                                    << "用户已存在" << false;
        QTest::newRow("password") << "密码修改"
                                  << "旧密码有误" << false;
        QTest::newRow("login failed") << "登录失败"
                                      << "用户名或密码无效" << false;
        QTest::newRow("connection") << "连接异常"
                                    << "网络异常，数据库连接失败" << false;
        QTest::newRow("number check") << "号码检查"
                                      << "共1行号码。" << false;
        QTest::newRow("notice") << "提示"
                                << "是否退出程序？" << true;
        QTest::newRow("top-level report") << "Korvessa"
                                          << "无法写入文件 a" << false;
        QTest::newRow("a single character") << "x"
                                            << "y" << false;
    }
    void boxesAreWideEnoughForTheirCaptions()
    {
        QFETCH(QString, caption);
        QFETCH(QString, text);
        QFETCH(bool, question);
        int width = 0;
        QFont font;
        whenModal([&](QWidget* w) {
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                width = box->width();
                font = box->font();
                QTest::keyClick(box, Qt::Key_Escape);
            }
        });
        if (question)
            AskYesNo(text, caption);
        else
            ShowInfo(text, caption);
        QVERIFY(width > 0);
        font.setBold(true);
        const int needed = QFontMetrics(font).horizontalAdvance(caption) + 120;
        QVERIFY2(width >= needed, qPrintable(QStringLiteral("%1 < %2").arg(width).arg(needed)));
    }

    // A text field's context menu reads in Chinese.
    void contextMenuInChinese()
    {
        QLineEdit edit(QStringLiteral("13800000000"));
        std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
        QStringList texts;
        for (QAction* a : menu->actions())
            if (!a->isSeparator())
                texts << a->text().section(QLatin1Char('\t'), 0, 0);
        QCOMPARE(texts,
                 (QStringList{QStringLiteral("撤消(&U)"), QStringLiteral("重做(&R)"),
                              QStringLiteral("剪切(&T)"), QStringLiteral("复制(&C)"),
                              QStringLiteral("粘贴(&P)"), QStringLiteral("删除"), QStringLiteral("全选")}));
    }

    // The file dialog's list names the kinds of its entries in Chinese too.
    void fileKindsInChinese()
    {
        QAbstractFileIconProvider icons;
        QCOMPARE(icons.type(QFileInfo(dir.path())), QStringLiteral("文件夹"));
    }

    // The calendar of a date field names its months in Chinese.
    void calendarInChinese()
    {
        QCalendarWidget calendar;
        calendar.setSelectedDate(QDate(2024, 12, 1));
        calendar.show();
        auto* month = calendar.findChild<QToolButton*>(QStringLiteral("qt_calendar_monthbutton"));
        QVERIFY(month);
        QCOMPARE(month->text(), QStringLiteral("十二月"));
    }

    // The file-open dialog of the seam: Qt's own, in Chinese, with the filter
    // in the dialog's form; cancelling gives an empty name, choosing a file its path.
    void fileDialog()
    {
        const QString path = dir.filePath(QStringLiteral("numbers.txt"));
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        TSeenFileDialog seen;
        readFileDialog(seen, QString());
        QCOMPARE(AskOpenFileName(QStringLiteral("txt(*.txt)|*.txt")), QString());
        QVERIFY(seen.seen);
        QVERIFY(seen.widgetDialog);
        QCOMPARE(seen.title, QStringLiteral("打开"));
        QCOMPARE(seen.filters, QStringList{QStringLiteral("txt(*.txt)")});
        QCOMPARE(seen.labels, (QStringList{QStringLiteral("查找范围："), QStringLiteral("文件名称(&N)："),
                                           QStringLiteral("文件类型：")}));
        QCOMPARE(seen.buttons, (QStringList{QStringLiteral("取消"), QStringLiteral("打开(&O)")}));
        QCOMPARE(seen.columns, (QStringList{QStringLiteral("名称"), QStringLiteral("体积"),
                                            QStringLiteral("类型"), QStringLiteral("修改日期")}));

        TSeenFileDialog chosen;
        readFileDialog(chosen, path);
        QCOMPARE(AskOpenFileName(QStringLiteral("txt(*.txt)|*.txt")), path);
        QVERIFY(chosen.seen);
    }

    // "文件导入" on the send page opens that dialog through the seam and lists the chosen file.
    void importThroughTheRealDialog()
    {
        const QString path = dir.filePath(QStringLiteral("import.txt"));
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("13800000001\r\n13800000002\r\n");
        }
        Para = TPara();
        TSendFrm page;
        page.resize(900, 600);
        page.show();
        page.InitPage();
        TSeenFileDialog seen;
        readFileDialog(seen, path);
        page.BtnLoadPhone->click();
        QVERIFY(seen.seen);
        QVERIFY(seen.widgetDialog);
        QCOMPARE(seen.labels.value(1), QStringLiteral("文件名称(&N)："));
        QCOMPARE(seen.filters,
                 (QStringList{QStringLiteral("txt(*.txt)"), QStringLiteral("CSV 文件(*.csv *.tsv)"),
                              QStringLiteral("Excel 工作簿(*.xlsx *.xlsm *.xls)"),
                              QStringLiteral("OpenDocument 表格(*.ods)"), QStringLiteral("所有文件(*)")}));
        QCOMPARE(page.PhoneModel()->count(), 2);
    }
};

QTEST_MAIN(TstUiQt)
#include "tst_ui_qt.moc"

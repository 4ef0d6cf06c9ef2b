#include "send/frmSend.h"

#include "app/uDataType.h"
#include "app/uPageHost.h"
#include "app/uUi.h"
#include "app/uUiQt.h"
#include "data/uDM.h"
#include "send/frmInputPhone.h"
#include "send/uPhoneList.h"

#include <QDateEdit>
#include <QElapsedTimer>
#include <QFile>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>
#include <QTimeEdit>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// Window messages are pumped at most this often during a long list operation.
constexpr int PumpIntervalMs = 20;

const QString SampleText = QStringLiteral("13600000000        "); // eleven digits and eight blanks

// Says when the next pump of window messages is due; asks the clock only every 256 calls.
class TPacer
{
public:
    TPacer() { t_.start(); }
    bool due()
    {
        if ((++calls_ & 255) != 0)
            return false;
        if (t_.elapsed() < PumpIntervalMs)
            return false;
        t_.restart();
        return true;
    }

private:
    QElapsedTimer t_;
    unsigned calls_ = 0;
};

// Marks the page busy for a list operation or a send; the previous state comes back at the end.
class TBusyGuard
{
public:
    explicit TBusyGuard(bool& flag) : flag_(flag), old_(flag) { flag_ = true; }
    ~TBusyGuard() { flag_ = old_; }
    TBusyGuard(const TBusyGuard&) = delete;
    TBusyGuard& operator=(const TBusyGuard&) = delete;

private:
    bool& flag_;
    bool old_;
};

QLabel* boldLabel(const QString& text, QWidget* parent, const char* name = nullptr)
{
    auto* l = new QLabel(text, parent);
    QFont f = l->font();
    f.setBold(true);
    l->setFont(f);
    if (name)
        l->setObjectName(QString::fromLatin1(name));
    return l;
}

QPushButton* button(const QString& text, QWidget* parent, const char* name)
{
    auto* b = new QPushButton(text, parent);
    b->setObjectName(QString::fromLatin1(name));
    return b;
}

} // namespace

TSendFrm::TSendFrm(QWidget* parent) : TWorkPage(parent)
{
    setObjectName(QStringLiteral("TSendFrm"));
    inputPhones = [](QStringList*& l) { return InputPhones(l); };
    inputTestPhones = [](QStringList*& l) { return InputTestPhones(l); };

    // --- message area ---
    auto* top = new QWidget(this);
    top->setFixedHeight(230);
    auto* caption = new QHBoxLayout;
    caption->addWidget(new QLabel(QStringLiteral("发送内容"), top));
    caption->addSpacing(24);
    caption->addWidget(new QLabel(QStringLiteral("字数"), top));
    lblContentCnt = boldLabel(QStringLiteral("0"), top, "lblContentCnt");
    lblContentCnt->setMinimumWidth(lblContentCnt->fontMetrics().horizontalAdvance(
        QStringLiteral("100000，信息超过70个字，将分10000条发送.")));
    caption->addWidget(lblContentCnt);
    lblSendInfo = boldLabel(QStringLiteral("正在向服务器提交数据，请稍后....."), top, "lblSendInfo");
    lblSendInfo->setVisible(false);
    caption->addWidget(lblSendInfo);
    caption->addStretch();
    EdtMessage = new QPlainTextEdit(top);
    EdtMessage->setObjectName(QStringLiteral("EdtMessage"));
    st = new QProgressBar(top);
    st->setObjectName(QStringLiteral("st"));
    st->setRange(0, 100);
    st->setValue(0);
    st->setTextVisible(false);
    st->setFixedHeight(6);
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(200);

    // --- booking and send strip ---
    edtDate = new QDateEdit(top);
    edtDate->setObjectName(QStringLiteral("edtDate"));
    edtDate->setCalendarPopup(true);
    edtDate->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    edtTime = new QTimeEdit(top);
    edtTime->setObjectName(QStringLiteral("edtTime"));
    edtTime->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    lblBookingNotice =
        new QLabel(QStringLiteral("注意事项:预约发送只有超过2万条时有效，预约时间在24小时内有效。"), top);
    lblBookingNotice->setObjectName(QStringLiteral("lblBookingNotice"));
    lblBookingNotice->setWordWrap(true);
    btnBookingSend = button(QStringLiteral("预约发送"), top, "btnBookingSend");
    btnBookingSend->setIcon(style()->standardIcon(QStyle::SP_FileDialogDetailedView));
    btnSend = button(QStringLiteral("立即发送"), top, "btnSend");
    btnSend->setIcon(style()->standardIcon(QStyle::SP_ArrowForward));
    auto* strip = new QHBoxLayout;
    strip->addWidget(edtDate);
    strip->addWidget(edtTime);
    strip->addWidget(lblBookingNotice, 1);
    strip->addWidget(btnBookingSend);
    strip->addWidget(btnSend);

    auto* topLayout = new QVBoxLayout(top);
    topLayout->setContentsMargins(0, 0, 0, 0);
    topLayout->addLayout(caption);
    topLayout->addWidget(EdtMessage, 1);
    topLayout->addWidget(st);
    topLayout->addLayout(strip);

    // --- phone list area ---
    phoneHeader = new QWidget(this);
    auto* header = new QHBoxLayout(phoneHeader);
    header->setContentsMargins(0, 0, 0, 0);
    header->addWidget(new QLabel(QStringLiteral("号码列表"), phoneHeader));
    header->addSpacing(24);
    header->addWidget(new QLabel(QStringLiteral("个数"), phoneHeader));
    lblPhoneCnt = boldLabel(QStringLiteral("0"), phoneHeader, "lblPhoneCnt");
    lblPhoneCnt->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblPhoneCnt->setMinimumWidth(lblPhoneCnt->fontMetrics().horizontalAdvance(QStringLiteral("00000000")));
    header->addWidget(lblPhoneCnt);
    header->addSpacing(24);
    lblphoneInfo = boldLabel(QString(), phoneHeader, "lblphoneInfo");
    lblphoneInfo->setVisible(false);
    header->addWidget(lblphoneInfo);
    header->addStretch();

    phones_ = new TPhoneListModel(this);
    lstPhone = new TPhoneListView(this);
    lstPhone->setObjectName(QStringLiteral("lstPhone"));
    lstPhone->setModel(phones_);
    lstPhone->installEventFilter(this);

    BtnInput = button(QStringLiteral("手工录入"), this, "BtnInput");
    BtnLoadPhone = button(QStringLiteral("文件导入"), this, "BtnLoadPhone");
    BtnInsetPhone = button(QStringLiteral("插入测试号"), this, "BtnInsetPhone");
    BtnDelete = button(QStringLiteral("删除选中号"), this, "BtnDelete");
    btnClear = button(QStringLiteral("清空列表"), this, "btnClear");
    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {BtnInput, BtnLoadPhone, BtnInsetPhone, BtnDelete, btnClear})
        buttons->addWidget(b);
    buttons->addStretch();
    auto* listRow = new QHBoxLayout;
    listRow->addWidget(lstPhone, 1);
    listRow->addLayout(buttons);

    auto* main = new QVBoxLayout(this);
    main->addWidget(top);
    main->addWidget(phoneHeader);
    main->addLayout(listRow, 1);

    connect(EdtMessage, &QPlainTextEdit::textChanged, this, &TSendFrm::EdtMessageChange);
    connect(Timer1, &QTimer::timeout, this, &TSendFrm::Timer1Timer);
    connect(btnSend, &QPushButton::clicked, this, &TSendFrm::btnSendClick);
    connect(btnBookingSend, &QPushButton::clicked, this, &TSendFrm::btnBookingSendClick);
    connect(BtnInput, &QPushButton::clicked, this, &TSendFrm::BtnInputClick);
    connect(BtnLoadPhone, &QPushButton::clicked, this, &TSendFrm::BtnLoadPhoneClick);
    connect(BtnInsetPhone, &QPushButton::clicked, this, &TSendFrm::BtnInsetPhoneClick);
    connect(BtnDelete, &QPushButton::clicked, this, &TSendFrm::BtnDeleteClick);
    connect(btnClear, &QPushButton::clicked, this, &TSendFrm::btnClearClick);
}

TSendFrm::~TSendFrm() = default;

void TSendFrm::InitPage()
{
    edtDate->setDate(QDate::currentDate());
    edtTime->setTime(QTime::currentTime());
    lblBookingNotice->setText(Para.BookingNotice);
    ArrangeColumns();
}

// --- layout ---

void TSendFrm::ArrangeColumns()
{
    const int sample = lstPhone->fontMetrics().horizontalAdvance(SampleText);
    const int n = sample > 0 ? lstPhone->width() / sample : 1;
    lstPhone->setColumnCount(n < 1 ? 1 : n);
    lstPhone->viewport()->update();
}

void TSendFrm::FrameResize()
{
    ArrangeColumns();
}

void TSendFrm::resizeEvent(QResizeEvent* event)
{
    TWorkPage::resizeEvent(event);
    FrameResize();
}

bool TSendFrm::eventFilter(QObject* watched, QEvent* event)
{
    // The list box also changes width when the layout alone moves it.
    if (watched == lstPhone && event->type() == QEvent::Resize)
        ArrangeColumns();
    return TWorkPage::eventFilter(watched, event);
}

// --- labels ---

void TSendFrm::ShowPhoneCount()
{
    lblPhoneCnt->setText(QString::number(phones_->count()));
}

void TSendFrm::ShowPhoneInfo(bool visible, const QString& text)
{
    lblphoneInfo->setText(text);
    lblphoneInfo->setVisible(visible);
    Pause(30);
}

// --- pending lists ---

void TSendFrm::AddToPending(const QString& kind, const QStringList& list)
{
    if (kind == QLatin1String("manual"))
        Para.Phones.append(list);
    else if (kind == QLatin1String("test"))
        Para.TestPhones.append(list);
}

void TSendFrm::RemoveFromPending(const QString& kind, const QString& number)
{
    QStringList* pending = kind == QLatin1String("manual") ? &Para.Phones
                           : kind == QLatin1String("test") ? &Para.TestPhones
                                                           : nullptr;
    if (!pending)
        return;
    const qsizetype i = pending->indexOf(number);
    if (i >= 0)
        pending->removeAt(i);
}

void TSendFrm::removeEqualEntries(QStringList& pending, const QHash<QStringView, qsizetype>& counts)
{
    if (pending.isEmpty() || counts.isEmpty())
        return;
    QHash<QStringView, qsizetype> left = counts;
    qsizetype write = 0;
    for (qsizetype i = 0; i < pending.size(); ++i) {
        auto it = left.find(QStringView(pending.at(i)));
        if (it != left.end() && it.value() > 0) {
            --it.value(); // this entry goes: it is among the first equal ones
            continue;
        }
        if (write != i)
            pending[write] = std::move(pending[i]);
        ++write;
    }
    pending.resize(write);
}

// --- adding numbers ---

void TSendFrm::beginBulkAdd(const QString& info)
{
    ShowPhoneInfo(true, info);
    lstPhone->setVisible(false);
    lstPhone->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

void TSendFrm::endBulkAdd()
{
    lstPhone->setVisible(true);
    lstPhone->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void TSendFrm::addLines(const QStringList& lines)
{
    qsizetype chars = 0;
    for (const QString& s : lines)
        chars += s.size() + 1;
    phones_->reserve(lines.size(), chars);
    TPacer pacer;
    for (const QString& s : lines) {
        phones_->stage(s);
        if (pacer.due()) {
            phones_->announce();
            ShowPhoneCount();
            PumpMessages();
        }
    }
    phones_->announce();
    ShowPhoneCount();
    PumpMessages();
}

void TSendFrm::handEntry(const std::function<bool(QStringList*&)>& dialog, const QString& info,
                         const QString& kind)
{
    if (busy_)
        return;
    TBusyGuard guard(busy_);
    QStringList lines;
    QStringList* list = &lines;
    TBusyCursor cursor;
    if (!dialog || !dialog(list))
        return;
    if (list != &lines) { // a dialog that made a list of its own
        lines = *list;
        delete list;
    }
    beginBulkAdd(info);
    addLines(lines);
    AddToPending(kind, lines);
    Pause(50);
    ShowPhoneInfo(false, QString());
    endBulkAdd();
}

void TSendFrm::BtnInputClick()
{
    handEntry(inputPhones, QStringLiteral("正在添加数据，请稍后....."), QStringLiteral("manual"));
}

void TSendFrm::BtnInsetPhoneClick()
{
    handEntry(inputTestPhones, QStringLiteral("正在插入数据，请稍后....."), QStringLiteral("test"));
}

void TSendFrm::BtnLoadPhoneClick()
{
    if (busy_)
        return;
    TBusyGuard guard(busy_);
    TBusyCursor cursor;
    const QString name = AskOpenFileName(QStringLiteral("txt(*.txt)|*.txt"));
    if (name.isEmpty())
        return;
    ShowPhoneInfo(true, QStringLiteral("正在导入数据，请稍后....."));
    lstPhone->setVisible(false);
    lstPhone->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    QString text;
    {
        QFile file(name);
        QString error;
        if (!file.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("无法打开文件 \"%1\"：%2").arg(name, file.errorString());
        } else {
            const QByteArray bytes = file.readAll();
            if (file.error() != QFileDevice::NoError)
                error = QStringLiteral("读取文件 \"%1\" 失败：%2").arg(name, file.errorString());
            else
                text = DecodePhoneFile(bytes);
        }
        if (!error.isEmpty()) {
            // Nothing of the file is listed; list, scroll bar, label and cursor return to normal.
            endBulkAdd();
            ShowPhoneInfo(false, QString());
            cursor.release();
            ReportError(error);
            return;
        }
    }

    phones_->reserve(0, text.size() + 1);
    TPacer pacer;
    ForEachLine(text, [&](QStringView line) {
        if (pacer.due()) {
            phones_->announce();
            ShowPhoneCount();
            PumpMessages();
        }
        if (HasContent(line))
            phones_->stage(line);
        return true;
    });
    text = QString();
    phones_->announce();
    ShowPhoneCount();

    lstPhone->setVisible(true);
    Pause(50);
    lstPhone->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ShowPhoneInfo(false, QString());
}

// --- removing numbers ---

void TSendFrm::BtnDeleteClick()
{
    if (busy_)
        return;
    TBusyGuard guard(busy_);
    TBusyCursor cursor;
    ShowPhoneInfo(true, QStringLiteral("正在删除选中数据，请稍后....."));
    phoneHeader->repaint();

    const QList<QPair<qsizetype, qsizetype>> ranges = lstPhone->selectedRanges();
    qsizetype selected = 0;
    for (const auto& r : ranges)
        selected += r.second - r.first + 1;
    if (selected > 0) {
        // How many lines of each text go; every one takes the first equal entry
        // of each pending list with it.
        QHash<QStringView, qsizetype> counts;
        counts.reserve(std::min<qsizetype>(selected, Para.Phones.size() + Para.TestPhones.size() + 1));
        if (!Para.Phones.isEmpty() || !Para.TestPhones.isEmpty()) {
            TPacer pacer;
            for (qsizetype k = ranges.size() - 1; k >= 0; --k) {
                for (qsizetype row = ranges[k].second; row >= ranges[k].first; --row) {
                    ++counts[phones_->lineView(row)];
                    if (pacer.due())
                        PumpMessages();
                }
            }
        }
        removeEqualEntries(Para.Phones, counts);
        removeEqualEntries(Para.TestPhones, counts);
        counts = {};
        phones_->removeRanges(ranges);
    }
    Pause(20);
    ShowPhoneCount();
    ShowPhoneInfo(false, QString());
}

void TSendFrm::btnClearClick()
{
    if (busy_)
        return;
    phones_->clear();
    ShowPhoneCount();
    Para.Phones.clear();
    Para.TestPhones.clear();
}

// --- message ---

void TSendFrm::EdtMessageChange()
{
    QString text = EdtMessage->toPlainText();
    text.remove(QLatin1Char('\r'));
    const qsizetype n = text.size();
    msgCount = int(n / 70 + (n % 70 > 0 ? 1 : 0));
    QString caption = QString::number(n);
    if (n > 70)
        caption +=
            QStringLiteral("，信息超过70个字，将分") + QString::number(msgCount) + QStringLiteral("条发送.");
    lblContentCnt->setText(caption);
}

void TSendFrm::Timer1Timer()
{
    Timer1->setInterval(200);
    if (st->value() >= 100)
        st->setValue(0);
    st->setValue(std::min(100, st->value() + 5));
}

// --- sending ---

void TSendFrm::SetSendEnabled(bool enabled)
{
    btnSend->setEnabled(enabled);
    btnBookingSend->setEnabled(enabled);
    lblSendInfo->setVisible(!enabled);
    Pause(10);
}

void TSendFrm::btnSendClick()
{
    if (busy_)
        return;
    DoSend(false);
    HostRefreshBalance();
}

void TSendFrm::btnBookingSendClick()
{
    if (busy_)
        return;
    DoSend(true);
    HostRefreshBalance();
}

void TSendFrm::DoSend(bool booking)
{
    TBusyGuard guard(busy_);
    if (!AskYesNo(QStringLiteral("请确认发送内容和号码无误，确定要发送么？"), QStringLiteral("提示")))
        return;
    const QString failed = QStringLiteral("发送失败");
    if (!Para.LoggedIn) {
        ShowError(QStringLiteral("数据库未连接，提交失败"), failed);
        return;
    }

    TSmsRec rec;
    {
        qsizetype len = 0;
        for (const QString& s : Para.TestPhones)
            len += s.size() + 1;
        for (const QString& s : Para.Phones)
            len += s.size() + 1;
        rec.TestPhonesText.reserve(len);
        for (const QString& s : Para.TestPhones) {
            rec.TestPhonesText += s;
            rec.TestPhonesText += QLatin1Char('\n');
        }
        for (const QString& s : Para.Phones) {
            rec.TestPhonesText += s;
            rec.TestPhonesText += QLatin1Char('\n');
        }
    }
    const qint64 lines = phones_->count();
    if (lines == 0) {
        ShowError(QStringLiteral("接收号码不能为空"), failed);
        return;
    }
    rec.PhonesText = phones_->text(); // every line with its line feed, shared not copied
    rec.PhoneCount = lines;

    QString content = EdtMessage->toPlainText();
    content.remove(QLatin1Char('\r'));
    rec.Content = content;
    rec.MsgCount = msgCount;
    if (content.isEmpty()) {
        ShowError(QStringLiteral("发送内容不能为空"), failed);
        return;
    }

    if (booking)
        rec.AppointTime = edtDate->date().toString(QStringLiteral("yyyy-MM-dd")) +
                          edtTime->time().toString(QStringLiteral(" hh:mm:ss"));

    const qint64 balance = DM ? DM->GetBalance(Para.UserName) : 0;
    const qint64 needed = qint64(msgCount) * lines;
    if (needed > balance) {
        ShowError(QStringLiteral("账户余额不足，请充值后再发送"), failed);
        return;
    }
    rec.CustomerName = Para.UserName;

    TBusyCursor cursor;
    SetSendEnabled(false);
    PumpMessages();
    Pause(60);

    const bool ok = DM && DM->SubmitBatch(std::move(rec));
    if (ok) {
        ShowInfo(QStringLiteral("信息提交成功"), QStringLiteral("发送成功"));
    } else {
        // Where the data module knows more (a batch too big for the server, a
        // text it cannot store, an outcome it cannot confirm), the user is told.
        const QString why = DM ? DM->SubmitRefusal() : QString();
        ShowError(why.isEmpty() ? QStringLiteral("信息提交失败") : why, failed);
    }

    Pause(50);
    PumpMessages();
    SetSendEnabled(true);
}

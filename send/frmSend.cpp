#include "send/frmSend.h"

#include "app/uDataType.h"
#include "app/uFlagScope.h"
#include "app/uPageHost.h"
#include "app/uSendRules.h"
#include "app/uUi.h"
#include "app/uUiQt.h"
#include "data/uDM.h"
#include "send/frmInputPhone.h"
#include "send/uPhoneCheck.h"
#include "send/uPhoneImport.h"
#include "send/uPhoneList.h"

#include <QClipboard>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>
#include <QTextDocument>
#include <QTimeEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <limits>
#include <vector>

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

// The caption of the count label for a text of n UTF-16 units: the count, and
// past one segment the number of segments it is sent in.
QString contentCountText(qsizetype n)
{
    QString caption = QString::number(n);
    if (n > SegmentUnits)
        caption += QStringLiteral("，信息超过%1个字，将分%2条发送.").arg(SegmentUnits).arg(SegmentCount(n));
    return caption;
}

} // namespace

TSendFrm::TSendFrm(QWidget* parent) : TWorkPage(parent)
{
    setObjectName(QStringLiteral("TSendFrm"));
    inputPhones = [](QStringList*& l) { return InputPhones(l); };
    inputTestPhones = [](QStringList*& l) { return InputTestPhones(l); };

    auto* main = new QVBoxLayout(this);
    main->addWidget(createMessageArea());
    main->addWidget(createPhoneHeader());
    main->addLayout(createPhoneArea(), 1);
    connectSignals();
}

QWidget* TSendFrm::createMessageArea()
{
    messageArea_ = new QWidget(this);
    messageArea_->setObjectName(QStringLiteral("messageArea"));
    messageArea_->setFixedHeight(MessageAreaHeight);
    messageArea_->installEventFilter(this);

    auto* caption = messageCaption_ = new QHBoxLayout;
    caption->addWidget(new QLabel(QStringLiteral("发送内容"), messageArea_));
    caption->addSpacing(24);
    caption->addWidget(new QLabel(QStringLiteral("字数"), messageArea_));
    lblContentCnt = boldLabel(QStringLiteral("0"), messageArea_, "lblContentCnt");
    // Room for the longest count the label is meant to show.
    lblContentCnt->setMinimumWidth(lblContentCnt->fontMetrics().horizontalAdvance(contentCountText(700000)));
    caption->addWidget(lblContentCnt);
    lblSendInfo = boldLabel(QStringLiteral("正在向服务器提交数据，请稍后....."), messageArea_, "lblSendInfo");
    lblSendInfo->setVisible(false);
    caption->addWidget(lblSendInfo);
    caption->addStretch();

    EdtMessage = new QPlainTextEdit(messageArea_);
    EdtMessage->setObjectName(QStringLiteral("EdtMessage"));
    // Four lines of text stay in view, whatever the booking notice below takes.
    EdtMessage->setMinimumHeight(
        4 * EdtMessage->fontMetrics().lineSpacing() +
        2 * (EdtMessage->frameWidth() + int(EdtMessage->document()->documentMargin())));
    st = new QProgressBar(messageArea_);
    st->setObjectName(QStringLiteral("st"));
    st->setRange(0, 100);
    st->setValue(0);
    st->setTextVisible(false);
    st->setFixedHeight(6);
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(200);

    auto* layout = new QVBoxLayout(messageArea_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(caption);
    layout->addWidget(EdtMessage, 1);
    layout->addWidget(st);
    layout->addLayout(createBookingStrip());
    return messageArea_;
}

QGridLayout* TSendFrm::createBookingStrip()
{
    edtDate = new QDateEdit(messageArea_);
    edtDate->setObjectName(QStringLiteral("edtDate"));
    edtDate->setCalendarPopup(true);
    edtDate->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    edtTime = new QTimeEdit(messageArea_);
    edtTime->setObjectName(QStringLiteral("edtTime"));
    edtTime->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    lblBookingNotice = new QLabel(messageArea_);
    lblBookingNotice->setObjectName(QStringLiteral("lblBookingNotice"));
    lblBookingNotice->setWordWrap(true);
    // Its width follows the strip, never the other way round (see placeBookingNotice).
    lblBookingNotice->setMinimumWidth(1);
    btnBookingSend = button(QStringLiteral("预约发送"), messageArea_, "btnBookingSend");
    btnBookingSend->setIcon(style()->standardIcon(QStyle::SP_FileDialogDetailedView));
    btnSend = button(QStringLiteral("立即发送"), messageArea_, "btnSend");
    btnSend->setIcon(style()->standardIcon(QStyle::SP_ArrowForward));

    bookingStrip_ = new QGridLayout;
    bookingStrip_->addWidget(edtDate, 0, 0);
    bookingStrip_->addWidget(edtTime, 0, 1);
    bookingStrip_->addWidget(lblBookingNotice, 0, 2);
    bookingStrip_->setColumnStretch(2, 1);
    bookingStrip_->addWidget(btnBookingSend, 0, 3);
    bookingStrip_->addWidget(btnSend, 0, 4);
    SetBookingNotice(QStringLiteral("注意事项:预约发送只有超过2万条时有效，预约时间在24小时内有效。"));
    return bookingStrip_;
}

QWidget* TSendFrm::createPhoneHeader()
{
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
    return phoneHeader;
}

QHBoxLayout* TSendFrm::createPhoneArea()
{
    phones_ = new TPhoneListModel(this);
    lstPhone = new TPhoneListView(this);
    lstPhone->setObjectName(QStringLiteral("lstPhone"));
    lstPhone->setModel(phones_);
    lstPhone->installEventFilter(this);
    // A bulk add hides the list; its room stays, so the button column does not spread.
    QSizePolicy listPolicy = lstPhone->sizePolicy();
    listPolicy.setRetainSizeWhenHidden(true);
    lstPhone->setSizePolicy(listPolicy);

    auto* listRow = new QHBoxLayout;
    listRow->addWidget(lstPhone, 1);
    listRow->addLayout(createPhoneButtons());
    return listRow;
}

QVBoxLayout* TSendFrm::createPhoneButtons()
{
    BtnInput = button(QStringLiteral("手工录入"), this, "BtnInput");
    BtnLoadPhone = button(QStringLiteral("文件导入"), this, "BtnLoadPhone");
    btnPasteImport = button(QStringLiteral("粘贴导入"), this, "btnPasteImport");
    BtnInsetPhone = button(QStringLiteral("插入测试号"), this, "BtnInsetPhone");
    BtnDelete = button(QStringLiteral("删除选中号"), this, "BtnDelete");
    btnClear = button(QStringLiteral("清空列表"), this, "btnClear");
    BtnCheckPhone = button(QStringLiteral("号码检查"), this, "BtnCheckPhone");
    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {BtnInput, BtnLoadPhone, btnPasteImport, BtnInsetPhone, BtnDelete, btnClear, BtnCheckPhone})
        buttons->addWidget(b);
    buttons->addStretch();
    return buttons;
}

void TSendFrm::connectSignals()
{
    connect(EdtMessage, &QPlainTextEdit::textChanged, this, &TSendFrm::EdtMessageChange);
    connect(Timer1, &QTimer::timeout, this, &TSendFrm::Timer1Timer);
    connect(btnSend, &QPushButton::clicked, this, &TSendFrm::btnSendClick);
    connect(btnBookingSend, &QPushButton::clicked, this, &TSendFrm::btnBookingSendClick);
    connect(BtnInput, &QPushButton::clicked, this, &TSendFrm::BtnInputClick);
    connect(BtnLoadPhone, &QPushButton::clicked, this, &TSendFrm::BtnLoadPhoneClick);
    connect(btnPasteImport, &QPushButton::clicked, this, &TSendFrm::btnPasteImportClick);
    connect(BtnInsetPhone, &QPushButton::clicked, this, &TSendFrm::BtnInsetPhoneClick);
    connect(BtnDelete, &QPushButton::clicked, this, &TSendFrm::BtnDeleteClick);
    connect(btnClear, &QPushButton::clicked, this, &TSendFrm::btnClearClick);
    connect(BtnCheckPhone, &QPushButton::clicked, this, &TSendFrm::BtnCheckPhoneClick);
}

TSendFrm::~TSendFrm() = default;

void TSendFrm::InitPage()
{
    edtDate->setDate(QDate::currentDate());
    edtTime->setTime(QTime::currentTime());
    SetBookingNotice(Para.BookingNotice);
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
    if (watched == messageArea_ && event->type() == QEvent::Resize)
        placeBookingNotice();
    // Paste on the list adds the clipboard's lines, as the paste button does.
    if (watched == lstPhone && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::Paste)) {
        btnPasteImportClick();
        return true;
    }
    return TWorkPage::eventFilter(watched, event);
}

void TSendFrm::SetBookingNotice(const QString& text)
{
    lblBookingNotice->setText(text);
    lblBookingNotice->setToolTip(text);
    placeBookingNotice();
}

void TSendFrm::placeBookingNotice()
{
    // Until the page's layout has given the area its width there is nothing
    // to go by; the area's first resize places the notice.
    if (!messageArea_->testAttribute(Qt::WA_Resized))
        return;
    // The notice stands beside the time fields where its one line fits there;
    // otherwise it takes a line of its own below them, across the whole
    // strip, wrapped. That line comes out of the memo, down to the memo's
    // minimum; only a notice longer still makes the message area higher.
    QGridLayout* strip = bookingStrip_;
    const QList<QWidget*> row{edtDate, edtTime, btnBookingSend, btnSend};
    const int hspacing = std::max(0, strip->horizontalSpacing());
    int others = int(row.size()) * hspacing;
    int rowHeight = 0;
    for (QWidget* w : row) {
        others += w->sizeHint().width();
        rowHeight = std::max(rowHeight, w->sizeHint().height());
    }
    const int width = messageArea_->contentsRect().width();
    const QString text = lblBookingNotice->text();
    const bool beside =
        lblBookingNotice->fontMetrics().horizontalAdvance(text) + 2 * lblBookingNotice->margin() <=
        width - others;
    if (beside != noticeBeside_) {
        noticeBeside_ = beside;
        strip->removeWidget(lblBookingNotice);
        if (beside)
            strip->addWidget(lblBookingNotice, 0, 2);
        else
            strip->addWidget(lblBookingNotice, 1, 0, 1, int(row.size()) + 1);
    }
    const int notice =
        beside ? 0
               : std::max(0, strip->verticalSpacing()) + lblBookingNotice->heightForWidth(std::max(1, width));
    const int spacing = std::max(0, messageArea_->layout()->spacing());
    const int needed = messageCaption_->sizeHint().height() + EdtMessage->minimumHeight() + st->height() +
                       rowHeight + notice + 3 * spacing;
    messageArea_->setFixedHeight(std::max(MessageAreaHeight, needed));
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

// --- one operation at a time ---

bool TSendFrm::whenIdle(const std::function<void()>& operation)
{
    if (busy_)
        return false;
    const TFlagScope busy(busy_);
    operation();
    return true;
}

// --- pending lists ---

void TSendFrm::AddToPending(const QString& kind, const QStringList& list)
{
    if (kind == QLatin1String("manual"))
        Para.Phones.append(list);
    else if (kind == QLatin1String("test"))
        Para.TestPhones.append(list);
}

void TSendFrm::removeEqualEntries(QStringList& pending, const QHash<QByteArrayView, qsizetype>& counts)
{
    if (pending.isEmpty() || counts.isEmpty())
        return;
    QHash<QByteArrayView, qsizetype> left = counts;
    qsizetype write = 0;
    QByteArray key;
    for (qsizetype i = 0; i < pending.size(); ++i) {
        key = pending.at(i).toUtf8(); // the list keeps its lines in UTF-8
        auto it = left.find(QByteArrayView(key));
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
    whenIdle([this] {
        handEntry(inputPhones, QStringLiteral("正在添加数据，请稍后....."), QStringLiteral("manual"));
    });
}

void TSendFrm::BtnInsetPhoneClick()
{
    whenIdle([this] {
        handEntry(inputTestPhones, QStringLiteral("正在插入数据，请稍后....."), QStringLiteral("test"));
    });
}

void TSendFrm::BtnLoadPhoneClick()
{
    whenIdle([this] { importFile(); });
}

void TSendFrm::importFile()
{
    TBusyCursor cursor;
    const QString name = AskOpenFileName(PhoneImportFilter());
    if (name.isEmpty())
        return;
    // Room for a text file's lines; space not used is never touched.
    if (const qint64 size = QFileInfo(name).size(); size > 0 && size <= MaxImportBytes)
        phones_->reserve(size / 8, size);
    importLines(cursor, name,
                [&](TPhoneImport& reader, const TPhoneImport::Sink& sink) { return reader.run(name, sink); });
}

void TSendFrm::btnPasteImportClick()
{
    whenIdle([this] { importPasted(); });
}

void TSendFrm::importPasted()
{
    TBusyCursor cursor;
    const QString text = QGuiApplication::clipboard()->text();
    if (text.isEmpty())
        return;
    importLines(cursor, QString(), [&](TPhoneImport& reader, const TPhoneImport::Sink& sink) {
        return reader.runPasted(text, sink);
    });
}

void TSendFrm::importLines(TBusyCursor& cursor, const QString& name,
                           const std::function<TImportOutcome(TPhoneImport&, const TPhoneImport::Sink&)>& run)
{
    QElapsedTimer sincePump;
    sincePump.start();
    ShowPhoneInfo(true, QStringLiteral("正在导入数据，请稍后....."));
    lstPhone->setVisible(false);
    lstPhone->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    // The lines are staged as they come and shown in batches; an import that
    // fails takes back every line it staged.
    const qsizetype start = phones_->staged();
    const qsizetype room = std::numeric_limits<int>::max() - 1 - start; // the list's rows are counted in int
    TPhoneImport reader;
    reader.progress = [&] {
        if (sincePump.elapsed() >= PumpIntervalMs) {
            phones_->announce();
            ShowPhoneCount();
            PumpMessages();
            sincePump.restart();
        }
    };
    bool full = false;
    const TImportOutcome outcome = run(reader, [&](QByteArrayView line) {
        if (phones_->staged() - start >= room) {
            full = true;
            return false;
        }
        phones_->stageUtf8(line);
        return true;
    });
    if (outcome != TImportOutcome::Done) {
        phones_->truncate(start);
        ShowPhoneCount();
        endBulkAdd();
        ArrangeColumns();
        ShowPhoneInfo(false, QString());
        cursor.release();
        if (full)
            ReportError(name.isEmpty()
                            ? QStringLiteral("剪贴板中的号码太多，号码列表放不下；请分成几次粘贴。\n未添加任何号码。")
                            : QStringLiteral("文件 \"%1\" 的号码太多，号码列表放不下；请分成几个文件发送。\n"
                                             "未添加任何号码。")
                                  .arg(name));
        else if (!reader.message().isEmpty())
            ReportError(reader.message());
        return;
    }
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
    whenIdle([this] { deleteSelected(); });
}

void TSendFrm::deleteSelected()
{
    TBusyCursor cursor;
    ShowPhoneInfo(true, QStringLiteral("正在删除选中数据，请稍后....."));
    phoneHeader->repaint();

    const QList<QPair<qsizetype, qsizetype>> ranges = lstPhone->selectedRanges();
    qsizetype selected = 0;
    for (const auto& r : ranges)
        selected += r.second - r.first + 1;
    if (selected > 0)
        removeRows(ranges, selected);
    Pause(20);
    ShowPhoneCount();
    ShowPhoneInfo(false, QString());
}

void TSendFrm::removeRows(const QList<QPair<qsizetype, qsizetype>>& ranges, qsizetype rows)
{
    // How many lines of each text go; every one takes the first equal entry
    // of each pending list with it.
    QHash<QByteArrayView, qsizetype> counts;
    counts.reserve(std::min<qsizetype>(rows, Para.Phones.size() + Para.TestPhones.size() + 1));
    if (!Para.Phones.isEmpty() || !Para.TestPhones.isEmpty()) {
        TPacer pacer;
        for (qsizetype k = ranges.size() - 1; k >= 0; --k) {
            for (qsizetype row = ranges[k].second; row >= ranges[k].first; --row) {
                ++counts[phones_->lineUtf8(row)];
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

// --- number check ---

namespace {

constexpr int CheckExamples = 5;

// The lines seen so far, to tell a line that repeats an earlier one. Open
// addressing over slots of (part of the hash, row), at least twice as many
// slots as lines: the texts are compared only when the hash parts agree, and
// the table holds no copy of a line.
class TSeenLines
{
public:
    TSeenLines(const TPhoneListModel& lines, qsizetype count) : lines_(lines)
    {
        size_t cap = 16;
        while (cap < size_t(count) * 2)
            cap <<= 1;
        slots_.assign(cap, Slot{0, Empty});
        mask_ = cap - 1;
    }

    // Records the line of row; false when an equal line was recorded before.
    bool insert(qsizetype row, QByteArrayView line)
    {
        const size_t h = qHash(line, 0x5eed);
        const quint32 tag = quint32(quint64(h) >> 32) ^ quint32(h);
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.row == Empty) {
                s = Slot{tag, quint32(row)};
                return true;
            }
            if (s.tag == tag && lines_.lineUtf8(s.row) == line)
                return false;
        }
    }

private:
    struct Slot
    {
        quint32 tag;
        quint32 row;
    };
    static constexpr quint32 Empty = 0xffffffffu;

    const TPhoneListModel& lines_;
    std::vector<Slot> slots_;
    size_t mask_ = 0;
};

// One line as an example in the check's report: its number in the list and
// its start, with control characters shown as blanks.
QString exampleLine(qsizetype row, QByteArrayView utf8)
{
    constexpr qsizetype Shown = 30;
    const QString start = Utf8Prefix(utf8, Shown + 1);
    const QStringView line(start);
    QString text = line.left(Shown).toString();
    if (!text.isEmpty() && text.back().isHighSurrogate())
        text.chop(1);
    for (QChar& c : text)
        if (c.unicode() < 32)
            c = QLatin1Char(' ');
    if (line.size() > Shown)
        text += QChar(0x2026);
    return QStringLiteral("    第%1行：“%2”").arg(row + 1).arg(text);
}

} // namespace

void TSendFrm::BtnCheckPhoneClick()
{
    whenIdle([this] { checkNumbers(); });
}

void TSendFrm::checkNumbers()
{
    const QString caption = QStringLiteral("号码检查");

    QList<QPair<qsizetype, qsizetype>> ranges; // lines to remove, in list order
    qsizetype duplicates = 0, implausible = 0, flagged = 0;
    QStringList duplicateExamples, implausibleExamples;
    const qsizetype n = phones_->count();
    {
        TBusyCursor cursor;
        ShowPhoneInfo(true, QStringLiteral("正在检查号码，请稍后....."));
        phoneHeader->repaint();
        TSeenLines seen(*phones_, n);
        TPacer pacer;
        for (qsizetype row = 0; row < n; ++row) {
            const QByteArrayView line = phones_->lineUtf8(row);
            bool flag = false;
            if (!seen.insert(row, line)) {
                ++duplicates;
                flag = true;
                if (duplicateExamples.size() < CheckExamples)
                    duplicateExamples << exampleLine(row, line);
            }
            if (!IsPlausibleMobile(line)) {
                ++implausible;
                flag = true;
                if (implausibleExamples.size() < CheckExamples)
                    implausibleExamples << exampleLine(row, line);
            }
            if (flag) {
                ++flagged;
                if (!ranges.isEmpty() && ranges.last().second + 1 == row)
                    ranges.last().second = row;
                else
                    ranges.append({row, row});
            }
            if (pacer.due())
                PumpMessages();
        }
        ShowPhoneInfo(false, QString());
    }

    const QString rule = QStringLiteral("有效的手机号码：去掉首尾空白后为%1。").arg(PlausibleMobileRule());
    if (flagged == 0) {
        ShowInfo(
            QStringLiteral("共%1行号码，未发现重复的号码，也未发现无效的手机号码。\n\n%2").arg(n).arg(rule),
            caption);
        return;
    }
    QStringList report;
    report << QStringLiteral("共%1行号码。").arg(n);
    report << QString();
    report << QStringLiteral("重复的号码（与前面某一行完全相同）：%1行").arg(duplicates);
    if (duplicates > 0)
        report << QStringLiteral("例如：") << duplicateExamples;
    report << QString();
    report << QStringLiteral("无效的手机号码：%1行").arg(implausible);
    if (implausible > 0)
        report << QStringLiteral("例如：") << implausibleExamples;
    report << QString() << rule;
    ShowInfo(report.join(QLatin1Char('\n')), caption);

    if (!AskYesNo(QStringLiteral("是否从号码列表中删除这%1行号码？\n重复的号码只保留最前面的一行，"
                                 "其余号码的顺序不变。")
                      .arg(flagged)))
        return;

    TBusyCursor cursor;
    ShowPhoneInfo(true, QStringLiteral("正在删除号码，请稍后....."));
    phoneHeader->repaint();
    removeRows(ranges, flagged);
    Pause(20);
    ShowPhoneCount();
    ShowPhoneInfo(false, QString());
}

void TSendFrm::btnClearClick()
{
    whenIdle([this] {
        phones_->clear();
        ShowPhoneCount();
        Para.Phones.clear();
        Para.TestPhones.clear();
    });
}

// --- message ---

void TSendFrm::EdtMessageChange()
{
    const qsizetype n = messageText().size();
    msgCount = SegmentCount(n);
    lblContentCnt->setText(contentCountText(n));
}

QString TSendFrm::messageText() const
{
    QString text = EdtMessage->toPlainText();
    text.remove(QLatin1Char('\r'));
    return text;
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
    if (whenIdle([this] { DoSend(false); }))
        HostRefreshBalance();
}

void TSendFrm::btnBookingSendClick()
{
    if (whenIdle([this] { DoSend(true); }))
        HostRefreshBalance();
}

void TSendFrm::DoSend(bool booking)
{
    const TFlagScope busy(busy_);
    if (!AskYesNo(QStringLiteral("请确认发送内容和号码无误，确定要发送么？"), QStringLiteral("提示")))
        return;
    if (!RequireLogin())
        return;
    const QString failed = QStringLiteral("发送失败");

    TSmsRec rec;
    rec.TestPhonesText = PendingPhonesText(Para.TestPhones, Para.Phones);
    const qint64 lines = phones_->count();
    if (lines == 0) {
        ShowError(QStringLiteral("接收号码不能为空"), failed);
        return;
    }
    rec.PhonesText = phones_->text(); // every line with its line feed, shared not copied
    rec.PhoneCount = lines;

    rec.Content = messageText();
    rec.MsgCount = msgCount;
    if (rec.Content.isEmpty()) {
        ShowError(QStringLiteral("发送内容不能为空"), failed);
        return;
    }

    if (booking)
        rec.AppointTime = edtDate->date().toString(QStringLiteral("yyyy-MM-dd")) +
                          edtTime->time().toString(QStringLiteral(" hh:mm:ss"));

    qint64 balance = 0;
    if (DM && !DM->TryGetBalance(Para.UserName, balance)) {
        // Without a connection the data module has shown its box: the send ends
        // there, not with a low balance that nobody has read.
        if (!DM->IsConnected())
            return;
        balance = 0; // a customer who is not found has no balance
    }
    if (BatchCost(lines, msgCount) > balance) {
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

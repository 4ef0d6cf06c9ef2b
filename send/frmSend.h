#pragma once
// The send page: message text, booking strip, and the list of receiving numbers.

#include "app/uWorkPage.h"
#include "send/uPhoneImport.h"

#include <QStringList>
#include <functional>

class QDateEdit;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimeEdit;
class QTimer;
class QVBoxLayout;
class QWidget;
class TBusyCursor;
class TPhoneListModel;
class TPhoneListView;

class TSendFrm : public TWorkPage
{
    Q_OBJECT
public:
    explicit TSendFrm(QWidget* parent = nullptr);
    ~TSendFrm() override;

    void InitPage() override;

    // --- phone list ---
    void ArrangeColumns();
    void ShowPhoneCount();
    void ShowPhoneInfo(bool visible, const QString& text);
    void AddToPending(const QString& kind, const QStringList& list);
    void BtnInputClick();
    void BtnLoadPhoneClick();
    // Adds the clipboard's lines as an import adds a file's lines (also Ctrl+V on the list).
    void btnPasteImportClick();
    void BtnInsetPhoneClick();
    void BtnDeleteClick();
    void btnClearClick();
    // The number check: reports duplicate lines and lines that are no
    // plausible mobile number, then offers to remove them.
    void BtnCheckPhoneClick();

    // --- message and send ---
    void EdtMessageChange();
    // Shows text as the booking notice, whole: beside the time fields where
    // it fits on one line, else wrapped on a line of its own; also its tooltip.
    void SetBookingNotice(const QString& text);
    void SetSendEnabled(bool enabled);
    void btnSendClick();
    void btnBookingSendClick();
    void DoSend(bool booking);
    int MsgCount() const { return msgCount; }
    // True while a list operation or a send runs; clicks on the buttons are then ignored.
    bool Busy() const { return busy_; }

    TPhoneListModel* PhoneModel() const { return phones_; }

    // The entry dialogs; tests put stand-ins here.
    std::function<bool(QStringList*&)> inputPhones;
    std::function<bool(QStringList*&)> inputTestPhones;

    // Message area
    QLabel* lblContentCnt = nullptr;
    QLabel* lblSendInfo = nullptr;
    QPlainTextEdit* EdtMessage = nullptr;
    QProgressBar* st = nullptr;
    QTimer* Timer1 = nullptr;
    // Booking and send strip
    QDateEdit* edtDate = nullptr;
    QTimeEdit* edtTime = nullptr;
    QLabel* lblBookingNotice = nullptr;
    QPushButton* btnBookingSend = nullptr;
    QPushButton* btnSend = nullptr;
    // Phone list area
    QWidget* phoneHeader = nullptr;
    QLabel* lblPhoneCnt = nullptr;
    QLabel* lblphoneInfo = nullptr;
    TPhoneListView* lstPhone = nullptr;
    QPushButton* BtnInput = nullptr;
    QPushButton* BtnLoadPhone = nullptr;
    QPushButton* btnPasteImport = nullptr;
    QPushButton* BtnInsetPhone = nullptr;
    QPushButton* BtnDelete = nullptr;
    QPushButton* btnClear = nullptr;
    QPushButton* BtnCheckPhone = nullptr;

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The message area's height, unless the booking notice needs more.
    static constexpr int MessageAreaHeight = 230;

    // The parts of the page, top to bottom.
    QWidget* createMessageArea();
    QGridLayout* createBookingStrip();
    QWidget* createPhoneHeader();
    QHBoxLayout* createPhoneArea();
    QVBoxLayout* createPhoneButtons();
    void connectSignals();
    void placeBookingNotice();

    // Runs one operation of the page unless another one runs: a list operation
    // or a send pumps window messages, so clicks on the page's buttons arrive
    // in the middle of it and are ignored here. False when it did not run.
    bool whenIdle(const std::function<void()>& operation);
    void importFile();
    void importPasted();
    void deleteSelected();
    void checkNumbers();
    // The memo's text without carriage returns: what is counted and sent.
    QString messageText() const;

    void FrameResize();
    void Timer1Timer();
    void addLines(const QStringList& lines);
    void handEntry(const std::function<bool(QStringList*&)>& dialog, const QString& info,
                   const QString& kind);
    // Runs an import into the list: the lines are shown as they come, and an
    // import that fails takes back every line it added. name: the file, for messages.
    void importLines(TBusyCursor& cursor, const QString& name,
                     const std::function<TImportOutcome(TPhoneImport&, const TPhoneImport::Sink&)>& run);
    void beginBulkAdd(const QString& info);
    void endBulkAdd();
    // Removes the lines of the ranges (sorted, disjoint, inclusive; rows lines
    // in all) and, for each, one equal entry from each pending list.
    void removeRows(const QList<QPair<qsizetype, qsizetype>>& ranges, qsizetype rows);
    // Removes, for every selected line, one equal entry from a pending list:
    // the first ones of each text, as if the lines were taken one by one from
    // the last, each with the first entry equal to it.
    static void removeEqualEntries(QStringList& pending, const QHash<QByteArrayView, qsizetype>& counts);

    QWidget* messageArea_ = nullptr;
    QHBoxLayout* messageCaption_ = nullptr;
    QGridLayout* bookingStrip_ = nullptr;
    bool noticeBeside_ = true;
    TPhoneListModel* phones_ = nullptr;
    int msgCount = 0;
    bool busy_ = false;
};

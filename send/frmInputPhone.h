#pragma once
// The phone number entry dialog: one number per line, typed by hand.

#include <QDialog>
#include <QStringList>
#include <memory>

class QLabel;
class QPlainTextEdit;
class QPushButton;

class TinputPhoneFrm final : public QDialog
{
    Q_OBJECT
public:
    explicit TinputPhoneFrm(QWidget* parent = nullptr);

    // "input": numbers of the batch; "inputTest": test numbers. Other texts change nothing.
    void SetMode(const QString& mode);
    // The accepted lines; null until OK was pressed.
    const QStringList* PhoneList() const { return phoneList_.get(); }

    QPlainTextEdit* edtPhone = nullptr;
    QLabel* lblCnt = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormShow();
    void edtPhoneChange();
    void edtPhoneContentsChange(int position, int removed, int added);
    void breakLineSeparators();
    bool edtPhoneKeyPress(class QKeyEvent* key); // true: the key is discarded
    void btnOKClick();
    void btnCancelClick();

    std::unique_ptr<QStringList> phoneList_;
    // Text added since the last change event: [changedFrom_, changedTo_).
    int changedFrom_ = -1;
    int changedTo_ = -1;
};

// Runs the dialog; on OK the caller's list (created when null) is cleared and
// receives the accepted lines. On Cancel the list is not touched.
bool InputPhones(QStringList*& list);
bool InputTestPhones(QStringList*& list);

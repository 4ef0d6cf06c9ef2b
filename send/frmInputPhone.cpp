#include "send/frmInputPhone.h"

#include "app/uDataType.h"
#include "send/uPhoneList.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

TinputPhoneFrm::TinputPhoneFrm(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TinputPhoneFrm"));
    setWindowTitle(QStringLiteral("手工录入号码"));
    resize(260, 420);

    auto* header = new QLabel(QStringLiteral("每行一个号码，回车换行，不能有空行"), this);
    edtPhone = new QPlainTextEdit(this);
    edtPhone->setObjectName(QStringLiteral("edtPhone"));
    edtPhone->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    edtPhone->setLineWrapMode(QPlainTextEdit::NoWrap);
    edtPhone->setTabChangesFocus(true);
    edtPhone->installEventFilter(this);
    // Numbers are typed as keys; an input method would bring its text past the filter.
    edtPhone->setAttribute(Qt::WA_InputMethodEnabled, false);

    auto* footer = new QLabel(QStringLiteral("行数"), this);
    lblCnt = new QLabel(QStringLiteral("0"), this);
    lblCnt->setObjectName(QStringLiteral("lblCnt"));
    btnOK = new QPushButton(QStringLiteral("确定"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setAutoDefault(false);
    btnCancel = new QPushButton(QStringLiteral("取消"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setAutoDefault(false);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(footer);
    bottom->addWidget(lblCnt);
    bottom->addStretch();
    bottom->addWidget(btnOK);
    bottom->addWidget(btnCancel);
    auto* main = new QVBoxLayout(this);
    main->addWidget(header);
    main->addWidget(edtPhone, 1);
    main->addLayout(bottom);

    connect(edtPhone->document(), &QTextDocument::contentsChange, this,
            &TinputPhoneFrm::edtPhoneContentsChange);
    connect(edtPhone, &QPlainTextEdit::textChanged, this, &TinputPhoneFrm::edtPhoneChange);
    connect(btnOK, &QPushButton::clicked, this, &TinputPhoneFrm::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TinputPhoneFrm::btnCancelClick);
}

void TinputPhoneFrm::SetMode(const QString& mode)
{
    if (mode == QLatin1String("input"))
        setWindowTitle(QStringLiteral("手工录入号码"));
    else if (mode == QLatin1String("inputTest"))
        setWindowTitle(QStringLiteral("录入测试号码"));
}

void TinputPhoneFrm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FormShow();
}

void TinputPhoneFrm::FormShow()
{
    edtPhone->setFocus();
}

void TinputPhoneFrm::edtPhoneContentsChange(int position, int, int added)
{
    const int to = position + added;
    changedFrom_ = changedFrom_ < 0 ? position : std::min(changedFrom_, position);
    changedTo_ = std::max(changedTo_, to);
}

void TinputPhoneFrm::breakLineSeparators()
{
    // The memo shows a line separator (U+2028, a soft break inside a paragraph)
    // as a line break, and its text reads it as one. It becomes a real line
    // break here, so that every line the user sees is one paragraph: counted,
    // and collected at OK, by the one rule. The text itself stays the same.
    if (changedFrom_ < 0)
        return;
    QTextDocument* doc = edtPhone->document();
    const int from = changedFrom_;
    const int to = std::min(changedTo_, doc->characterCount());
    changedFrom_ = changedTo_ = -1;
    QList<int> found;
    for (QTextBlock b = doc->findBlock(from); b.isValid() && b.position() < to; b = b.next()) {
        const QString text = b.text();
        for (qsizetype i = text.indexOf(QChar::LineSeparator); i >= 0;
             i = text.indexOf(QChar::LineSeparator, i + 1))
            found.append(b.position() + int(i));
    }
    if (found.isEmpty())
        return;
    QTextCursor cursor(doc);
    cursor.joinPreviousEditBlock(); // undone together with the text that brought them
    for (int pos : found) {
        // One character for one line break: the positions found stay valid.
        cursor.setPosition(pos);
        cursor.setPosition(pos + 1, QTextCursor::KeepAnchor);
        cursor.insertBlock();
    }
    cursor.endEditBlock();
    changedFrom_ = changedTo_ = -1;
}

void TinputPhoneFrm::edtPhoneChange()
{
    breakLineSeparators();
    // Counted from the document's blocks, so a keystroke costs the same in a long memo.
    const QTextDocument* doc = edtPhone->document();
    int n = doc->blockCount();
    if (doc->lastBlock().length() <= 1) // the empty line after a final line break, or an empty memo
        --n;
    lblCnt->setText(QString::number(n));
}

namespace {
// Backspace, Enter, the full stop and the digits.
bool TypedCharPasses(char16_t c)
{
    return c == 8 || c == 13 || c == u'.' || (c >= u'0' && c <= u'9');
}
} // namespace

bool TinputPhoneFrm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == edtPhone && event->type() == QEvent::KeyPress)
        return edtPhoneKeyPress(static_cast<QKeyEvent*>(event));
    if (watched == edtPhone && event->type() == QEvent::InputMethod) {
        // Text composed by an input method is typed too: it passes only when
        // every character would pass as a key.
        const auto* im = static_cast<QInputMethodEvent*>(event);
        if (!im->preeditString().isEmpty())
            return true;
        for (QChar c : im->commitString())
            if (!TypedCharPasses(c.unicode()))
                return true;
        return false;
    }
    return QDialog::eventFilter(watched, event);
}

bool TinputPhoneFrm::edtPhoneKeyPress(QKeyEvent* key)
{
    // Shift+Enter would put a soft line break inside a line; every Enter starts a new line.
    if (key->matches(QKeySequence::InsertLineSeparator)) {
        edtPhone->insertPlainText(QStringLiteral("\n"));
        return true;
    }
    // Editing commands (copy, paste, select all, undo) are no typed characters.
    if (key->matches(QKeySequence::Paste) || key->matches(QKeySequence::Copy) ||
        key->matches(QKeySequence::Cut) || key->matches(QKeySequence::SelectAll) ||
        key->matches(QKeySequence::Undo) || key->matches(QKeySequence::Redo))
        return false;
    const QString text = key->text();
    if (text.isEmpty())
        return false; // a key without a character (arrows, Home, Delete ...)
    switch (key->key()) {
    case Qt::Key_Delete:
    case Qt::Key_Escape: // leaves the memo to the dialog, which closes as by Cancel
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return false;
    default:
        break;
    }
    // A key may carry several characters; each is a typed character of its own.
    QString passing;
    for (QChar c : text)
        if (TypedCharPasses(c.unicode()))
            passing += c;
    if (passing.size() == text.size())
        return false;
    // Only some pass: they reach the memo as keys of their own, the rest is discarded.
    for (QChar c : passing) {
        const char16_t u = c.unicode();
        const int code = u == 8      ? Qt::Key_Backspace
                         : u == 13   ? Qt::Key_Return
                         : u == u'.' ? Qt::Key_Period
                                     : Qt::Key_0 + (u - u'0');
        QKeyEvent single(QEvent::KeyPress, code, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(edtPhone, &single);
    }
    return true;
}

void TinputPhoneFrm::btnOKClick()
{
    phoneList_ = std::make_unique<QStringList>();
    const QString text = edtPhone->toPlainText();
    ForEachLine(text, [this](QStringView line) {
        if (HasContent(line))
            phoneList_->append(line.toString());
        return true;
    });
    accept();
}

void TinputPhoneFrm::btnCancelClick()
{
    reject();
}

static bool runInput(const QString& mode, QStringList*& list)
{
    TinputPhoneFrm dlg;
    dlg.SetMode(mode);
    const bool ok = dlg.exec() == QDialog::Accepted && dlg.PhoneList();
    if (ok) {
        if (!list)
            list = new QStringList;
        list->clear();
        list->append(*dlg.PhoneList());
    }
    return ok;
}

bool InputPhones(QStringList*& list)
{
    return runInput(QStringLiteral("input"), list);
}

bool InputTestPhones(QStringList*& list)
{
    return runInput(QStringLiteral("inputTest"), list);
}

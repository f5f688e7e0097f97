#include "configui/input_filters.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QValidator>

#include "platform/text.h"

namespace InputFilter {

namespace {

std::function<void()> gBeep;

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char FilterOne(QChar ch, TCharFilter filter)
{
    const char16_t u = ch.unicode();
    return u < 128 ? filter(static_cast<char>(u)) : 0;
}

// Filters what an edit by the operator added to the text. The validator is
// the one place that sees every change (typing, pasting, dropping) before the
// box takes it; a change made by the program (setText) leaves the box
// unmodified and passes untouched.
class TFilterValidator : public QValidator {
public:
    TFilterValidator(QLineEdit* edit, TCharFilter filter, bool beep)
        : QValidator(edit), FEdit(edit), FFilter(filter), FBeep(beep), FLast(edit->text())
    {
    }

    State validate(QString& input, int& pos) const override
    {
        if (FEdit->isModified()) {
            // What differs from the text before is what the operator added.
            const qsizetype common = std::min(input.size(), FLast.size());
            qsizetype prefix = 0;
            while (prefix < common && input[prefix] == FLast[prefix])
                ++prefix;
            qsizetype suffix = 0;
            while (suffix < common - prefix &&
                   input[input.size() - 1 - suffix] == FLast[FLast.size() - 1 - suffix])
                ++suffix;
            QString added;
            bool dropped = false;
            for (qsizetype i = prefix; i < input.size() - suffix; ++i) {
                if (const char c = FilterOne(input[i], FFilter))
                    added += QChar(c);
                else {
                    dropped = true;
                    if (i < pos)
                        --pos;
                }
            }
            input = input.left(prefix) + added + input.right(suffix);
            if (dropped && FBeep)
                Beep();
        }
        FLast = input;
        return Acceptable;
    }

private:
    QLineEdit* FEdit;
    TCharFilter FFilter;
    bool FBeep;
    mutable QString FLast;
};

// Keeps a drop-down box to picks from its list.
class TPickOnly : public QObject {
public:
    explicit TPickOnly(QComboBox* box) : QObject(box), FBox(box) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease: {
            auto* key = static_cast<QKeyEvent*>(event);
            const bool alt = key->modifiers() & Qt::AltModifier;
            switch (key->key()) {
            case Qt::Key_Tab:
            case Qt::Key_Backtab:
            case Qt::Key_F4:
                return false;
            case Qt::Key_Up:
            case Qt::Key_Down:
                // Alt with an arrow opens the list.
                if (alt)
                    return false;
                break;
            case Qt::Key_Return:
            case Qt::Key_Enter:
            case Qt::Key_Escape:
                // For the dialog: its default button, or closing.
                key->ignore();
                return true;
            default:
                break;
            }
            key->accept();
            return true;
        }
        case QEvent::Wheel:
            event->accept();
            return true;
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseButtonRelease:
            // A click on the text opens the list as the arrow does. It opens
            // at the release: opened at the press, the list would take that
            // click's release for a click beside it and close at once.
            if (watched != FBox->lineEdit())
                return false;
            if (event->type() == QEvent::MouseButtonRelease &&
                static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
                FBox->showPopup();
            return true;
        default:
            return false;
        }
    }

private:
    QComboBox* FBox;
};

} // namespace

char StationNameChar(char c)
{
    if (c == ' ')
        return '_';
    return IsDigit(c) || IsLetter(c) || c == '_' ? c : 0;
}

char LetterOrDigit(char c)
{
    return IsDigit(c) || IsLetter(c) ? c : 0;
}

char UpperCallChar(char c)
{
    if (c >= 'a' && c <= 'z')
        return static_cast<char>(c - 'a' + 'A');
    return IsDigit(c) || IsLetter(c) || c == '.' ? c : 0;
}

char SelCallChar(char c)
{
    return DigitOrPoint(c);
}

char DigitOrPoint(char c)
{
    return IsDigit(c) || c == '.' ? c : 0;
}

char Digit(char c)
{
    return IsDigit(c) ? c : 0;
}

void Install(QLineEdit* edit, TCharFilter filter, bool beep)
{
    edit->setValidator(new TFilterValidator(edit, filter, beep));
}

void Beep()
{
    if (gBeep)
        gBeep();
    else
        QApplication::beep();
}

void SetBeepForTest(std::function<void()> beep)
{
    gBeep = std::move(beep);
}

void MakePickOnly(QComboBox* box)
{
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->lineEdit()->setReadOnly(true);
    auto* filter = new TPickOnly(box);
    box->installEventFilter(filter);
    box->lineEdit()->installEventFilter(filter);
}

void ShowText(QComboBox* box, const std::string& text)
{
    const QString shown = ToQt(text);
    const int index = box->findText(shown);
    if (index >= 0)
        box->setCurrentIndex(index);
    box->setEditText(shown);
}

} // namespace InputFilter

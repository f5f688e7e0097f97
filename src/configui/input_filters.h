#pragma once

#include <functional>
#include <string>

class QComboBox;
class QLineEdit;

// The character filters of the configuration dialogs' text boxes and the
// drop-down boxes that hold one of their items. Typed and pasted text go
// through the same filter; text that the program puts into a box does not.
namespace InputFilter {

// A filter gives the character to insert for one typed, or 0 to drop it.
// Characters from 128 up never reach a filter: every box drops them.
using TCharFilter = char (*)(char c);

// "0"-"9", "A"-"Z", "a"-"z" and "_"; a space becomes "_".
char StationNameChar(char c);
// "0"-"9", "A"-"Z", "a"-"z".
char LetterOrDigit(char c);
// "0"-"9", "A"-"Z", "a"-"z" and "."; letters become upper case.
char UpperCallChar(char c);
// "0"-"9" and ".".
char SelCallChar(char c);
// "0"-"9" and "." (a size in K bytes).
char DigitOrPoint(char c);
// "0"-"9".
char Digit(char c);

// Runs what the operator types or pastes into `edit` through `filter`;
// dropped characters sound the beep when `beep` is set.
void Install(QLineEdit* edit, TCharFilter filter, bool beep);

// The system beep of a rejected key; tests count them instead.
void Beep();
void SetBeepForTest(std::function<void()> beep);

// Makes a drop-down box take its value only from a pick in its list: typed
// keys, arrow keys and the mouse wheel change nothing. The box can still
// show a text that is none of its items (a stored value).
void MakePickOnly(QComboBox* box);
// Shows `text`, selecting its item when the list has one.
void ShowText(QComboBox* box, const std::string& text);

} // namespace InputFilter

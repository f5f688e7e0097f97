#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <optional>
#include <string>

#include "configui/edit_dialog.h"
#include "core/date_time.h"

// The "Scheduled Link" dialog: a time of day picked as an hour and a minute,
// and the station it belongs to (shown, not editable). Its callers (the
// scheduled links of the station configuration and the mail gateway's four
// connection times) set the caption, fill it with SetTime, and after OK read
// Time(), which OK has checked.
class TScheduledFrm : public TEditDialog {
    Q_OBJECT
public:
    explicit TScheduledFrm(QWidget* owner);

    // The time of day of an hour text (0-23) and a minute text (0-59), each
    // one or two digits; empty for anything else.
    static std::optional<TDateTime> TimeFromTexts(const std::string& hour,
                                                  const std::string& minute);

    // Shows the time's hour as "hh" and its minutes as "nn".
    void SetTime(TDateTime time);
    // The picked time of day; empty while the texts make no valid time.
    std::optional<TDateTime> Time() const;
    // For a time that belongs to no station: the station box and its
    // captions go.
    void HideStation();

    QLabel* StationHeading;
    QLabel* StationLabel;
    QLineEdit* StationName;
    QComboBox* Hour;
    QComboBox* Minute;
    QPushButton* Button1;
    QPushButton* Button2;

    // OK: closes with modal result 1 when the texts make a time; otherwise
    // says what is wrong and stays open.
    void Button1Click();
};

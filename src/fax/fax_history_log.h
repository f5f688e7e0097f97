#pragma once

#include "fax/aw_abs_fax.h"
#include "serial/ad_component.h"

#include <QPointer>
#include <string>

// The fax history log: one text entry per log event of a fax component (or
// of a fax server) appended to a history file.
//
// Choices made here:
// - Time stamps are the locale's short date and the time as hh:mm:ss.
// - An entry that cannot be written is lost, as the history is only a
//   record; the failure goes to standard error, since the window procedure
//   that writes entries has nobody to hand an error to.

class TApdCustomAbstractFax;

class TApdFaxLog : public TApdBaseComponent {
    Q_OBJECT
public:
    // Attaches itself to the owner's first fax component without a log.
    explicit TApdFaxLog(QObject* owner = nullptr);

    // Empty: no history.
    std::string FaxHistoryName = "FAXHIST.HIS";
    TApdCustomAbstractFax* Fax() const;
    void SetFax(TApdCustomAbstractFax* value);

    virtual std::string GetLogString(TFaxLogCode logCode, TApdCustomAbstractFax* fax);
    virtual void UpdateLog(TFaxLogCode logCode);
    // Appends the text and CR LF to the history file, creating it when
    // missing; nothing without a file name. False when it cannot be written.
    bool WriteEntry(const std::string& text);

private:
    QPointer<TApdCustomAbstractFax> Fax_;
};

// "short date long time" of now, as fax log entries carry it.
std::string FaxLogTimeStamp();

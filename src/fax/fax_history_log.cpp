#include "fax/fax_history_log.h"

#include "fax/fax_components.h"
#include "platform/atomic_file.h"
#include "platform/text.h"
#include "serial/ad_except.h"

#include <QDate>
#include <QLocale>
#include <QTime>
#include <cstdio>
#include <iostream>

namespace {

std::string Format(const char* format, const std::string& a, const std::string& b = {},
                   const std::string& c = {})
{
    std::string out;
    const std::string* args[] = {&a, &b, &c};
    int next = 0;
    for (const char* p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == 's' && next < 3) {
            out += *args[next++];
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

bool Class2(const TApdCustomAbstractFax& fax)
{
    return fax.FaxClass() == TFaxClass::fcClass2 || fax.FaxClass() == TFaxClass::fcClass2_0;
}

// The failure text, with the hang-up code on Class 2 and 2.0.
std::string Failure(const char* verb, const TApdCustomAbstractFax& fax)
{
    std::string s = std::string(verb) + " failed at " + FaxLogTimeStamp() + "\r\n  (" +
                    ErrorMsg(fax.FaxError()) + ")";
    if (Class2(fax))
        s += " (" + std::to_string(fax.HangupCode()) + ")";
    return s + "\r\n";
}

} // namespace

std::string FaxLogTimeStamp()
{
    return FromQt(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat)) + " " +
           FromQt(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")));
}

TApdFaxLog::TApdFaxLog(QObject* owner) : TApdBaseComponent(owner)
{
    if (owner)
        for (auto* fax : owner->findChildren<TApdCustomAbstractFax*>(Qt::FindDirectChildrenOnly))
            if (!fax->FaxLog()) {
                fax->SetFaxLog(this);
                break;
            }
}

std::string TApdFaxLog::GetLogString(TFaxLogCode logCode, TApdCustomAbstractFax* fax)
{
    const std::string now = FaxLogTimeStamp();
    if (auto* sender = qobject_cast<TApdCustomSendFax*>(fax)) {
        switch (logCode) {
        case lfaxTransmitStart: {
            std::string s;
            for (const std::string& file : sender->FaxFileList())
                s += Format("Transmit %s to %s started at %s\r\n", file, sender->PhoneNumber, now);
            return s.size() >= 2 ? s.substr(0, s.size() - 2) : s;
        }
        case lfaxTransmitOk:
            return Format("Transmit to %s finished OK at %s (", sender->RemoteID(), now) +
                   std::to_string(sender->HangupCode()) + ")\r\n";
        case lfaxTransmitFail:
            return Failure("Transmit", *sender);
        default:
            return {};
        }
    }
    if (auto* receiver = qobject_cast<TApdCustomReceiveFax*>(fax)) {
        switch (logCode) {
        case lfaxReceiveStart:
            return Format("Receive %s from %s started at %s", receiver->GetFaxFile(),
                          receiver->RemoteID(), now);
        case lfaxReceiveOk:
            return "Receive finished OK at " + now + "\r\n";
        case lfaxReceiveSkip:
            return "Receive skipped at " + now + "\r\n";
        case lfaxReceiveFail:
            // Spelt as the history file has it for Class 2 and 2.0.
            return Failure(Class2(*receiver) ? "Receieve" : "Receive", *receiver);
        default:
            return {};
        }
    }
    return {};
}

void TApdFaxLog::UpdateLog(TFaxLogCode logCode)
{
    WriteEntry(GetLogString(logCode, Fax_));
}

bool TApdFaxLog::WriteEntry(const std::string& text)
{
    if (FaxHistoryName.empty())
        return true;
    if (AppendToFile(FaxHistoryName, text + "\r\n"))
        return true;
    std::cerr << "fax history: cannot write " << FaxHistoryName << "\n";
    return false;
}

TApdCustomAbstractFax* TApdFaxLog::Fax() const
{
    return Fax_;
}

void TApdFaxLog::SetFax(TApdCustomAbstractFax* value)
{
    Fax_ = value;
}

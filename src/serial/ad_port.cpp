#include "serial/ad_port.h"

#include "platform/gui_message.h"
#include "serial/ad_except.h"
#include "serial/port_path.h"

#include <QCoreApplication>
#include <QPointer>
#include <algorithm>

using namespace AdErr;

// What the GUI-thread receiver of one opening reaches: cleared when that
// opening closes, so a late message finds no port.
struct TApdCustomComPort::Link {
    QPointer<TApdCustomComPort> Port;
    TApdBaseDispatcher* Dispatcher = nullptr;
};

TApdCustomComPort::TApdCustomComPort(QObject* owner) : TApdBaseComponent(owner) {}

TApdCustomComPort::~TApdCustomComPort()
{
    try {
        ClosePort();
    } catch (...) {
        // Closing raises nothing of its own; a callback's failure must not
        // escape a destructor.
    }
}

void TApdCustomComPort::Loaded()
{
    SetLoading(false);
    if (LineSetByFax_)
        return;
    Line_ = LineSettings{};
    if (Dispatcher_)
        CheckException(
            this, Dispatcher_->SetLine(Line_.Baud, Line_.Parity, Line_.DataBits, Line_.StopBits));
}

TApdBaseDispatcher* TApdCustomComPort::GetDispatcher()
{
    if (!Dispatcher_ && AutoOpen_ && !IsLoading() && !Opening_ && !Closing_)
        OpenPort();
    return Dispatcher_.get();
}

TApdBaseDispatcher& TApdCustomComPort::RequireDispatcher()
{
    TApdBaseDispatcher* d = GetDispatcher();
    if (!d || d->ShuttingDown())
        CheckException(nullptr, ecCommNotOpen);
    return *d;
}

void TApdCustomComPort::SetOpen(bool open)
{
    if (open == Open() || IsLoading())
        return;
    if (open)
        OpenPort();
    else
        ClosePort();
}

void TApdCustomComPort::OpenPort()
{
    if (Dispatcher_ || Opening_)
        return;
    if (DeviceLayer_ == TDeviceLayer::dlWinsock)
        CheckException(this, ecCannotUseWithWinSock);
    if (ComNumber_ == 0)
        CheckException(this, ecNoPortSelected);
    Opening_ = true;
    struct Reset {
        bool& Flag;
        ~Reset() { Flag = false; }
    } reset{Opening_};

    auto d = std::make_unique<TApdBaseDispatcher>();
    CheckException(this, d->SetLine(Line_.Baud, Line_.Parity, Line_.DataBits, Line_.StopBits));
    d->SetModem(Dtr_, Rts_);
    CheckException(this, d->OpenCom(ComPortPath(ComNumber_), InSize_, OutSize_));
    if (KeptTriggers_) {
        d->ImportTriggers(std::move(*KeptTriggers_));
        KeptTriggers_.reset();
    }

    auto link = std::make_shared<Link>();
    link->Port = this;
    link->Dispatcher = d.get();
    auto receiver =
        std::make_unique<TGuiReceiver>([link](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
            QPointer<TApdCustomComPort> port = link->Port;
            if (msg != apw_TriggerAvail || !port || !port->OnTriggerAvail)
                return 1;
            // The count is taken now: bytes read since the event was raised
            // are not offered twice.
            const auto count = static_cast<uint32_t>(link->Dispatcher->InBuffUsed());
            if (count == 0)
                return 1;
            ++port->InDataEvent_;
            struct Leave {
                QPointer<TApdCustomComPort>& P;
                ~Leave()
                {
                    if (P)
                        --P->InDataEvent_;
                }
            } leave{port};
            port->OnTriggerAvail(*port, count);
            return 1;
        });
    const TGuiTarget target = receiver->Target();
    d->SetDataEventSink([target](uint32_t count) {
        return target.Send(apw_TriggerAvail, count, 0, kDataEventSendTimeoutMs).has_value();
    });
    Dispatcher_ = std::move(d);
    Receiver_ = std::move(receiver);
    Link_ = std::move(link);
    ApplyFlow();
    Dispatcher_->StartDispatcher();
    CallUserCallbacks(true);
}

void TApdCustomComPort::ClosePort()
{
    if (!Dispatcher_ || Closing_)
        return;
    Closing_ = true;
    struct Reset {
        bool& Flag;
        ~Reset() { Flag = false; }
    } reset{Closing_};
    CallUserCallbacks(false);

    std::unique_ptr<TApdBaseDispatcher> d = std::move(Dispatcher_);
    std::unique_ptr<TGuiReceiver> receiver = std::move(Receiver_);
    std::shared_ptr<Link> link = std::move(Link_);
    link->Port = nullptr;
    // Pending output goes out first (bounded), so a last command is not lost.
    d->CloseCom(d->DefaultDrainTimeout());
    if (InDataEvent_ > 0) {
        // Closing from inside our own data event: the dispatch thread waits
        // for this very handler, so it is ended once the handler returns.
        struct Leftover {
            std::unique_ptr<TApdBaseDispatcher> D;
            std::unique_ptr<TGuiReceiver> R;
        };
        auto rest = std::make_shared<Leftover>(Leftover{std::move(d), std::move(receiver)});
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [rest] {
                rest->R.reset();
                rest->D->StopDispatch();
                rest->D.reset();
            },
            Qt::QueuedConnection);
        return;
    }
    // Dropping the receiver releases a dispatch thread waiting on the GUI.
    receiver.reset();
    d->StopDispatch();
}

void TApdCustomComPort::CallUserCallbacks(bool opening)
{
    // A callback may deregister itself: work on a copy.
    const auto callbacks = UserCallbacks_;
    for (const auto& entry : callbacks)
        if (entry.second)
            entry.second(this, opening);
}

void TApdCustomComPort::RegisterUserCallback(const void* owner, TPortCallback callback)
{
    UserCallbacks_.emplace_back(owner, std::move(callback));
}

void TApdCustomComPort::DeregisterUserCallback(const void* owner)
{
    std::erase_if(UserCallbacks_, [owner](const auto& e) { return e.first == owner; });
}

void TApdCustomComPort::SetComNumber(uint16_t number)
{
    if (number == ComNumber_)
        return;
    if (!Dispatcher_) {
        ComNumber_ = number;
        return;
    }
    KeptTriggers_ = Dispatcher_->ExportTriggers();
    ClosePort();
    ComNumber_ = number;
    OpenPort();
}

LineSettings TApdCustomComPort::CurrentLine() const
{
    // The dispatcher may have changed the rate itself (ChangeBaud).
    LineSettings line = Line_;
    if (Dispatcher_)
        Dispatcher_->GetLine(line.Baud, line.Parity, line.DataBits, line.StopBits);
    return line;
}

void TApdCustomComPort::ChangeLine(const LineSettings& line)
{
    if (Dispatcher_)
        CheckException(this,
                       Dispatcher_->SetLine(line.Baud, line.Parity, line.DataBits, line.StopBits));
    Line_ = line;
}

void TApdCustomComPort::SetBaud(uint32_t baud)
{
    LineSettings line = CurrentLine();
    line.Baud = baud;
    ChangeLine(line);
}

void TApdCustomComPort::SetDatabits(uint8_t bits)
{
    LineSettings line = CurrentLine();
    line.DataBits = bits;
    ChangeLine(line);
}

void TApdCustomComPort::SetStopbits(uint8_t bits)
{
    LineSettings line = CurrentLine();
    line.StopBits = bits;
    ChangeLine(line);
}

void TApdCustomComPort::SetParity(TParity parity)
{
    LineSettings line = CurrentLine();
    line.Parity = parity;
    ChangeLine(line);
}

void TApdCustomComPort::SetInSize(uint32_t bytes)
{
    if (Dispatcher_)
        CheckException(this, Dispatcher_->SetCommBuffers(bytes, OutSize_));
    InSize_ = bytes;
    if (Dispatcher_)
        ApplyFlow();
}

void TApdCustomComPort::SetOutSize(uint32_t bytes)
{
    if (Dispatcher_)
        CheckException(this, Dispatcher_->SetCommBuffers(InSize_, bytes));
    OutSize_ = bytes;
}

void TApdCustomComPort::ApplyFlow()
{
    const bool anyFlow = HWFlowOptions_ != 0 || SWFlowOptions_ != TSWFlowOptions::swfNone;
    if (anyFlow) {
        // Thresholds default to 90 % and 10 % of the input buffer.
        if (BufferFull_ == 0 || BufferFull_ > InSize_)
            BufferFull_ = InSize_ * 9 / 10;
        if (BufferResume_ == 0 || BufferResume_ > BufferFull_)
            BufferResume_ = InSize_ / 10;
    }
    if (!Dispatcher_)
        return;
    CheckException(this, Dispatcher_->HWFlowOptions(BufferFull_, BufferResume_, HWFlowOptions_));
    Dispatcher_->SWFlowChars(XOnChar_, XOffChar_);
    uint32_t sw = 0;
    if (SWFlowOptions_ == TSWFlowOptions::swfReceive || SWFlowOptions_ == TSWFlowOptions::swfBoth)
        sw |= sfReceiveFlow;
    if (SWFlowOptions_ == TSWFlowOptions::swfTransmit || SWFlowOptions_ == TSWFlowOptions::swfBoth)
        sw |= sfTransmitFlow;
    if (sw)
        CheckException(this, Dispatcher_->SWFlowEnable(BufferFull_, BufferResume_, sw));
    else
        Dispatcher_->SWFlowDisable();
}

void TApdCustomComPort::SetHWFlowOptions(uint32_t options)
{
    HWFlowOptions_ = options & (hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS);
    ApplyFlow();
}

void TApdCustomComPort::SetSWFlowOptions(TSWFlowOptions options)
{
    SWFlowOptions_ = options;
    ApplyFlow();
}

void TApdCustomComPort::SetBufferFull(uint32_t bytes)
{
    BufferFull_ = bytes;
    ApplyFlow();
}

void TApdCustomComPort::SetBufferResume(uint32_t bytes)
{
    BufferResume_ = bytes;
    ApplyFlow();
}

void TApdCustomComPort::SetXOnChar(uint8_t ch)
{
    XOnChar_ = ch;
    ApplyFlow();
}

void TApdCustomComPort::SetXOffChar(uint8_t ch)
{
    XOffChar_ = ch;
    ApplyFlow();
}

void TApdCustomComPort::SetDTR(bool on)
{
    Dtr_ = on;
    if (Dispatcher_)
        CheckException(this, Dispatcher_->SetDTR(on));
}

void TApdCustomComPort::SetRTS(bool on)
{
    Rts_ = on;
    if (Dispatcher_)
        CheckException(this, Dispatcher_->SetRTS(on));
}

void TApdCustomComPort::PutChar(char ch)
{
    CheckException(this, RequireDispatcher().PutChar(static_cast<uint8_t>(ch)));
}

void TApdCustomComPort::PutString(const std::string& s)
{
    CheckException(this, RequireDispatcher().PutString(s));
}

void TApdCustomComPort::PutBlock(const void* buffer, std::size_t n)
{
    CheckException(this, RequireDispatcher().PutBlock(buffer, n));
}

bool TApdCustomComPort::CharReady()
{
    return Dispatcher_ && Dispatcher_->CharReady();
}

char TApdCustomComPort::GetChar()
{
    uint8_t ch = 0;
    CheckException(this, RequireDispatcher().GetChar(ch));
    return static_cast<char>(ch);
}

std::size_t TApdCustomComPort::GetBlock(void* buffer, std::size_t n)
{
    if (!Dispatcher_ || n == 0)
        return 0;
    const int got = Dispatcher_->GetBlock(static_cast<uint8_t*>(buffer), n);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

std::size_t TApdCustomComPort::InBuffUsed()
{
    return Dispatcher_ ? Dispatcher_->InBuffUsed() : 0;
}

std::size_t TApdCustomComPort::OutBuffUsed()
{
    return Dispatcher_ ? Dispatcher_->OutBuffUsed() : 0;
}

std::size_t TApdCustomComPort::OutBuffFree()
{
    return Dispatcher_ ? Dispatcher_->OutBuffFree() : 0;
}

void TApdCustomComPort::FlushInBuffer()
{
    if (Dispatcher_ && !Closing_ && !Dispatcher_->ShuttingDown())
        Dispatcher_->FlushInBuffer();
}

void TApdCustomComPort::FlushOutBuffer()
{
    if (Dispatcher_ && !Closing_ && !Dispatcher_->ShuttingDown())
        Dispatcher_->FlushOutBuffer();
}

bool IsPortAvailable(unsigned portNumber)
{
    if (portNumber == 0)
        return false;
    const int r = SerialDevice::Probe(ComPortPath(portNumber));
    // Held by another program, or closed to this user: still a port that
    // exists.
    return r == 0 || r == ecSharingViolation || r == ecAccessDenied;
}

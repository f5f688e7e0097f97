#pragma once

#include "serial/ad_component.h"
#include "serial/ad_dispatcher.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TGuiReceiver;

enum class TDeviceLayer : uint8_t { dlWin32, dlWinsock };
enum class TTapiMode : uint8_t { tmNone, tmAuto, tmOn, tmOff };
enum class TSWFlowOptions : uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };

// Hardware flow option set (bits).
inline constexpr uint32_t hwfUseDTR = hfUseDTR;
inline constexpr uint32_t hwfUseRTS = hfUseRTS;
inline constexpr uint32_t hwfRequireDSR = hfRequireDSR;
inline constexpr uint32_t hwfRequireCTS = hfRequireCTS;

// Time limit of the blocking hand-over of a data event to the GUI thread.
inline constexpr uint32_t kDataEventSendTimeoutMs = 3000;

// The serial port component. Create, use and free it on the GUI thread. While
// it is open, a dispatcher with its three threads serves it; each data event
// reaches OnTriggerAvail on the GUI thread by a blocking hand-over limited to
// 3000 ms.
class TApdCustomComPort : public TApdBaseComponent {
    Q_OBJECT
public:
    // (port, Opening): called after the port opens and before it closes.
    using TPortCallback = std::function<void(TApdCustomComPort* sender, bool opening)>;
    // (port, bytes waiting in the input buffer), on the GUI thread.
    using TTriggerAvailEvent = std::function<void(TApdCustomComPort& port, uint32_t count)>;

    explicit TApdCustomComPort(QObject* owner = nullptr);
    ~TApdCustomComPort() override;

    TDeviceLayer DeviceLayer() const { return DeviceLayer_; }
    void SetDeviceLayer(TDeviceLayer layer) { DeviceLayer_ = layer; }
    TTapiMode TapiMode() const { return TapiMode_; }
    void SetTapiMode(TTapiMode mode) { TapiMode_ = mode; }

    uint16_t ComNumber() const { return ComNumber_; }
    // On an open port: closes and reopens on the new number, keeping the
    // triggers.
    void SetComNumber(uint16_t number);
    uint32_t Baud() const { return CurrentLine().Baud; }
    void SetBaud(uint32_t baud);
    uint8_t DataBits() const { return CurrentLine().DataBits; }
    void SetDatabits(uint8_t bits);
    uint8_t StopBits() const { return CurrentLine().StopBits; }
    void SetStopbits(uint8_t bits);
    TParity Parity() const { return CurrentLine().Parity; }
    void SetParity(TParity parity);
    uint32_t InSize() const { return InSize_; }
    void SetInSize(uint32_t bytes);
    uint32_t OutSize() const { return OutSize_; }
    void SetOutSize(uint32_t bytes);

    uint32_t HWFlowOptions() const { return HWFlowOptions_; }
    void SetHWFlowOptions(uint32_t options);
    TSWFlowOptions SWFlowOptions() const { return SWFlowOptions_; }
    void SetSWFlowOptions(TSWFlowOptions options);
    uint32_t BufferFull() const { return BufferFull_; }
    void SetBufferFull(uint32_t bytes);
    uint32_t BufferResume() const { return BufferResume_; }
    void SetBufferResume(uint32_t bytes);
    uint8_t XOnChar() const { return XOnChar_; }
    void SetXOnChar(uint8_t ch);
    uint8_t XOffChar() const { return XOffChar_; }
    void SetXOffChar(uint8_t ch);
    bool DTR() const { return Dtr_; }
    void SetDTR(bool on);
    bool RTS() const { return Rts_; }
    void SetRTS(bool on);

    bool Open() const { return Dispatcher_ != nullptr; }
    void SetOpen(bool open);
    bool AutoOpen() const { return AutoOpen_; }
    void SetAutoOpen(bool on) { AutoOpen_ = on; }

    // Set by the fax components: their line settings stand, and Loaded()
    // does not put the load-time defaults back.
    bool LineSetByFax() const { return LineSetByFax_; }
    void SetLineSetByFax(bool on) { LineSetByFax_ = on; }
    // End of loading from a stored form: the load-time line defaults
    // (19200 baud, 8 data bits, no parity, 1 stop bit) apply unless a fax
    // component set the line.
    void Loaded();

    // The dispatcher, or none when closed; opens the port first when
    // AutoOpen is set (and the component is not loading).
    TApdBaseDispatcher* GetDispatcher();

    // Output: raises ECommNotOpen on a closed or closing port and
    // EOutputBufferTooSmall when the bytes do not fit.
    void PutChar(char ch);
    void PutString(const std::string& s);
    void PutBlock(const void* buffer, std::size_t n);
    // Input: GetChar raises EBufferIsEmpty when nothing waits.
    bool CharReady();
    char GetChar();
    std::size_t GetBlock(void* buffer, std::size_t n);
    std::size_t InBuffUsed();
    std::size_t OutBuffUsed();
    std::size_t OutBuffFree();
    // Discards buffered input (nothing while closed or closing).
    void FlushInBuffer();
    void FlushOutBuffer();

    void RegisterUserCallback(const void* owner, TPortCallback callback);
    // Removes every callback registered under that owner.
    void DeregisterUserCallback(const void* owner);

    TTriggerAvailEvent OnTriggerAvail;

private:
    struct Link;
    LineSettings CurrentLine() const;
    void ChangeLine(const LineSettings& line);
    void OpenPort();
    void ClosePort();
    void CallUserCallbacks(bool opening);
    void ApplyFlow();
    TApdBaseDispatcher& RequireDispatcher();

    TDeviceLayer DeviceLayer_ = TDeviceLayer::dlWin32;
    TTapiMode TapiMode_ = TTapiMode::tmAuto;
    uint16_t ComNumber_ = 0;
    LineSettings Line_;
    uint32_t InSize_ = 4096;
    uint32_t OutSize_ = 4096;
    uint32_t HWFlowOptions_ = 0;
    TSWFlowOptions SWFlowOptions_ = TSWFlowOptions::swfNone;
    uint32_t BufferFull_ = 0;
    uint32_t BufferResume_ = 0;
    uint8_t XOnChar_ = 0x11;
    uint8_t XOffChar_ = 0x13;
    bool Dtr_ = true;
    bool Rts_ = true;
    bool AutoOpen_ = true;
    bool LineSetByFax_ = false;
    bool Opening_ = false;
    bool Closing_ = false;
    int InDataEvent_ = 0;
    std::optional<TTriggerSet> KeptTriggers_;
    std::vector<std::pair<const void*, TPortCallback>> UserCallbacks_;
    std::unique_ptr<TApdBaseDispatcher> Dispatcher_;
    std::unique_ptr<TGuiReceiver> Receiver_;
    std::shared_ptr<Link> Link_;
};

// The port component as placed on forms.
class TApdComPort : public TApdCustomComPort {
    Q_OBJECT
public:
    using TApdCustomComPort::TApdCustomComPort;
};

// Whether "COMn" can be used: opened and closed at once. A port that another
// holder has open, or that this user may not open, counts as available (the
// opening says why); a missing device does not; port 0 never is.
bool IsPortAvailable(unsigned portNumber);

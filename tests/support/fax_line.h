#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// A telephone line between two fax ends, run as 8 kHz audio in 20 ms steps.
// Each end is either a Class 1 fax modem (spandsp's T.31 emulator) whose AT
// side is a pseudo-terminal, or spandsp's own T.30 fax terminal reading or
// writing a TIFF file.
//
// Dialling ("ATD<number>") on a modem end rings the other end; the numbers
// kBusyNumber, kNoDialToneNumber and kNoAnswerNumber give those outcomes
// instead (they are made of dial characters, so a modem dials them). A
// terminal that calls rings the other (modem) end as soon as the line
// starts. Audio time follows real time times `Speed`; the far-end timers of
// T.30 run in audio time, so a speed above 1 shortens them for the DTE.
//
// A modem end holds its AT input (stops reading the pseudo-terminal) while
// the emulator asks for flow control, so a writer there blocks like one
// behind a modem that dropped CTS.
class TFaxLine {
public:
    struct TTerminalResult {
        bool Done = false;
        int Completion = -1; // spandsp's T30_ERR_... code; 0 = success
        int PagesTx = 0;
        int PagesRx = 0;
        int BitRate = 0;
        std::string RemoteIdent;
    };
    struct TTerminalSetup {
        bool Calling = false;    // places the call (else answers it)
        std::string SendTiff;    // pages to send, or empty
        std::string ReceiveTiff; // where received pages go, or empty
        std::string Ident = "SPANDSP TERMINAL";
        int Modems = 0x07; // V.27ter | V.29 | V.17
        bool Fine = true;  // fine resolution offered
    };

    static constexpr const char* kBusyNumber = "*71";
    static constexpr const char* kNoDialToneNumber = "*72";
    static constexpr const char* kNoAnswerNumber = "*73";

    TFaxLine();
    ~TFaxLine();
    TFaxLine(const TFaxLine&) = delete;
    TFaxLine& operator=(const TFaxLine&) = delete;

    // Before Start: makes end 0 or 1 a modem; gives its pseudo-terminal.
    std::string AddModem(int end);
    // Any time: the modem of that end goes as an unplugged one does. Its
    // pseudo-terminal is gone (the DTE's side reads a hang-up and fails) and
    // a call it was in ends for the other end.
    void UnplugModem(int end);
    // Any time after UnplugModem: a new modem at that end, on a new
    // pseudo-terminal, which it gives.
    std::string PlugModem(int end);
    void AddTerminal(int end, const TTerminalSetup& setup);
    void Start();
    // Any time: the terminal of that end takes a new set-up for its next
    // call once the line is free (a calling set-up then rings the other
    // end); its result starts afresh.
    void RearmTerminal(int end, const TTerminalSetup& setup);
    // Neither ringing nor in a call.
    bool LineFree() const { return FRingEnd < 0 && !FInCall; }
    // Stops the line; ends are freed with the line.
    void Stop();

    // Waits until the terminal of that end has finished its call.
    bool WaitTerminal(int end, int timeoutMs);
    TTerminalResult TerminalResult(int end);
    // Whole AT command lines each modem end received, for checks.
    std::string ModemLog(int end);

    double Speed = 1.0;

private:
    struct TEnd;
    void Run();
    void Step();
    std::unique_ptr<TEnd> MakeModem(int end);
    std::unique_ptr<TEnd> MakeTerminal(int end, const TTerminalSetup& setup);
    // Runs the task on the line's thread between two steps (at once when the
    // line is not running) and waits for it.
    void OnLine(std::function<void()> task);
    void TakeTask();
    void InitTerminal(TEnd& e);
    bool Idle(const TEnd& e) const;
    void TakeRearm();
    void PumpPty(TEnd& e);
    void FlushPty(TEnd& e);
    void Ring(int end);
    void Connect(int caller);
    void HangUpFrom(int end);
    struct TCallbacks; // spandsp's callbacks, with its types

    std::array<std::unique_ptr<TEnd>, 2> FEnds;
    std::mutex FLock; // guards terminal results and modem logs
    std::condition_variable FDone;
    std::atomic<bool> FStop{false};
    std::thread FThread;
    std::atomic<int> FRingEnd{-1}; // end being rung, or -1
    int FRingCaller = -1;          // end that called
    long FRingSamples = 0;         // audio samples to the next ring
    std::atomic<bool> FInCall{false};
    // A terminal set-up waiting for the line to be free (under FLock).
    int FRearmEnd = -1;
    TTerminalSetup FRearm;
    // A task for the line's thread (under FLock).
    std::function<void()> FTask;
};

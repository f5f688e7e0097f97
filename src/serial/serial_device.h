#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <termios.h>

// Parity values of the line settings.
enum class TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };

// Modem status bits as GetModemStatus reports them.
inline constexpr uint32_t kMsCTS = 0x10;
inline constexpr uint32_t kMsDSR = 0x20;
inline constexpr uint32_t kMsRing = 0x40;
inline constexpr uint32_t kMsDCD = 0x80;

struct LineSettings {
    uint32_t Baud = 19200;
    TParity Parity = TParity::pNone;
    uint8_t DataBits = 8;
    uint8_t StopBits = 1;
};

struct DeviceFlow {
    bool RtsCts = false;     // hardware handshake in the driver
    bool XonXoffIn = false;  // driver sends XOFF/XON as its input fills
    bool XonXoffOut = false; // driver obeys received XOFF/XON
    uint8_t XonChar = 0x11;
    uint8_t XoffChar = 0x13;
};

// Which device a name leads to: the node (file system and inode) and the
// device number. A device that went and came back under the same node and
// number is the same to this.
struct TDeviceId {
    dev_t Dev = 0;
    ino_t Ino = 0;
    dev_t Rdev = 0;
    bool operator==(const TDeviceId&) const = default;
};

// One open termios device in raw, non-blocking mode. Every call returns 0 or
// a negative library error code. The terminal's settings as found at the
// open are put back when it is let go.
class SerialDevice {
public:
    SerialDevice() = default;
    ~SerialDevice() { Close(); }
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // Opens the device for this process alone (TIOCEXCL and an exclusive
    // flock); a device that another holder has locked gives
    // ecSharingViolation, one this user may not open ecAccessDenied.
    int Open(const std::string& path);
    // Opens and closes at once without changing the device: 0 when free,
    // else the failure (ecSharingViolation when held by another).
    static int Probe(const std::string& path);
    // Without opening it: 0 when a device is at `path`, else why not
    // (ecFileNotFound where nothing is, a link left dangling included);
    // `id`, when given, receives which device it is.
    static int Present(const std::string& path, TDeviceId* id = nullptr);
    // Puts the terminal's settings back as Open found them, then lets it go.
    void Close();
    bool IsOpen() const { return Fd_ >= 0; }
    int Fd() const { return Fd_; }
    // The device open now, as Open found it.
    const TDeviceId& Id() const { return Id_; }

    int SetLine(const LineSettings& line);
    int SetFlow(const DeviceFlow& flow);
    // Both lines; devices without modem lines (pseudo-terminals) accept it.
    int SetModemLines(bool dtr, bool rts);
    int SetDtr(bool on);
    int SetRts(bool on);
    // Modem status bits; false on devices without modem lines.
    bool ReadModemStatus(uint32_t& status) const;

    // Reads what is there without blocking: bytes read, 0 when none, or a
    // negative code when the device failed or went away.
    long ReadSome(uint8_t* buf, std::size_t n);
    long WriteSome(const uint8_t* buf, std::size_t n);
    // Bytes still in the driver's output queue.
    int OutputQueued() const;
    // Waits until the driver has sent everything or the time is up; true
    // when drained.
    bool Drain(uint32_t timeoutMs);
    void FlushInput();
    void FlushOutput();

    // errno -> library error code.
    static int ErrnoToCode(int err);
    static bool BaudSupported(uint32_t baud);

private:
    int Fd_ = -1;
    bool Exclusive_ = false;
    termios Found_{};
    TDeviceId Id_;
};

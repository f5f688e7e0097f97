#include "serial/serial_device.h"

#include "serial/ad_except.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

speed_t SpeedOf(uint32_t baud)
{
    switch (baud) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 500000:
        return B500000;
    case 576000:
        return B576000;
    case 921600:
        return B921600;
    case 1000000:
        return B1000000;
    default:
        return B0;
    }
}

// Devices without modem lines answer these ioctls with one of these.
bool NoModemLines(int err)
{
    return err == ENOTTY || err == EINVAL;
}

} // namespace

int SerialDevice::ErrnoToCode(int err)
{
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        return AdErr::ecFileNotFound;
    case EACCES:
    case EPERM:
        return AdErr::ecAccessDenied;
    case EBUSY:
    case EWOULDBLOCK:
        return AdErr::ecSharingViolation;
    case EMFILE:
    case ENFILE:
        return AdErr::ecTooManyFiles;
    case ENOMEM:
        return AdErr::ecOutOfMemory;
    case EBADF:
        return AdErr::ecInvalidHandle;
    default:
        return AdErr::ecHardware;
    }
}

bool SerialDevice::BaudSupported(uint32_t baud)
{
    return SpeedOf(baud) != B0;
}

int SerialDevice::Open(const std::string& path)
{
    Close();
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return ErrnoToCode(errno);
    // The lock keeps out a second holder even where TIOCEXCL does not (root).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        return ErrnoToCode(err == EWOULDBLOCK ? EBUSY : err);
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        const int err = errno;
        ::close(fd);
        return err == ENOTTY ? AdErr::ecBadId : ErrnoToCode(err);
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return ErrnoToCode(err);
    }
    Found_ = tio;
    Exclusive_ = ::ioctl(fd, TIOCEXCL) == 0;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        const int err = errno;
        if (Exclusive_)
            ::ioctl(fd, TIOCNXCL);
        Exclusive_ = false;
        ::close(fd);
        return ErrnoToCode(err);
    }
    Fd_ = fd;
    Id_ = {st.st_dev, st.st_ino, st.st_rdev};
    return 0;
}

int SerialDevice::Probe(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        // A file this user may not open is no port at all unless it is a
        // device.
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode))
            return AdErr::ecBadId;
        return ErrnoToCode(error);
    }
    int result = 0;
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        result = errno == ENOTTY ? AdErr::ecBadId : ErrnoToCode(errno);
    else if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        result = ErrnoToCode(errno == EWOULDBLOCK ? EBUSY : errno);
    else
        ::flock(fd, LOCK_UN);
    ::close(fd);
    return result;
}

int SerialDevice::Present(const std::string& path, TDeviceId* id)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return ErrnoToCode(errno);
    if (!S_ISCHR(st.st_mode))
        return AdErr::ecBadId;
    if (id)
        *id = {st.st_dev, st.st_ino, st.st_rdev};
    return 0;
}

void SerialDevice::Close()
{
    if (Fd_ < 0)
        return;
    // The terminal may be another program's (a name given to another device
    // while the modem was away): it gets back the settings it had. A device
    // gone fails this, which changes nothing.
    ::tcsetattr(Fd_, TCSANOW, &Found_);
    // The exclusive mode belongs to the terminal, not the descriptor: only
    // the holder that set it clears it.
    if (Exclusive_)
        ::ioctl(Fd_, TIOCNXCL);
    Exclusive_ = false;
    ::flock(Fd_, LOCK_UN);
    ::close(Fd_);
    Fd_ = -1;
    Id_ = {};
}

int SerialDevice::SetLine(const LineSettings& line)
{
    if (Fd_ < 0)
        return AdErr::ecCommNotOpen;
    const speed_t speed = SpeedOf(line.Baud);
    if (speed == B0)
        return AdErr::ecBaudRate;
    if (line.DataBits < 5 || line.DataBits > 8)
        return AdErr::ecByteSize;
    if (line.StopBits != 1 && line.StopBits != 2)
        return AdErr::ecDefault;
    termios tio{};
    if (::tcgetattr(Fd_, &tio) != 0)
        return ErrnoToCode(errno);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[line.DataBits - 5];
    if (line.StopBits == 2)
        tio.c_cflag |= CSTOPB;
    switch (line.Parity) {
    case TParity::pNone:
        break;
    case TParity::pOdd:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case TParity::pEven:
        tio.c_cflag |= PARENB;
        break;
    case TParity::pMark:
        tio.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case TParity::pSpace:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    }
    if (::tcsetattr(Fd_, TCSANOW, &tio) != 0)
        return ErrnoToCode(errno);
    return 0;
}

int SerialDevice::SetFlow(const DeviceFlow& flow)
{
    if (Fd_ < 0)
        return AdErr::ecCommNotOpen;
    termios tio{};
    if (::tcgetattr(Fd_, &tio) != 0)
        return ErrnoToCode(errno);
    tio.c_cflag &= ~CRTSCTS;
    if (flow.RtsCts)
        tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (flow.XonXoffIn)
        tio.c_iflag |= IXOFF;
    if (flow.XonXoffOut)
        tio.c_iflag |= IXON;
    tio.c_cc[VSTART] = flow.XonChar;
    tio.c_cc[VSTOP] = flow.XoffChar;
    if (::tcsetattr(Fd_, TCSANOW, &tio) != 0)
        return ErrnoToCode(errno);
    return 0;
}

int SerialDevice::SetModemLines(bool dtr, bool rts)
{
    const int r = SetDtr(dtr);
    return r < 0 ? r : SetRts(rts);
}

int SerialDevice::SetDtr(bool on)
{
    if (Fd_ < 0)
        return AdErr::ecCommNotOpen;
    int bits = TIOCM_DTR;
    if (::ioctl(Fd_, on ? TIOCMBIS : TIOCMBIC, &bits) != 0 && !NoModemLines(errno))
        return ErrnoToCode(errno);
    return 0;
}

int SerialDevice::SetRts(bool on)
{
    if (Fd_ < 0)
        return AdErr::ecCommNotOpen;
    int bits = TIOCM_RTS;
    if (::ioctl(Fd_, on ? TIOCMBIS : TIOCMBIC, &bits) != 0 && !NoModemLines(errno))
        return ErrnoToCode(errno);
    return 0;
}

bool SerialDevice::ReadModemStatus(uint32_t& status) const
{
    int bits = 0;
    status = 0;
    if (Fd_ < 0 || ::ioctl(Fd_, TIOCMGET, &bits) != 0)
        return false;
    if (bits & TIOCM_CTS)
        status |= kMsCTS;
    if (bits & TIOCM_DSR)
        status |= kMsDSR;
    if (bits & TIOCM_RNG)
        status |= kMsRing;
    if (bits & TIOCM_CAR)
        status |= kMsDCD;
    return true;
}

long SerialDevice::ReadSome(uint8_t* buf, std::size_t n)
{
    if (Fd_ < 0)
        return AdErr::ecCommNotOpen;
    for (;;) {
        const ssize_t got = ::read(Fd_, buf, n);
        if (got > 0)
            return got;
        if (got == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return AdErr::ecDeviceRead;
    }
}

long SerialDevice::WriteSome(const uint8_t* buf, std::size_t n)
{
    if (Fd_ < 0)
        return AdErr::ecCommNotOpen;
    for (;;) {
        const ssize_t put = ::write(Fd_, buf, n);
        if (put >= 0)
            return put;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return AdErr::ecDeviceWrite;
    }
}

int SerialDevice::OutputQueued() const
{
    int queued = 0;
    if (Fd_ < 0 || ::ioctl(Fd_, TIOCOUTQ, &queued) != 0)
        return 0;
    return queued;
}

bool SerialDevice::Drain(uint32_t timeoutMs)
{
    // tcdrain has no time-out; watch the driver's queue instead.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (OutputQueued() > 0) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void SerialDevice::FlushInput()
{
    if (Fd_ >= 0)
        ::tcflush(Fd_, TCIFLUSH);
}

void SerialDevice::FlushOutput()
{
    if (Fd_ >= 0)
        ::tcflush(Fd_, TCOFLUSH);
}

#include "platform/ras.h"

#include "platform/ras_pppd.h"

#include <atomic>

namespace {

struct TText {
    int Code;
    const char* Text;
};

constexpr TText kTexts[] = {
    {RasCode::ERROR_INVALID_HANDLE, "The connection does not exist."},
    {RasCode::ERROR_NOT_SUPPORTED, "This operation is not supported here."},
    {RasCode::ERROR_INVALID_PARAMETER, "A value holds characters the phone book cannot store."},
    {RasCode::ERROR_INVALID_NAME, "The entry name is not valid."},
    {RasCode::ERROR_ALREADY_EXISTS, "An entry of that name already exists."},
    {RasCode::ERROR_BUFFER_TOO_SMALL, "The buffer is too small."},
    {RasCode::ERROR_DEVICE_DOES_NOT_EXIST, "The device does not exist."},
    {RasCode::ERROR_CANNOT_OPEN_PHONEBOOK, "The phone book cannot be opened."},
    {RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY, "The phone-book entry does not exist."},
    {RasCode::ERROR_CANNOT_WRITE_PHONEBOOK, "The phone book cannot be written."},
    {RasCode::ERROR_CORRUPT_PHONEBOOK, "The phone-book entry holds invalid settings."},
    {RasCode::ERROR_DISCONNECTION, "The connection was closed."},
    {RasCode::ERROR_REMOTE_DISCONNECTION, "The connection was closed by the remote computer."},
    {RasCode::ERROR_HARDWARE_FAILURE, "The modem or the system cannot carry the connection."},
    {RasCode::ERROR_USER_DISCONNECTION, "The connection was hung up."},
    {RasCode::ERROR_PORT_NOT_AVAILABLE, "The port is in use or cannot be opened."},
    {RasCode::ERROR_UNKNOWN, "The dial-up service failed."},
    {RasCode::ERROR_LINE_BUSY, "The line is busy."},
    {RasCode::ERROR_NO_ANSWER, "The remote computer did not answer."},
    {RasCode::ERROR_NO_CARRIER, "No carrier was detected."},
    {RasCode::ERROR_NO_DIALTONE, "There is no dial tone."},
    {RasCode::ERROR_AUTHENTICATION_FAILURE,
     "Access was denied because the user name or password is not valid."},
    {RasCode::ERROR_PORT_OR_DEVICE, "The modem failed to start."},
    {RasCode::ERROR_PPP_TIMEOUT, "The remote computer did not respond in time."},
    {RasCode::ERROR_PPP_NO_PROTOCOLS_CONFIGURED,
     "No network protocol could be agreed with the remote computer."},
    {RasCode::ERROR_PPP_LOOPBACK_DETECTED, "The line is looped back."},
};

std::atomic<TRasBackend*> GInstalled{nullptr};

} // namespace

int TRasBackend::CheckEntryValues(const TRasEntry&, const TRasDialParams&, TRasRefusal& refusal)
{
    refusal = TRasRefusal{};
    return RasCode::SUCCESS;
}

std::string TRasBackend::ErrorText(int code) const
{
    return RasErrorText(code);
}

std::string RasErrorText(int code)
{
    for (const auto& t : kTexts)
        if (t.Code == code)
            return t.Text;
    return std::string();
}

TRasBackend& RasBackend()
{
    if (TRasBackend* installed = GInstalled.load())
        return *installed;
    static TPppdRas pppd;
    return pppd;
}

TRasBackend* SetRasBackend(TRasBackend* backend)
{
    return GInstalled.exchange(backend);
}

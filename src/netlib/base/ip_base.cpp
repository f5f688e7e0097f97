#include "netlib/base/ip_base.h"

#include "netlib/base/ip_const.h"

std::string IpShortVersion()
{
    return IpFormat(IpConst::sShortVersion, {IpLibraryVersion});
}

std::string IpLongVersion()
{
    return IpFormat(IpConst::sLongVersion, {IpLibraryVersion});
}

TIpProc TIpBaseAccess::Resolve(TIpProc& slot, std::string_view name)
{
    auto guard = PropertyGuard();
    if (!slot && FModule)
        slot = FModule->GetProcAddress(name);
    if (!slot)
        throw EIpAccessException(IpFormat(
            IpConst::SAccessProcErr, {name, FModule ? "the library has no entry point of that name"
                                                    : "the library is not loaded"}));
    return slot;
}

std::string TIpBaseComponent::GetLogString(uint32_t, uint32_t, uint32_t, uint32_t, std::string_view)
{
    return "!!!! Unhandled log entry\n\r";
}

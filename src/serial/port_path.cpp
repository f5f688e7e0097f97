#include "serial/port_path.h"

#include "serial/ad_misc.h"

#include "platform/data_root.h"
#include "platform/profile.h"

#include <cstdlib>

std::string ComPortIniFile()
{
    return DataRoot::Path("skipmail.INI");
}

std::string ComPortPath(unsigned portNumber)
{
    if (portNumber == 0)
        return {};
    const std::string name = ComName(portNumber);
    if (const char* env = std::getenv(("SKIPMAIL_" + name).c_str()); env && *env)
        return env;
    std::string path = GetPrivateProfileString("PORTS", name, "", ComPortIniFile());
    if (!path.empty())
        return path;
    return "/dev/ttyS" + std::to_string(portNumber - 1);
}

#pragma once

#include <string>

// The device path behind "COMn": the environment variable SKIPMAIL_COMn,
// else key COMn of section [PORTS] in the program's INI file, else
// /dev/ttyS(n-1). Empty for port 0.
std::string ComPortPath(unsigned portNumber);

// The program's INI file, in the data root.
std::string ComPortIniFile();

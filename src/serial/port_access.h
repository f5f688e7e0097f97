#pragma once

#include <string>

// What a device this user may not open is said with, at the start and when
// a lost modem's name comes back as one: who may, as its owner, group and
// mode say, and what gives this user the right. `name` is how the port is
// called ("COM1 (/dev/ttyS0)"), `path` the device's name.
std::string PortAccessDenied(const std::string& name, const std::string& path);

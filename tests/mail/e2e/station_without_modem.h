#pragma once

#include "app/station_parts.h"

// The station's parts as the program builds them, without link control or a
// modem, with a fast router and no tray icon: a whole station on loopback.
inline TStationParts StationPartsWithoutModem()
{
    TStationParts parts = DefaultStationParts();
    parts.LinkControl = nullptr;
    parts.Modem = nullptr;
    parts.StatusHoldMs = 0;
    parts.RouterTurnMs = 10;
    parts.RouterPauseMs = 0;
    parts.UseTrayIcon = false;
    parts.Quit = [](int) {};
    return parts;
}

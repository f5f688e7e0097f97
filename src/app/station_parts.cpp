#include "app/station_parts.h"

#include <QCoreApplication>

TStationParts DefaultStationParts()
{
    TStationParts parts;
    // The link control window, the station configuration dialog, the modem
    // start, the local mail servers and the gateways are plugged in here as
    // they join the program; until then their steps build nothing.
    parts.Quit = [](int exitCode) { QCoreApplication::exit(exitCode); };
    return parts;
}

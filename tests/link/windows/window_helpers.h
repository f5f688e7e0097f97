#pragma once

#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/channel_list.h"
#include "core/config.h"
#include "core/scheduled_link_list.h"
#include "core/station_list.h"
#include "link/link_ctrl_frm.h"
#include "support/sky_sim.h"
#include "support/test_host.h"

// One station's tables (two channels) and link control window in the data
// root `root`, on the serial port at `portPath`. The data root is left
// pointing at `root`.
struct TStationRig {
    TStationRig(const std::string& root, const std::string& name, const std::string& selCall,
                const std::string& radioType, const std::string& portPath);
    void AddStation(const std::string& name, const std::string& selCall);
    // Opens the port and waits until the modem is configured.
    bool Ready();
    // The window's status box.
    std::string Log() const;

    std::string Root;
    int Port;
    std::unique_ptr<TConfig> Config;
    std::unique_ptr<TStationList> Stations;
    std::unique_ptr<TChannelList> Channels;
    std::unique_ptr<TScheduledLinkList> Schedule;
    std::unique_ptr<TLinkCtrlFrm> Form;
};

// HOME (ID 0001) alone on a simulated modem that leaves every call to the
// test, knowing FIELD (ID 0002).
struct TOneStation {
    explicit TOneStation(const std::string& radioType = "NONE");
    // A manual call to FIELD, which the modem then reports linked.
    bool LinkWithField();
    // Whether the modem received the command.
    bool Sent(uint8_t command);

    QTemporaryDir Dir;
    TModemSimPty Sim;
    TStationRig Home;
};

// HOME (ID 0001, modem 0) and FIELD (ID 0002, modem 1) under one sky,
// knowing each other, with radios of `radioType` (none by default); the data
// root is HOME's. Sounds are recorded, not played.
struct TTwoStations {
    explicit TTwoStations(TSkyCore::TOptions options = {}, const std::string& radioType = "NONE");
    ~TTwoStations();
    // HOME calls FIELD; true once both chat windows know the link is up.
    bool Link();

    QTemporaryDir Dir;
    TSkyPty Sky;
    std::unique_ptr<TStationRig> Field;
    std::unique_ptr<TStationRig> Home;
    std::vector<std::string> Played;
};

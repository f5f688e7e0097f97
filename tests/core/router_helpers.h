#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/alias_list.h"
#include "core/config.h"
#include "core/station_list.h"
#include "core/user_list.h"
#include "support/test_files.h"

// A fresh data root with a small network: this station HOME; S2; S3 routed
// via S2; GW; the local user bob; the alias john@example.com -> bob@HOME.
class TStationFixture {
public:
    TStationFixture();
    ~TStationFixture();

    std::string Path(const std::string& relative) const;
    // Drops a message into QUEUE under the given name.
    void Queue(const std::string& name, const std::string& content) const;
    // The message files of a directory (relative to the root), in order,
    // with their contents.
    std::vector<std::string> Files(const std::string& dir) const;
    std::vector<std::string> Names(const std::string& dir) const;

    TempRoot Dir;
    std::unique_ptr<TConfig> Config;
    std::unique_ptr<TStationList> Stations;
    std::unique_ptr<TUserList> Users;
    std::unique_ptr<TAliasList> Aliases;
};

// A message from `from` with a small body.
std::string Message(const std::string& from, const std::string& subject = "test",
                    const std::string& body = "hello\r\n");

#include "core/router_helpers.h"

#include <gtest/gtest.h>

#include "core/message_store.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"

TStationFixture::TStationFixture()
{
    MessageStore::CreateWorkingDirectories();
    Config = std::make_unique<TConfig>();
    Stations = std::make_unique<TStationList>();
    Stations->Add({"HOME", "HM1", "1001", "", "DISABLED", "", "", ""});
    Stations->Add({"S2", "S2C", "1002", "", "ENABLED", "", "", ""});
    Stations->Add({"S3", "S3C", "1003", "S2", "DISABLED", "", "", ""});
    Stations->Add({"GW", "GWC", "1004", "", "DISABLED", "", "", ""});
    Users = std::make_unique<TUserList>();
    Users->Add({"bob", "secret", ""});
    Aliases = std::make_unique<TAliasList>();
    Aliases->Add("john@example.com", "bob@HOME", "bob", "HOME");
}

TStationFixture::~TStationFixture() = default;

std::string TStationFixture::Path(const std::string& relative) const
{
    return DataRoot::Path(relative);
}

void TStationFixture::Queue(const std::string& name, const std::string& content) const
{
    WriteFileAtomic(Path("QUEUE/" + name), content);
}

std::vector<std::string> TStationFixture::Names(const std::string& dir) const
{
    std::vector<std::string> names;
    for (const auto& f : MessageStore::ListMessages(Path(dir)))
        names.push_back(f.Name);
    return names;
}

std::vector<std::string> TStationFixture::Files(const std::string& dir) const
{
    std::vector<std::string> out;
    for (const auto& name : Names(dir)) {
        std::string text;
        ReadWholeFile(Path(dir + "/" + name), text);
        out.push_back(text);
    }
    return out;
}

std::string Message(const std::string& from, const std::string& subject, const std::string& body)
{
    return "From: " + from + "\r\nSubject: " + subject + "\r\n\r\n" + body;
}

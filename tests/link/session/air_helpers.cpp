#include "link/session/air_helpers.h"

#include <QDir>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

QString TAirPair::TempTemplate()
{
    const bool shm = ::access("/dev/shm", W_OK) == 0;
    return (shm ? QString("/dev/shm") : QDir::tempPath()) + "/skip_link_XXXXXX";
}

bool TAirPair::TEnd::Logged(const std::string& part) const
{
    return std::any_of(Log.begin(), Log.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

void TAirPair::TEnd::Flush()
{
    std::string data;
    data.swap(Pending);
    Session->Receive(data.data(), data.size());
}

TAirPair::TAirPair(const std::string& baseDir, TSkyCore::TOptions options) : FSky(options)
{
    const char* names[] = {"HOME", "FIELD"};
    for (int i = 0; i < 2; ++i) {
        auto end = std::make_unique<TEnd>();
        TEnd& e = *end;
        e.Name = names[i];
        e.Root = baseDir + "/" + e.Name;
        for (const char* d : {"QUEUE", "Files", "MAIL/FAX", "TEMP/STATIONS"})
            fs::create_directories(e.Root + "/" + d);
        fs::create_directories(e.Root + "/STATIONS/" + names[1 - i]);
        FSky.AddModem();
        FEnds.push_back(std::move(end));
        MakeSession(i);
    }
    End(0).KnownPeer = "FIELD";
    Command(0, ModemFrame::kCmdOwnAddress, {'0', '0', '0', '1', 0, 0, 0, 0});
    Command(1, ModemFrame::kCmdOwnAddress, {'0', '0', '0', '2', 0, 0, 0, 0});
}

TAirPair::~TAirPair() = default;

void TAirPair::MakeSession(int i)
{
    TEnd& e = End(i);
    e.Store = std::make_unique<Transfer::TStore>(e.Root, e.Name);
    TLinkSession::TEvents events;
    events.Send = [this, i](const std::string& bytes) {
        End(i).Sent.emplace_back(FSky.BytesCarried(), bytes);
        const auto framed = ModemFrame::LinkData(bytes);
        FSky.Feed(i, std::string(framed.begin(), framed.end()), FNowMs);
        return true;
    };
    events.Log = [&e](const std::string& text) { e.Log.push_back(text); };
    events.ChatText = [&e](const std::string& text) { e.Chat.push_back(text); };
    events.Ring = [&e](uint8_t code) { e.Rings.push_back(code); };
    events.ResolvePeer = [](const std::string& name) {
        return name == "HOME" || name == "FIELD" ? name : std::string();
    };
    e.Session = std::make_unique<TLinkSession>(*e.Store, e.Name, std::move(events));
    e.Parser.OnData = [&e](uint8_t b) { e.Pending += static_cast<char>(b); };
    e.Parser.OnMessage = [&e](uint8_t code, const std::string& payload) {
        using namespace ModemFrame;
        e.Flush();
        switch (code) {
        case kMsgTxEcho:
            e.Session->Transmitted(static_cast<uint32_t>(payload.size()));
            break;
        case kMsgLinkUp:
            e.Reports.push_back("up");
            e.Linked = true;
            e.Session->Start(e.KnownPeer, e.SendMail);
            break;
        case kMsgDisconnected:
            e.Reports.push_back("down");
            e.Linked = false;
            e.Session->Stop();
            break;
        case kMsgLinkFailed:
            e.Reports.push_back("failed");
            break;
        case kMsgIncoming:
            e.Reports.push_back("incoming");
            break;
        default:
            break;
        }
    };
}

void TAirPair::Restart(int i)
{
    TEnd& e = End(i);
    e.Session.reset();
    e.Store.reset();
    e.Parser.Reset();
    e.Pending.clear();
    e.Linked = false;
    MakeSession(i);
    Command(i, ModemFrame::kCmdConfigure, {});
}

void TAirPair::Command(int i, uint8_t command, std::initializer_list<uint8_t> args)
{
    const auto bytes = ModemFrame::Command(command, args);
    FSky.Feed(i, std::string(bytes.begin(), bytes.end()), FNowMs);
}

void TAirPair::Step()
{
    for (int i = 0; i < 2; ++i) {
        const std::string out = FSky.TakeOutput(i);
        for (char c : out)
            End(i).Parser.Feed(static_cast<uint8_t>(c));
        End(i).Flush();
    }
}

bool TAirPair::RunUntil(const std::function<bool()>& done, uint64_t limitMs)
{
    const uint64_t deadline = FNowMs + limitMs;
    for (long turns = 0; turns < 50000000; ++turns) {
        Step();
        if (done())
            return true;
        for (int i = 0; i < 2; ++i)
            End(i).Session->Pump();
        if (FSky.HasOutput())
            continue;
        const uint64_t due = FSky.NextDueMs();
        if (due == TSkyCore::kNever)
            return false; // quiet for good
        if (due > deadline)
            return false;
        FNowMs = std::max(FNowMs, due);
        FSky.Advance(FNowMs);
    }
    return false;
}

bool TAirPair::Link()
{
    const auto ups = [&](int i) {
        return std::count(End(i).Reports.begin(), End(i).Reports.end(), "up");
    };
    const auto before0 = ups(0), before1 = ups(1);
    Command(0, ModemFrame::kCmdCall, {'0', '0', '0', '2', 56, 0});
    return RunUntil([&] { return ups(0) > before0 && ups(1) > before1; });
}

bool TAirPair::Exchange(uint64_t limitMs)
{
    const bool done =
        RunUntil([&] { return End(0).Session->AllCountsZero() && End(1).Session->AllCountsZero(); },
                 limitMs);
    Disconnect(0);
    return done;
}

void TAirPair::Disconnect(int i)
{
    if (!End(i).Linked)
        return;
    Command(i, ModemFrame::kCmdDisconnect, {});
    RunUntil([&] { return !End(0).Linked && !End(1).Linked; });
}

void TAirPair::PutMail(TEnd& end, const std::string& peer, const std::string& name,
                       const std::string& content)
{
    const fs::path path = fs::path(end.Root) / "STATIONS" / peer / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> TAirPair::Contents(const std::string& root, const std::string& dir)
{
    std::vector<std::string> out;
    const fs::path path = fs::path(root) / dir;
    if (!fs::is_directory(path))
        return out;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(path))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        std::ifstream in(f, std::ios::binary);
        out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
}

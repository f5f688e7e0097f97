#include "netlib/term/term_helpers.h"

#include <QDir>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <fstream>
#include <sstream>

std::string RunCommand(const std::string& command)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

std::string JoinRows(const std::vector<std::string>& rows)
{
    std::string s;
    for (const auto& r : rows)
        s += r + "\n";
    return s;
}

std::vector<std::string> TmuxScreen(const std::string& bytes, int cols, int rows)
{
    QTemporaryDir dir;
    const std::string d = dir.path().toStdString();
    std::ofstream(d + "/in.bin", std::ios::binary) << bytes;
    // tmux runs the pane's command through the user's shell, which for a
    // system user may be nologin: the pane gets a shell of its own.
    std::ofstream(d + "/conf") << "set -g status off\nset -g default-shell /bin/sh\n";
    const std::string tmux = "SHELL=/bin/sh tmux -S " + d + "/sock -f " + d + "/conf ";
    const std::string start = tmux + "new-session -d -x " + std::to_string(cols) + " -y " +
                              std::to_string(rows) + " \"stty -opost -echo; cat " + d +
                              "/in.bin; touch " + d + "/done; sleep 20\" 2>/dev/null";
    if (std::system(start.c_str()) != 0) // NOLINT
        return {};
    // Done when cat has finished and two captures agree.
    std::string last;
    for (int i = 0; i < 100; ++i) {
        QThread::msleep(30);
        if (!QDir(dir.path()).exists("done"))
            continue;
        const std::string now = RunCommand(tmux + "capture-pane -p");
        if (now == last && !now.empty())
            break;
        last = now;
    }
    if (std::system((tmux + "kill-server 2>/dev/null").c_str()) != 0)
        return {};
    std::vector<std::string> screen;
    std::istringstream in(last);
    std::string line;
    while (std::getline(in, line)) {
        line.erase(line.find_last_not_of(' ') + 1);
        screen.push_back(line);
    }
    screen.resize(size_t(rows));
    return screen;
}

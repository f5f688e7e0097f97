#include "netlib/base/ip_const.h"

#include <array>
#include <cstdio>
#include <mutex>
#include <optional>

namespace {

struct TRecord {
    const char* Name;
    const char* Text;
};

constexpr TRecord kRecords[] = {
#define IP_CONST_RECORD(name, text) {#name, text},
    IP_CONST_TEXTS(IP_CONST_RECORD)
#undef IP_CONST_RECORD
};
static_assert(std::size(kRecords) == IpConst::Count);

// Replaced texts; any thread may load a text while another replaces one.
std::mutex GLock;
std::array<std::optional<std::string>, IpConst::Count> GReplaced;

bool Valid(IpConst::TIpStr id)
{
    return id >= 0 && id < IpConst::Count;
}

void AppendNumber(std::string& out, int64_t value)
{
    out += std::to_string(value);
}

} // namespace

std::string IpStr(IpConst::TIpStr id)
{
    if (!Valid(id))
        return std::string();
    std::lock_guard guard(GLock);
    const auto& replaced = GReplaced[static_cast<size_t>(id)];
    return replaced ? *replaced : std::string(kRecords[id].Text);
}

const char* IpStrName(IpConst::TIpStr id)
{
    return Valid(id) ? kRecords[id].Name : "";
}

void IpReplaceStr(IpConst::TIpStr id, std::string text)
{
    if (!Valid(id))
        return;
    std::lock_guard guard(GLock);
    GReplaced[static_cast<size_t>(id)] = std::move(text);
}

IpConst::TIpStr IpStrByName(std::string_view name)
{
    for (int i = 0; i < IpConst::Count; ++i)
        if (name == kRecords[i].Name)
            return static_cast<IpConst::TIpStr>(i);
    return IpConst::Count;
}

std::string IpFormat(std::string_view format, std::initializer_list<TIpFmtArg> args)
{
    std::string out;
    auto next = args.begin();
    for (size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c != '%' || i + 1 >= format.size()) {
            out += c;
            continue;
        }
        if (format[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        // %d, %s or %.Nf
        size_t j = i + 1;
        int decimals = -1;
        if (format[j] == '.' && j + 2 < format.size() && format[j + 1] >= '0' &&
            format[j + 1] <= '9') {
            decimals = format[j + 1] - '0';
            j += 2;
        }
        const char kind = format[j];
        if (kind != 'd' && kind != 's' && kind != 'f') {
            out += c;
            continue;
        }
        i = j;
        if (next == args.end())
            continue;
        const TIpFmtArg& arg = *next++;
        if (arg.IsText) {
            out += arg.Text;
        } else if (arg.IsFloat || kind == 'f') {
            char buf[64];
            const double value = arg.IsFloat ? arg.Float : static_cast<double>(arg.Number);
            std::snprintf(buf, sizeof buf, "%.*f", decimals < 0 ? 2 : decimals, value);
            out += buf;
        } else {
            AppendNumber(out, arg.Number);
        }
    }
    return out;
}

std::string IpFormat(IpConst::TIpStr id, std::initializer_list<TIpFmtArg> args)
{
    return IpFormat(IpStr(id), args);
}

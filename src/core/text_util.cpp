#include "core/text_util.h"

namespace {
unsigned char Upper(unsigned char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}
} // namespace

int CompareTextIgnoreCase(const std::string& a, const std::string& b)
{
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = Upper(static_cast<unsigned char>(a[i]));
        unsigned char y = Upper(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool SameTextIgnoreCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && CompareTextIgnoreCase(a, b) == 0;
}

std::string UpperCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(Upper(static_cast<unsigned char>(c)));
    return text;
}

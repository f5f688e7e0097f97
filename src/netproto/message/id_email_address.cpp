#include "netproto/message/id_email_address.h"

#include "netproto/core/id_global.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr std::string_view AtomSymbols = "!#$%&'*+-/=?_`{}|~";

bool IsAtomChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return (u < 128 && std::isalnum(u)) || AtomSymbols.find(c) != std::string_view::npos;
}

std::string_view TrimWsp(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

std::string Quoted(std::string_view s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

// The address with its local part quoted when it is not a plain dot-atom.
std::string AddressForm(const std::string& address)
{
    const std::size_t at = address.rfind('@');
    const std::string_view local = at == std::string::npos
                                       ? std::string_view(address)
                                       : std::string_view(address).substr(0, at);
    const bool plain =
        std::all_of(local.begin(), local.end(), [](char c) { return IsAtomChar(c) || c == '.'; });
    if (plain) {
        return address;
    }
    return Quoted(local) + (at == std::string::npos ? "" : address.substr(at));
}

} // namespace

std::string TIdEMailAddressItem::Text() const
{
    if (Address.empty()) {
        return Name.empty() ? std::string() : std::string("<>");
    }
    if (Name.empty() || Name == UpperAscii(Address)) {
        return AddressForm(Address);
    }
    const bool plainName =
        std::all_of(Name.begin(), Name.end(), [](char c) { return IsAtomChar(c) || c == ' '; });
    return (plainName ? Name : Quoted(Name)) + " <" + AddressForm(Address) + ">";
}

void TIdEMailAddressItem::SetText(std::string_view text)
{
    Address.clear();
    Name.clear();
    std::string_view s = TrimBlanks(text);
    if (s.empty()) {
        return;
    }
    if (s.find_first_of("(\"< @\t") == std::string_view::npos) {
        Address = s;
        return;
    }
    bool inAddress = false;
    bool bracketed = false;
    bool afterAt = false;
    bool inQuote = false;
    int depth = 0;
    std::string quoted;
    while (true) {
        std::string_view set;
        if (depth > 0) {
            set = "()\\";
        } else if (inQuote) {
            set = "\"\\";
        } else if (afterAt && bracketed) {
            set = ".>(";
        } else if (afterAt) {
            set = ".( ";
        } else if (inAddress) {
            set = "\"(@>";
        } else {
            set = "(\"< @\t";
        }
        const std::size_t p = s.find_first_of(set);
        if (p == std::string_view::npos) {
            if (inAddress && !bracketed) {
                Address += TrimBlanks(s);
            }
            break;
        }
        const std::string_view prefix = s.substr(0, p);
        const char c = s[p];
        s.remove_prefix(p + 1);
        switch (c) {
        case '<':
            Name += prefix;
            Name = TrimWsp(Name);
            bracketed = true;
            inAddress = true;
            break;
        case '>':
            inAddress = false;
            afterAt = false;
            Address += TrimBlanks(prefix);
            break;
        case '@':
            afterAt = true;
            if (!inAddress && bracketed) {
                throw EIdEmailParseError("@ Outside address");
            }
            inAddress = true;
            Address += prefix;
            Address += '@';
            break;
        case '\\':
            if (inQuote) {
                // Outside brackets the quoted text waits for its closing
                // quote, which tells a local part from a name.
                std::string& target = inAddress ? Address : bracketed ? Name : quoted;
                target += prefix;
                if (!s.empty()) {
                    target += s.front();
                }
            }
            if (!s.empty()) {
                s.remove_prefix(1);
            }
            break;
        case '.':
            if (bracketed) {
                Address += TrimBlanks(prefix);
                Address += '.';
                s = TrimWsp(s);
            } else {
                Address += prefix;
                Address += '.';
            }
            break;
        case '(':
            // Only the text before the outermost comment counts; what stands
            // inside a comment, nested ones included, is dropped.
            if (++depth == 1) {
                (inAddress ? Address : Name) += TrimBlanks(prefix);
            }
            break;
        case ')':
            --depth;
            break;
        case '"':
            if (!inQuote) {
                // Text before an opening quote belongs to the same part.
                (inAddress ? Address : Name) += prefix;
                inQuote = true;
            } else {
                // A quoted local part ("a b"@x) belongs to the address, also
                // without brackets; a quoted name keeps its blanks, escaped
                // quotes included.
                if (bracketed) {
                    Address += TrimBlanks(prefix);
                } else {
                    quoted += prefix;
                    (!s.empty() && s.front() == '@' ? Address : Name) += quoted;
                    quoted.clear();
                }
                inQuote = false;
            }
            break;
        default: // blank or TAB
            if (p == 0 && !afterAt) {
                break;
            }
            if (afterAt) {
                Address += TrimBlanks(prefix);
            } else {
                Name += prefix;
                Name += c;
            }
            break;
        }
    }
    Name += quoted; // a quote that is never closed
    Address = TrimBlanks(Address);
    Name = TrimWsp(Name);
}

TIdEMailAddressItem& TIdEMailAddressList::Add()
{
    FItems.push_back(std::make_unique<TIdEMailAddressItem>());
    return *FItems.back();
}

std::string TIdEMailAddressList::EMailAddresses() const
{
    std::string out;
    for (const auto& item : FItems) {
        if (!out.empty()) {
            out += ", ";
        }
        out += item->Text();
    }
    return out;
}

void TIdEMailAddressList::SetEMailAddresses(std::string_view text)
{
    Clear();
    bool inQuote = false;
    int angles = 0;
    int parens = 0;
    std::size_t start = 0;
    auto addPart = [&](std::size_t end) {
        const std::string_view part = TrimBlanks(text.substr(start, end - start));
        if (!part.empty()) {
            Add().SetText(part);
        }
        start = end + 1;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && (inQuote || parens > 0)) {
            ++i;
        } else if (c == '"' && parens == 0) {
            inQuote = !inQuote;
        } else if (inQuote) {
            continue;
        } else if (c == '(') {
            ++parens;
        } else if (c == ')' && parens > 0) {
            --parens;
        } else if (parens > 0) {
            continue;
        } else if (c == '<') {
            ++angles;
        } else if (c == '>' && angles > 0) {
            --angles;
        } else if (c == ',' && angles == 0) {
            addPart(i);
        }
    }
    addPart(text.size());
}

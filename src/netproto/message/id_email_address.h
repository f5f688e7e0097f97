// E-mail addresses with display names: the parser of header and SMTP
// command texts, and the text a header writes.
//
// Decided here:
// - Writing an address, a local part is put in quotes whenever it holds a
//   character other than letters, digits, "." and !#$%&'*+-/=?_`{}|~, also
//   when a "." comes before that character, where a rule that looks at the
//   first such character only would leave it bare: "j.s mith@x.org" written
//   bare reads back as the address mith@x.org, so the mail would go to
//   someone else.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One address with its display name.
class TIdEMailAddressItem {
public:
    TIdEMailAddressItem() = default;
    explicit TIdEMailAddressItem(std::string_view text) { SetText(text); }

    // local part, "@", domain
    std::string Address;
    std::string Name;

    // The address as a header writes it: the bare address, or the name and
    // the address in angle brackets, quoted where needed.
    std::string Text() const;
    // Parses an address text; raises EIdEmailParseError on a second "@"
    // outside the angle brackets.
    void SetText(std::string_view text);

    void Assign(const TIdEMailAddressItem& source)
    {
        Address = source.Address;
        Name = source.Name;
    }
};

class TIdEMailAddressList {
public:
    TIdEMailAddressItem& Add();
    int Count() const { return static_cast<int>(FItems.size()); }
    TIdEMailAddressItem& Items(int index) { return *FItems.at(static_cast<std::size_t>(index)); }
    const TIdEMailAddressItem& Items(int index) const
    {
        return *FItems.at(static_cast<std::size_t>(index));
    }
    void Delete(int index) { FItems.erase(FItems.begin() + index); }
    void Clear() { FItems.clear(); }

    // The items' texts joined by ", ".
    std::string EMailAddresses() const;
    // One item per address of a comma-separated text; commas inside quotes,
    // angle brackets or parentheses do not separate.
    void SetEMailAddresses(std::string_view text);

private:
    std::vector<std::unique_ptr<TIdEMailAddressItem>> FItems;
};

#include "serial/line_reader.h"

TLineReader::TLineReader(std::istream& stream) : Stream_(stream)
{
    const auto here = Stream_.tellg();
    if (here != std::streampos(-1)) {
        Stream_.seekg(0, std::ios::end);
        FileSize_ = static_cast<int64_t>(Stream_.tellg() - here);
        Stream_.seekg(here);
    }
}

bool TLineReader::ReadPage()
{
    Page_.assign(kPageSize, '\0');
    Stream_.read(Page_.data(), static_cast<std::streamsize>(kPageSize));
    const auto got = static_cast<std::size_t>(Stream_.gcount());
    Page_.resize(got);
    Pos_ = 0;
    BytesRead_ += static_cast<int64_t>(got);
    if (got == 0)
        return false;
    if (got < kPageSize) {
        if (Page_.back() == '\x1A')
            Page_.pop_back();
        if (Page_.empty())
            return false;
        if (Page_.back() != '\r')
            Page_.push_back('\r');
    }
    return true;
}

std::string TLineReader::NextLine()
{
    std::string line;
    if (Eof_)
        return line;
    for (;;) {
        if (Pos_ >= Page_.size() && !ReadPage()) {
            Eof_ = true;
            return line;
        }
        if (SkipLf_) {
            SkipLf_ = false;
            if (Page_[Pos_] == '\n') {
                ++Pos_;
                continue;
            }
        }
        const std::size_t cr = Page_.find('\r', Pos_);
        if (cr == std::string::npos) {
            line.append(Page_, Pos_, std::string::npos);
            Pos_ = Page_.size();
            continue;
        }
        line.append(Page_, Pos_, cr - Pos_);
        Pos_ = cr + 1;
        SkipLf_ = true;
        return line;
    }
}

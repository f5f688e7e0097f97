#include "codec/mail_corpus.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

namespace {

std::string ReadFile(const std::filesystem::path& path, std::size_t limit)
{
    std::ifstream f(path, std::ios::binary);
    std::string s(std::istreambuf_iterator<char>(f), {});
    if (s.size() > limit)
        s.resize(limit);
    return s;
}

std::string Base64(const std::string& in)
{
    static const char* const abc =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t col = 0;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<std::uint8_t>(in[i]) << 16;
        if (i + 1 < in.size())
            v |= static_cast<std::uint8_t>(in[i + 1]) << 8;
        if (i + 2 < in.size())
            v |= static_cast<std::uint8_t>(in[i + 2]);
        out += abc[(v >> 18) & 63];
        out += abc[(v >> 12) & 63];
        out += i + 1 < in.size() ? abc[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? abc[v & 63] : '=';
        if ((col += 4) >= 76) {
            out += "\r\n";
            col = 0;
        }
    }
    return out + "\r\n";
}

std::string SyntheticMail(std::mt19937& rng, const std::vector<std::string>& texts, int n)
{
    std::ostringstream os;
    os << "RCPT: ops" << n << "@bravo\r\nFrom: master@vessel" << n % 7
       << "\r\nTo: ops@bravo\r\nSubject: Noon report " << n
       << "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b" << n
       << "\"\r\n\r\n--b" << n << "\r\nContent-Type: text/plain\r\n\r\n";
    // A few paragraphs borrowed from the text files.
    const std::string& src = texts[rng() % texts.size()];
    const std::size_t at = src.size() > 3000 ? rng() % (src.size() - 3000) : 0;
    os << src.substr(at, 400 + rng() % 2500) << "\r\n";
    if (n % 2 == 0) {
        std::string blob;
        if (n % 4 == 0) {
            blob.resize(2000 + rng() % 20000);
            for (char& c : blob)
                c = static_cast<char>(rng());
        } else {
            blob = texts[rng() % texts.size()].substr(0, 8000);
        }
        os << "--b" << n << "\r\nContent-Type: application/octet-stream; name=\"att" << n
           << ".bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
           << Base64(blob);
    }
    os << "--b" << n << "--\r\n";
    return os.str();
}

// English texts kept in the repository, so that every machine measures the same.
std::vector<std::string> BuildTexts()
{
    const std::filesystem::path dir = MAIL_CORPUS_TEXTS;
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(dir))
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.is_regular_file() && e.path().extension() == ".txt")
                files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::vector<std::string> texts;
    for (const auto& f : files)
        texts.push_back(ReadFile(f, 200000));
    if (texts.empty())
        throw std::runtime_error("no text files in " + dir.string());
    return texts;
}

std::vector<std::string> BuildMails()
{
    std::vector<std::string> mails;
    std::mt19937 rng(2026);
    for (int n = 0; n < 120; ++n)
        mails.push_back(SyntheticMail(rng, MailCorpus::Texts(), n));
    return mails;
}

} // namespace

namespace MailCorpus {

const std::vector<std::string>& Texts()
{
    static const std::vector<std::string> texts = BuildTexts();
    return texts;
}

const std::vector<std::string>& Mails()
{
    static const std::vector<std::string> mails = BuildMails();
    return mails;
}

const std::vector<std::string>& All()
{
    static const std::vector<std::string> all = [] {
        std::vector<std::string> v = Texts();
        v.insert(v.end(), Mails().begin(), Mails().end());
        return v;
    }();
    return all;
}

} // namespace MailCorpus

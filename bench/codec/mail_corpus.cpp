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

std::vector<std::string> BuildTexts()
{
    std::vector<std::string> texts;
    for (const char* dir : {"/usr/share/common-licenses"}) {
        if (!std::filesystem::is_directory(dir))
            continue;
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.is_regular_file())
                texts.push_back(ReadFile(e.path(), 200000));
    }
    // Plain-text documentation: copyright files and READMEs (not the gzipped ones).
    std::vector<std::filesystem::path> docs;
    if (std::filesystem::is_directory("/usr/share/doc")) {
        for (const auto& e : std::filesystem::recursive_directory_iterator(
                 "/usr/share/doc", std::filesystem::directory_options::skip_permission_denied)) {
            if (!e.is_regular_file() || e.path().extension() == ".gz")
                continue;
            const std::string name = e.path().filename().string();
            if (name == "copyright" || name.rfind("README", 0) == 0)
                docs.push_back(e.path());
        }
    }
    std::sort(docs.begin(), docs.end());
    for (std::size_t i = 0; i < docs.size() && i < 120; ++i)
        texts.push_back(ReadFile(docs[i], 100000));
    texts.erase(std::remove_if(texts.begin(), texts.end(),
                               [](const std::string& s) { return s.size() < 200; }),
                texts.end());
    if (texts.empty())
        throw std::runtime_error("no text files found for the corpus");

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

// Pages per second of our MH coder and decoder against pbmtog3 and g3topbm
// (netpbm) on the same 100 fine-resolution pages.
#include "fax/apf_file.h"
#include "fax/fax_convert.h"
#include "fax/fax_unpack.h"

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr unsigned kPages = 100;
constexpr unsigned kLines = 2200;
constexpr unsigned kBytes = kStandardWidth / 8;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// A page of text-like rows: lines of glyph-sized marks with gaps.
std::vector<uint8_t> MakePage(unsigned seed)
{
    std::vector<uint8_t> page(std::size_t{kBytes} * kLines, 0);
    std::mt19937 rng(seed);
    for (unsigned y = 0; y < kLines; ++y) {
        if (y % 40 >= 28)
            continue; // space between text lines
        for (unsigned x = 8; x + 1 < kBytes - 8; ++x)
            if (rng() % 5 < 2)
                page[std::size_t{y} * kBytes + x] = static_cast<uint8_t>(rng());
    }
    return page;
}

bool Run(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const auto dir =
        std::filesystem::temp_directory_path() / ("skipfaxbench" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string apf = (dir / "pages.apf").string();
    const std::string pbm = (dir / "pages.pbm").string();

    std::vector<std::vector<uint8_t>> pages;
    for (unsigned p = 0; p < kPages; ++p)
        pages.push_back(MakePage(p));
    {
        // The same pages as one tall picture, for one run of each peer.
        std::ofstream out(pbm, std::ios::binary);
        out << "P4\n" << kStandardWidth << " " << kPages * kLines << "\n";
        for (const auto& page : pages)
            out.write(reinterpret_cast<const char*>(page.data()),
                      static_cast<std::streamsize>(page.size()));
    }

    std::unique_ptr<TAbsFaxCvt> cvt;
    acInitFaxConverter(cvt, nullptr, nullptr, nullptr, nullptr, "");
    acSetMargins(*cvt, 0, 0);
    auto start = Clock::now();
    TApfWriter writer;
    writer.Create(apf);
    for (const auto& page : pages) {
        writer.BeginPage(ffLengthWords | ffHighRes);
        for (unsigned y = 0; y < kLines; ++y) {
            acCompressRasterLine(*cvt, &page[std::size_t{y} * kBytes]);
            writer.AddLine(cvt->DataLine.data(), cvt->ByteOfs);
        }
        writer.EndPage();
    }
    if (writer.Close("BENCH") != 0) {
        std::fprintf(stderr, "cannot write %s\n", apf.c_str());
        return 1;
    }
    const double ourEncode = Seconds(start);

    std::unique_ptr<TUnpackFax> unpacker;
    unsigned long lines = 0;
    upInitFaxUnpacker(unpacker, nullptr,
                      [&](TUnpackFax&, int flags, const uint8_t*, unsigned, unsigned) {
                          lines += flags == 0;
                          return 0;
                      });
    unpacker->Flags = 0;
    start = Clock::now();
    const int rc = upUnpackFile(*unpacker, apf);
    const double ourDecode = Seconds(start);
    if (rc != 0 || lines != kPages * kLines) {
        std::fprintf(stderr, "decoding failed: %d, %lu lines\n", rc, lines);
        return 1;
    }

    const std::string g3 = (dir / "pages.g3").string();
    start = Clock::now();
    const bool encoded = Run("pbmtog3 -reversebits " + pbm + " > " + g3 + " 2>/dev/null");
    const double peerEncode = Seconds(start);
    start = Clock::now();
    const bool decoded = Run("g3topbm -reversebits " + g3 + " > /dev/null 2>/dev/null");
    const double peerDecode = Seconds(start);
    std::filesystem::remove_all(dir);
    if (!encoded || !decoded) {
        std::fprintf(stderr, "pbmtog3 or g3topbm failed (netpbm installed?)\n");
        return 1;
    }

    std::printf("%u fine pages of %u lines\n", kPages, kLines);
    std::printf("encode: ours %8.1f pages/s   pbmtog3 %8.1f pages/s   ratio %.2f\n",
                kPages / ourEncode, kPages / peerEncode, peerEncode / ourEncode);
    std::printf("decode: ours %8.1f pages/s   g3topbm %8.1f pages/s   ratio %.2f\n",
                kPages / ourDecode, kPages / peerDecode, peerDecode / ourDecode);
    return 0;
}

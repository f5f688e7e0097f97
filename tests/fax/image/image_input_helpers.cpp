#include "image_input_helpers.h"

#include "fax/fax_pcx_input.h"
#include "fax/fax_tiff_input.h"

#include <gtest/gtest.h>

int ConvertImage(TImageKind kind, const std::string& in, const std::string& apf, bool fine,
                 unsigned margin, uint16_t options)
{
    std::unique_ptr<TAbsFaxCvt> cvt;
    if (kind == TImageKind::Tiff)
        tcInitTiffConverter(cvt);
    else if (kind == TImageKind::Pcx)
        pcInitPcxConverter(cvt);
    else
        dcInitDcxConverter(cvt);
    acOptionsOff(*cvt, 0xFFFF);
    acOptionsOn(*cvt, options);
    acSetMargins(*cvt, margin, 0);
    acSetResolutionMode(*cvt, fine);
    return acConvertToFile(*cvt, in, apf);
}

std::string WithShort(std::string bytes, std::size_t offset, uint16_t value)
{
    for (std::size_t i = 0; i < 2 && offset + i < bytes.size(); ++i)
        bytes[offset + i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

std::string WithLong(std::string bytes, std::size_t offset, uint32_t value)
{
    for (std::size_t i = 0; i < 4 && offset + i < bytes.size(); ++i)
        bytes[offset + i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

namespace {

uint32_t Long(const std::string& b, std::size_t offset)
{
    uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i)
        v |= uint32_t{static_cast<uint8_t>(b.at(offset + i))} << (8 * i);
    return v;
}

} // namespace

namespace {

// The offset of `tag`'s entry in a little-endian TIFF's first directory.
std::size_t TiffEntry(const std::string& bytes, uint16_t tag)
{
    const uint32_t dir = Long(bytes, 4);
    const unsigned entries = Long(bytes, dir) & 0xFFFF;
    for (unsigned i = 0; i < entries; ++i)
        if ((Long(bytes, dir + 2 + 12 * i) & 0xFFFF) == tag)
            return dir + 2 + 12 * i;
    ADD_FAILURE() << "no tag " << tag;
    return bytes.size();
}

} // namespace

std::string WithTiffTag(std::string bytes, uint16_t tag, uint32_t value)
{
    const std::size_t e = TiffEntry(bytes, tag);
    bytes = WithShort(bytes, e + 2, 4); // LONG
    bytes = WithLong(bytes, e + 4, 1);
    return WithLong(bytes, e + 8, value);
}

uint32_t TiffTag(const std::string& bytes, uint16_t tag)
{
    const std::size_t e = TiffEntry(bytes, tag);
    if (e >= bytes.size())
        return 0;
    const bool isShort = (Long(bytes, e + 2) & 0xFFFF) == 3;
    return isShort ? Long(bytes, e + 8) & 0xFFFF : Long(bytes, e + 8);
}

std::string Dcx(const std::vector<std::string>& pcxFiles)
{
    std::string table = WithLong(std::string(4, '\0'), 0, 0x3ADE68B1);
    std::string pages;
    const std::size_t tableSize = 4 * (pcxFiles.size() + 2);
    for (const std::string& pcx : pcxFiles) {
        table += WithLong(std::string(4, '\0'), 0, static_cast<uint32_t>(tableSize + pages.size()));
        pages += pcx;
    }
    return table + std::string(4, '\0') + pages;
}

TSeedFiles::TSeedFiles(const TScratch& dir)
{
    std::vector<std::string> pcx;
    for (unsigned i = 0; i < 2; ++i) {
        const std::string pbm = dir.Path("seed" + std::to_string(i) + ".pbm");
        WriteFile(pbm, ToPbm(TestPattern(203 - 50 * i, 23 + 5 * i, i)));
        RunShell("pnmtotiff -packbits " + pbm + " > " + dir.Path("seed" + std::to_string(i)) +
                 ".tif 2>/dev/null");
        pcx.push_back(RunShell("ppmtopcx " + pbm + " 2>/dev/null"));
    }
    const std::string tif0 = dir.Path("seed0.tif"), tif1 = dir.Path("seed1.tif");
    const std::string out = dir.Path("seed.out");
    // The tools write the image data first, then the directories.
    auto addTiff = [&](const std::string& name, const std::string& command) {
        RunShell("rm -f " + out + " && " + command + " " + out);
        const std::string bytes = ReadFile(out);
        uint32_t dir = Long(bytes, 4);
        if (bytes[0] == 'M')
            dir = __builtin_bswap32(dir);
        Files.push_back({name, TImageKind::Tiff, bytes, 8, dir});
    };
    addTiff("none.tif", "pnmtotiff -none " + dir.Path("seed0.pbm") + " >");
    addTiff("packbits.tif", "cp " + tif0);
    addTiff("strips.tif", "tiffcp -B -r 5 " + tif1);
    addTiff("pages.tif", "tiffcp -r 7 " + tif0 + " " + tif1);
    Files.push_back({"one.pcx", TImageKind::Pcx, pcx[0], 128, pcx[0].size()});
    const std::string dcx = Dcx(pcx);
    Files.push_back({"two.dcx", TImageKind::Dcx, dcx, 16, dcx.size()});
}

const std::string& TSeedFiles::Find(const std::string& name) const
{
    for (const File& f : Files)
        if (f.Name == name)
            return f.Bytes;
    ADD_FAILURE() << "no seed " << name;
    return Files.front().Bytes;
}

std::string WhitePcx(uint32_t width, uint32_t height)
{
    std::string h(128, '\0');
    h[0] = 10;
    h[1] = 5;
    h[2] = 1;
    h[3] = 1;
    h[65] = 1;
    h = WithShort(h, 8, static_cast<uint16_t>(width - 1));
    h = WithShort(h, 10, static_cast<uint16_t>(height - 1));
    const uint32_t lineBytes = (width + 7) / 8;
    h = WithShort(h, 66, static_cast<uint16_t>(lineBytes));
    std::string row;
    for (uint32_t left = lineBytes; left > 0;) {
        const uint32_t n = std::min(left, 63u);
        row += static_cast<char>(0xC0 | n);
        row += '\xFF';
        left -= n;
    }
    std::string out = h;
    for (uint32_t y = 0; y < height; ++y)
        out += row;
    return out;
}

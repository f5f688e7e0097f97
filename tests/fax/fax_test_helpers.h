#pragma once

#include <string>
#include <vector>

// Pages and tools of the fax tests: bitmaps as PBM bytes, the Debian tools
// that turn them into fax files and back, and a scratch folder per test.
namespace FaxTest {

// A 1728-pixel-wide bitmap (PBM "P4" bytes) of `lines` rows with a
// checkerboard whose cell size depends on `seed`, so pages differ.
std::string MakePbm(int lines, int seed);
// Runs a shell command; its exit status (-1 when it could not run).
int Shell(const std::string& command);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
// A TIFF-F file of the pages (fine: 196 lines per inch, else 98).
void MakeTiff(const std::string& path, const std::vector<std::string>& pbms,
              const std::vector<bool>& fine);
// Every page of a TIFF as PBM bytes.
std::vector<std::string> TiffPages(const std::string& path);
// Whether a decoded page holds the source bitmap, with only white rows after
// it. A sender may put up to `headerRows` rows of its own header line on top,
// over the page's first rows; those first rows are not compared.
bool SamePage(const std::string& source, const std::string& decoded, int headerRows = 0);
bool HaveTool(const std::string& name);

// A fresh folder removed at destruction.
class TScratch {
public:
    TScratch();
    ~TScratch();
    const std::string& Dir() const { return FDir; }
    std::string Path(const std::string& name) const { return FDir + "/" + name; }

private:
    std::string FDir;
};

} // namespace FaxTest

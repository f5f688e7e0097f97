// Fax image conversion through the fax converter and unpacker components.
//
//   skip_faxcvt [--high|--low] IN OUT
//
// The types come from the extensions .txt .bmp .tif .tiff .pcx .dcx .apf,
// and .pdf .ps for documents. IN of any readable type becomes the APF file
// OUT (fine resolution with --high, else standard); a document goes through
// the fax printer, the CUPS queue "APF_Fax_Printer" (the converter's shell
// route). An APF file IN unpacks to OUT .bmp or .pcx, one
// file per page (from page 2 on the page number goes before the extension),
// or to OUT .tif, .tiff or .dcx holding every page. From APF to APF the file
// is copied, at fine resolution with --high and at standard with --low.
// Each file written is named on standard output; on failure the error's text
// goes to standard error and the exit code is 1 (2 for a wrong call). SIGINT
// or SIGTERM during a document's print cancels its job; the tool then ends
// by that signal.
#include "fax/ad_fax_cvt.h"
#include "platform/atomic_file.h"
#include "platform/command_line.h"
#include "platform/qt_runtime_folder.h"

#include <QGuiApplication>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

enum class TKind { Text, Bmp, Tiff, Pcx, Dcx, Apf, Document };

constexpr const char* kProgram = "skip_faxcvt";
constexpr const char* kUsage =
    "usage: skip_faxcvt [--high|--low] IN OUT\n"
    "\n"
    "Converts fax images through the station's fax converter and unpacker. The\n"
    "types come from the extensions .txt .bmp .tif .tiff .pcx .dcx .apf, and\n"
    ".pdf .ps for documents, which go through the fax printer (the CUPS queue\n"
    "APF_Fax_Printer). IN of any readable type becomes the APF file OUT; an APF\n"
    "file IN becomes OUT .bmp or .pcx, one file per page (page 2 on with its\n"
    "number before the extension), or OUT .tif, .tiff or .dcx of every page.\n"
    "Each file written is named on standard output.\n"
    "\n"
    "  --high      fine resolution (into APF; from APF to APF, rewrite at it)\n"
    "  --low       standard resolution (the default into APF)\n"
    "  -h, --help  this text\n"
    "\n"
    "Environment (documents only):\n"
    "  CUPS_SERVER            the print service of the fax printer (else the\n"
    "                         local one)\n"
    "  SKIPMAIL_PRINTFAX_DIR  the fax printer folder (/var/spool/skipmail-printfax)\n";

// A wrong call: `why`, with the usage line.
int Usage(const std::string& why)
{
    return CommandLine::Refuse(kProgram, why, kUsage);
}

std::optional<TKind> KindOf(const std::string& name)
{
    std::string ext = std::filesystem::path(name).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == ".txt")
        return TKind::Text;
    if (ext == ".bmp")
        return TKind::Bmp;
    if (ext == ".tif" || ext == ".tiff")
        return TKind::Tiff;
    if (ext == ".pcx")
        return TKind::Pcx;
    if (ext == ".dcx")
        return TKind::Dcx;
    if (ext == ".apf")
        return TKind::Apf;
    if (ext == ".pdf" || ext == ".ps")
        return TKind::Document;
    return std::nullopt;
}

volatile std::sig_atomic_t gInterrupted = 0;

void OnInterrupt(int signal)
{
    gInterrupted = signal;
}

// Ctrl+C or SIGTERM while the fax printer works cancels its job, so no file
// appears after the tool has failed.
void CancelOnInterrupt(TApdFaxConverter& cvt)
{
    struct sigaction onSignal {};
    onSignal.sa_handler = OnInterrupt;
    sigemptyset(&onSignal.sa_mask);
    ::sigaction(SIGINT, &onSignal, nullptr);
    ::sigaction(SIGTERM, &onSignal, nullptr);
    cvt.OnStatus = [](TApdCustomFaxConverter*, bool, bool, int, int, int, int, bool& abort) {
        abort = abort || gInterrupted != 0;
    };
}

void Wrote(const std::string& name)
{
    std::printf("%s\n", name.c_str());
}

// A document of any readable kind into an APF file.
void ToApf(TKind kind, const std::string& in, const std::string& out, bool fine)
{
    TApdFaxConverter cvt;
    switch (kind) {
    case TKind::Text:
        cvt.SetInputDocumentType(TFaxInputDocumentType::idText);
        break;
    case TKind::Bmp:
        cvt.SetInputDocumentType(TFaxInputDocumentType::idBmp);
        break;
    case TKind::Tiff:
        cvt.SetInputDocumentType(TFaxInputDocumentType::idTiff);
        break;
    case TKind::Pcx:
        cvt.SetInputDocumentType(TFaxInputDocumentType::idPcx);
        break;
    case TKind::Dcx:
        cvt.SetInputDocumentType(TFaxInputDocumentType::idDcx);
        break;
    case TKind::Document:
        cvt.SetInputDocumentType(TFaxInputDocumentType::idShell);
        CancelOnInterrupt(cvt);
        break;
    case TKind::Apf:
        break;
    }
    // A picture keeps its pixels where they are; text keeps its margin.
    if (kind != TKind::Text)
        cvt.SetLeftMargin(0);
    cvt.SetResolution(fine ? TFaxResolution::frHigh : TFaxResolution::frNormal);
    cvt.SetDocumentFile(in);
    cvt.SetOutFileName(out);
    cvt.ConvertToFile();
    Wrote(out);
}

// An APF file into pictures.
void FromApf(const std::string& in, TKind kind, const std::string& out)
{
    TApdFaxUnpacker u;
    u.SetInFileName(in);
    if (kind == TKind::Tiff || kind == TKind::Dcx) {
        u.SetOutFileName(out);
        if (kind == TKind::Tiff)
            u.UnpackFileToTiff();
        else
            u.UnpackFileToDcx();
        Wrote(out);
        return;
    }
    const std::filesystem::path path(out);
    const int pages = u.GetNumPages();
    for (int p = 1; p <= pages; ++p) {
        std::filesystem::path name = path;
        if (p > 1)
            name.replace_filename(path.stem().string() + std::to_string(p) +
                                  path.extension().string());
        u.SetOutFileName(name.string());
        if (kind == TKind::Bmp)
            u.UnpackPageToBmp(static_cast<unsigned>(p));
        else
            u.UnpackPageToPcx(static_cast<unsigned>(p));
        Wrote(name.string());
    }
}

// An APF file copied, at another resolution when asked.
void ApfToApf(const std::string& in, const std::string& out, std::optional<bool> fine)
{
    TApdFaxUnpacker u;
    u.SetInFileName(in);
    u.GetNumPages(); // raises for a missing or foreign file
    std::error_code ec;
    if (!std::filesystem::equivalent(in, out, ec)) {
        std::string bytes;
        if (!ReadWholeFile(in, bytes))
            throw std::runtime_error("cannot be read");
        WriteFileAtomic(out, bytes);
    }
    if (fine) {
        TApdFaxConverter cvt;
        cvt.ConvertToResolution(out, *fine ? TFaxResolution::frHigh : TFaxResolution::frNormal);
    }
    Wrote(out);
}

} // namespace

int main(int argc, char** argv)
{
    std::optional<bool> fine;
    int arg = 1;
    const auto atOption = [&] {
        return (argv[arg][0] == '-' && argv[arg][1] == '-') || CommandLine::IsHelp(argv[arg]);
    };
    for (; arg < argc && atOption(); ++arg) {
        const std::string option = argv[arg];
        if (CommandLine::IsHelp(option))
            return CommandLine::Help(kUsage);
        if (option == "--high" && !fine)
            fine = true;
        else if (option == "--low" && !fine)
            fine = false;
        else if (option == "--high" || option == "--low")
            return Usage("one of --high and --low, once");
        else
            return CommandLine::Unknown(kProgram, option, kUsage);
    }
    if (argc - arg > 2)
        return CommandLine::Unknown(kProgram, argv[arg + 2], kUsage);
    if (argc - arg != 2)
        return Usage("IN and OUT are needed");
    const std::string in = argv[arg], out = argv[arg + 1];
    const std::optional<TKind> from = KindOf(in), to = KindOf(out);
    if (!from || !to)
        return Usage((from ? out : in) + ": not a type it converts");
    const bool toApf = *to == TKind::Apf, fromApf = *from == TKind::Apf;
    // Pictures come from APF files only, and only an APF file has a
    // resolution to choose.
    if (!toApf && !fromApf)
        return Usage("IN or OUT must be an .apf file");
    if (*to == TKind::Text || *to == TKind::Document)
        return Usage(out + ": an .apf file becomes .bmp .pcx .tif .tiff or .dcx");
    if (!toApf && fine)
        return Usage("--high and --low are for an .apf OUT");
    // A tool for the command line: no display needed.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const TQtRuntimeFolder runtimeFolder;
    QGuiApplication app(argc, argv);
    // The library names its input when it cannot make a file: a missing
    // folder for OUT is said here, with OUT's name.
    const std::filesystem::path folder = std::filesystem::path(out).parent_path();
    if (!folder.empty() && !std::filesystem::is_directory(folder)) {
        std::fprintf(stderr, "skip_faxcvt: %s: no such folder\n", out.c_str());
        return 1;
    }
    try {
        if (fromApf && toApf)
            ApfToApf(in, out, fine);
        else if (toApf)
            ToApf(*from, in, out, fine.value_or(false));
        else
            FromApf(in, *to, out);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "skip_faxcvt: %s: %s\n", in.c_str(), e.what());
        if (const int signal = gInterrupted) {
            // Ended by the signal, as the caller expects of it.
            std::signal(signal, SIG_DFL);
            std::raise(signal);
        }
        return 1;
    }
    return 0;
}

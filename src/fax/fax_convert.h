#pragma once

#include "fax/apf_file.h"
#include "platform/gui_message.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The conversion engine: documents become APF fax files through one
// converter record, `TAbsFaxCvt`, and free routines over it. The input type
// (text, bitmap, caller's lines) supplies open, read-raster-line and close
// routines; the shared part codes each raster line as T.4 MH and writes the
// pages.
//
// Raster lines are bytes, most significant bit first, 1 = black, line width
// / 8 bytes long.

// Option flags.
inline constexpr uint16_t fcDoubleWidth = 1;
inline constexpr uint16_t fcHalfHeight = 2;
inline constexpr uint16_t fcCenterImage = 4;
inline constexpr uint16_t fcYield = 8;
inline constexpr uint16_t fcYieldOften = 16;
inline constexpr uint16_t fcDefaultOptions = fcDoubleWidth | fcCenterImage | fcYield;

// Status flags handed to the status routine.
inline constexpr int csStarting = 1;
inline constexpr int csEnding = 2;

inline constexpr std::size_t kFaxLineBufSize = 4096;
// Lines a padded page is filled to.
inline constexpr unsigned kPadPageLines = 2156;
// The status message a status window is sent.
inline constexpr uint32_t apw_FaxCvtStatus = 0x7E5A;

struct TAbsFaxCvt;

// What an input type keeps while it converts.
struct TFaxInputData {
    virtual ~TFaxInputData() = default;
};

// (converter, raster buffer, out length, out end of page, out more pages)
using TGetLineFunc =
    std::function<int(TAbsFaxCvt&, uint8_t* data, int& len, bool& endOfPage, bool& morePages)>;
using TOpenFileFunc = std::function<int(TAbsFaxCvt&, const std::string& fileName)>;
using TCloseFileFunc = std::function<void(TAbsFaxCvt&)>;
// (converter, flag 0 / csStarting / csEnding, caller data) -> true to stop.
using TCvtStatusFunc = std::function<bool(TAbsFaxCvt&, int flag, void* userData)>;
// Where `acConvert` puts each coded line: (converter, code bytes, length,
// end of page, more pages). A call with end of page carries no line.
using TPutLineFunc =
    std::function<int(TAbsFaxCvt&, const uint8_t* data, int len, bool endOfPage, bool morePages)>;

struct TAbsFaxCvt {
    bool UseHighRes = false;  // fine resolution
    bool DoubleWidth = false; // each coded run doubled
    bool HalfHeight = false;  // every second raster line coded
    uint16_t Flags = fcDefaultOptions;
    unsigned ByteOfs = 0; // next free bit of DataLine
    unsigned BitOfs = 0;
    unsigned ResWidth = kStandardWidth;
    unsigned LeftMargin = 50;
    unsigned TopMargin = 0;
    unsigned CurrPage = 0;
    unsigned CurrLine = 0;
    unsigned CenterOfs = 0; // bytes
    void* UserData = nullptr;
    void* OtherData = nullptr;
    int64_t BytesRead = 0;
    int64_t BytesToRead = 0;
    std::array<uint8_t, kFaxLineBufSize> DataLine{};  // coded line
    std::array<uint8_t, kFaxLineBufSize> TmpBuffer{}; // raster line
    TGetLineFunc GetLine;
    TOpenFileFunc OpenCall;
    TCloseFileFunc CloseCall;
    TCvtStatusFunc StatusFunc;
    TGuiTarget StatusWnd;
    std::string DefExt;
    std::string InFileName;
    std::string OutFileName;
    std::string StationID;
    TApfWriter Writer;
    bool PadPage = false;
    std::unique_ptr<TFaxInputData> InData;
};

// A converter with the defaults: options 13, width 1728, left margin 50.
void acInitFaxConverter(std::unique_ptr<TAbsFaxCvt>& cvt, void* data, TGetLineFunc getLine,
                        TOpenFileFunc openFile, TCloseFileFunc closeFile,
                        const std::string& defaultExt);
// Frees the converter (an unfinished output file is dropped).
void acDoneFaxConverter(std::unique_ptr<TAbsFaxCvt>& cvt);

void acSetOtherData(TAbsFaxCvt& cvt, void* otherData);
void acOptionsOn(TAbsFaxCvt& cvt, uint16_t options);
void acOptionsOff(TAbsFaxCvt& cvt, uint16_t options);
bool acOptionsAreOn(const TAbsFaxCvt& cvt, uint16_t options);
void acSetMargins(TAbsFaxCvt& cvt, unsigned left, unsigned top);
void acSetResolutionMode(TAbsFaxCvt& cvt, bool fine);
// 2 = 2048 pixels, anything else 1728.
void acSetResolutionWidth(TAbsFaxCvt& cvt, unsigned widthCode);
void acSetStationID(TAbsFaxCvt& cvt, const std::string& id);
void acSetStatusCallback(TAbsFaxCvt& cvt, TCvtStatusFunc callback);
void acSetStatusWnd(TAbsFaxCvt& cvt, TGuiTarget window);

// The T.4 line coder.
void acInitDataLine(TAbsFaxCvt& cvt);
// Codes one raster line into DataLine; its length is ByteOfs afterwards.
void acCompressRasterLine(TAbsFaxCvt& cvt, const uint8_t* raster);
// The page-end code bytes; length 12.
void acMakeEndOfPage(TAbsFaxCvt& cvt, uint8_t* out, int& len);

// Output file.
int acCreateOutputFile(TAbsFaxCvt& cvt);
int acCloseOutputFile(TAbsFaxCvt& cvt);
int acAddData(TAbsFaxCvt& cvt, const uint8_t* data, std::size_t len);
int acAddLine(TAbsFaxCvt& cvt, const uint8_t* data, std::size_t len);
// The APF writer as an output routine.
int acOutToFileCallback(TAbsFaxCvt& cvt, const uint8_t* data, int len, bool endOfPage,
                        bool morePages);

// The input type's routines.
int acOpenFile(TAbsFaxCvt& cvt, const std::string& fileName);
void acCloseFile(TAbsFaxCvt& cvt);
int acGetRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage, bool& morePages);

// The output name for an input: a given name gets ".APF" when it has no
// extension; an empty one is the input's directory and name with ".APF".
std::string acOutputName(const std::string& inputName, const std::string& destName);
// Converts the input into an APF file; on any error the output is removed.
int acConvertToFile(TAbsFaxCvt& cvt, const std::string& inputName, const std::string& destName);
// The conversion loop with any output routine.
int acConvert(TAbsFaxCvt& cvt, const std::string& inputName, const TPutLineFunc& putLine);

// Handles the GUI thread's pending messages once (nothing on other threads);
// -1003 once the application is quitting.
int FaxServeQueue();

// `name` with `ext` (without the dot) when it has no extension.
std::string ForceDefaultExt(const std::string& name, const std::string& ext);
// `name` with its extension replaced by `ext` (without the dot).
std::string ForceExt(const std::string& name, const std::string& ext);

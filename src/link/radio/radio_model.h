#pragma once

#include <string>

// The transceiver models the station can drive through the modem's radio
// port, from [RADIO] TYPE compared upper-cased.
enum class TRadioModel {
    None, // "NONE": no radio connected
    IcomM710,
    IcomM802,
    IcomF7000,
    IcomIC718,
    IcomIC78,
    Barrett950,
    Barrett2050,
    KenwoodTK90,
    KenwoodTRC80,
    KenwoodTS850,
    VertexVX1700,
    Other // any other text, the empty one included
};

TRadioModel RadioModelFromType(const std::string& type);

// The VX-1700's answer to each command: one status byte.
inline constexpr unsigned char kVx1700Processed = 0x00;
inline constexpr unsigned char kVx1700Error = 0xFF;

// Models spoken to in "$PICOA" sentences.
bool IsIcomNmea(TRadioModel model);
// Models whose commands go out with CR LF added.
bool IsCrLfModel(TRadioModel model);
// Models that the scan timer steps through the channels.
bool IsSteppedScanModel(TRadioModel model);
bool IsBarrett(TRadioModel model);
bool IsIcomCiv(TRadioModel model);

// "$PICOA,90,01," for the M710, ",08," for the M802, ",10," for the IC-F7000.
std::string IcomNmeaPrefix(TRadioModel model);
// The CI-V address: 0x5E for the IC-718, 0x62 for the IC-78.
unsigned char IcomCivAddress(TRadioModel model);

#include "link/radio/radio_model.h"

#include "netproto/core/id_global.h"

TRadioModel RadioModelFromType(const std::string& type)
{
    const std::string t = UpperAscii(type);
    static const struct {
        const char* name;
        TRadioModel model;
    } names[] = {
        {"NONE", TRadioModel::None},
        {"ICOM M710", TRadioModel::IcomM710},
        {"ICOM M802", TRadioModel::IcomM802},
        {"ICOM IC-F7000", TRadioModel::IcomF7000},
        {"ICOM IC-718", TRadioModel::IcomIC718},
        {"ICOM IC-78", TRadioModel::IcomIC78},
        {"BARRETT 950", TRadioModel::Barrett950},
        {"BARRETT 2050", TRadioModel::Barrett2050},
        {"KENWOOD TK-90", TRadioModel::KenwoodTK90},
        {"KENWOOD TRC-80", TRadioModel::KenwoodTRC80},
        {"KENWOOD TS-850", TRadioModel::KenwoodTS850},
        {"VERTEX VX-1700", TRadioModel::VertexVX1700},
    };
    for (const auto& n : names)
        if (t == n.name)
            return n.model;
    return TRadioModel::Other;
}

bool IsIcomNmea(TRadioModel model)
{
    return model == TRadioModel::IcomM710 || model == TRadioModel::IcomM802 ||
           model == TRadioModel::IcomF7000;
}

bool IsIcomCiv(TRadioModel model)
{
    return model == TRadioModel::IcomIC718 || model == TRadioModel::IcomIC78;
}

bool IsBarrett(TRadioModel model)
{
    return model == TRadioModel::Barrett950 || model == TRadioModel::Barrett2050;
}

bool IsCrLfModel(TRadioModel model)
{
    return IsIcomNmea(model) || IsBarrett(model) || model == TRadioModel::KenwoodTRC80;
}

bool IsSteppedScanModel(TRadioModel model)
{
    return IsIcomNmea(model) || IsIcomCiv(model) || model == TRadioModel::KenwoodTK90 ||
           model == TRadioModel::KenwoodTRC80 || model == TRadioModel::KenwoodTS850 ||
           model == TRadioModel::VertexVX1700;
}

std::string IcomNmeaPrefix(TRadioModel model)
{
    switch (model) {
    case TRadioModel::IcomM802:
        return "$PICOA,90,08,";
    case TRadioModel::IcomF7000:
        return "$PICOA,90,10,";
    default:
        return "$PICOA,90,01,";
    }
}

unsigned char IcomCivAddress(TRadioModel model)
{
    return model == TRadioModel::IcomIC78 ? 0x62 : 0x5E;
}

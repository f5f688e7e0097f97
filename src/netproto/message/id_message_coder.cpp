#include "netproto/message/id_message_coder.h"

#include "netproto/core/id_global.h"
#include "netproto/message/id_message_coder_mime.h"
#include "netproto/message/id_message_coder_uue.h"

TIdMessageDecoderList::TIdMessageDecoderList()
{
    RegisterDecoder("UUE", std::make_unique<TIdMessageDecoderInfoUUE>());
    RegisterDecoder("MIME", std::make_unique<TIdMessageDecoderInfoMIME>());
}

TIdMessageDecoderList& TIdMessageDecoderList::Instance()
{
    static TIdMessageDecoderList list;
    return list;
}

void TIdMessageDecoderList::RegisterDecoder(const std::string& name,
                                            std::unique_ptr<TIdMessageDecoderInfo> info)
{
    FItems.emplace_back(UpperAscii(name), std::move(info));
}

const TIdMessageDecoderInfo* TIdMessageDecoderList::ByName(const std::string& name) const
{
    const std::string key = UpperAscii(name);
    for (const auto& [n, info] : FItems)
        if (n == key)
            return info.get();
    return nullptr;
}

std::unique_ptr<TIdMessageDecoder>
TIdMessageDecoderList::CheckForStart(TIdMessage& message, TIdMessageLineReader& reader,
                                     const std::string& line) const
{
    for (const auto& item : FItems)
        if (auto decoder = item.second->CheckForStart(message, reader, line))
            return decoder;
    return nullptr;
}

TIdMessageEncoderList::TIdMessageEncoderList()
{
    RegisterEncoder("UUE", std::make_unique<TIdMessageEncoderInfoUUE>());
    RegisterEncoder("XXE", std::make_unique<TIdMessageEncoderInfoXXE>());
    RegisterEncoder("MIME", std::make_unique<TIdMessageEncoderInfoMIME>());
}

TIdMessageEncoderList& TIdMessageEncoderList::Instance()
{
    static TIdMessageEncoderList list;
    return list;
}

void TIdMessageEncoderList::RegisterEncoder(const std::string& name,
                                            std::unique_ptr<TIdMessageEncoderInfo> info)
{
    FItems.emplace_back(UpperAscii(name), std::move(info));
}

const TIdMessageEncoderInfo& TIdMessageEncoderList::ByName(const std::string& name) const
{
    const std::string key = UpperAscii(name);
    for (const auto& [n, info] : FItems)
        if (n == key)
            return *info;
    throw EIdException("Message encoder not found");
}

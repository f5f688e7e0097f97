#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The HF modem's serial stream, both ways.
// - Command frames (station to modem): 0x80, the command byte, then each
//   argument byte as the pair 0x80, byte.
// - Message frames (modem to station): 0x80, the message code, then its
//   payload, each payload byte again as the pair 0x80, byte. The code sets
//   the payload (MessageLength): a fixed count of bytes, a text ended by
//   0x00 or by its longest length, or (0x6A) a count byte and that many
//   bytes; codes not listed below carry none.
// - Every other byte is link data: what one station sends the other over
//   the link, carried as it is. 0x81 escapes the next byte, so link data
//   bytes 0x80 and 0x81 travel as 0x81 0x80 and 0x81 0x81 on the serial
//   line, either way. Link data may come between the pairs of a message's
//   payload.
namespace ModemFrame {

inline constexpr uint8_t kMarker = 0x80;
inline constexpr uint8_t kDataEscape = 0x81;

// Commands to the modem.
inline constexpr uint8_t kCmdAbort = 0x06;      // hardware abort: the link drops at once
inline constexpr uint8_t kCmdDisconnect = 0x07; // end the link once the data queued is sent
// Configures the modem; answered by kMsgConfigured. A station configures
// its modem when it starts afresh (at its start, with its port reopened, or
// after a write to the port failed), knowing nothing of a link the modem may
// still hold: so the modem first ends any link as kCmdAbort does (both
// stations hear kMsgDisconnected, this one before kMsgConfigured) and gives
// up a call it placed.
inline constexpr uint8_t kCmdConfigure = 0x50;
// Asks for the three version reports; sent once the modem is configured.
inline constexpr uint8_t kCmdVersions = 0x51;
// Test tones for alignment: the modem transmits until told to stop.
inline constexpr uint8_t kCmdEightTones = 0x04;
inline constexpr uint8_t kCmdStopTones = 0x05;
inline constexpr uint8_t kCmdSingleTone = 0x0B;
// Radio-port byte group: 0x80 0x34, the byte, 0x80 0x33 (radio/radio_wire.h).
inline constexpr uint8_t kCmdRadioStart = 0x34;
inline constexpr uint8_t kCmdRadioEnd = 0x33;
// Calls: 0x20-0x2F.
// Places a call. Six arguments: the called station's selective-call ID as
// four ASCII digits, the call length in seconds (CALLLENGTH, 28-221), and
// an options byte (bit 0: listen for a busy channel first). The modem
// answers kMsgCalling, then kMsgLinkUp, kMsgLinkFailed or kMsgChannelBusy.
inline constexpr uint8_t kCmdCall = 0x20;
inline constexpr int kCallArgs = 6;
// This station's own address, sent after every configuration: its
// selective-call ID as four ASCII digits and the private network code as
// four bytes, most significant first (0: none). The modem answers calls to
// that ID carrying the same code.
inline constexpr uint8_t kCmdOwnAddress = 0x21;
inline constexpr int kOwnAddressArgs = 8;

// Messages from the modem.
inline constexpr uint8_t kMsgRadioByte = 0x35;  // one byte from the radio port
inline constexpr uint8_t kMsgConfigured = 0x68; // "Modem configuration successful"
// The modem's own hardware failed; one byte, the modem's error number. The
// station ends after telling the operator.
inline constexpr uint8_t kMsgHardwareError = 0x6F;
// Link data the modem has transmitted: a count byte, then those bytes (as
// the station wrote them, without the 0x81 escapes).
inline constexpr uint8_t kMsgTxEcho = 0x6A;
inline constexpr uint8_t kMsgDspVersion = 0x70; // texts of up to 32 bytes ended by 0x00
inline constexpr uint8_t kMsgCpuVersion = 0x71;
inline constexpr uint8_t kMsgWaveform = 0x72;
// Link statistics, which the modem reports on its own while a link is up:
// a text of up to 64 bytes ended by 0x00 holding six fields separated by
// ",": modulation, S/N, frequency offset, phase error, error corrections
// and throughput, each as the modem writes it. 0x73 is this end's receiver,
// 0x74 the far end's as its modem sent it over the link.
inline constexpr uint8_t kMsgLocalStatistics = 0x73;
inline constexpr uint8_t kMsgRemoteStatistics = 0x74;
// Amplitudes of the waveform's tones 0, 2, 4 and 6: four bytes, 1-255.
inline constexpr uint8_t kMsgToneLevels = 0x75;
inline constexpr int kToneLevelCount = 4;
// Link reports: 0x40-0x4F. An ID is four ASCII digits. Both stations take
// the link as up at 0x41 (the called one after 0x44): link data is carried
// only from then on until 0x45, and the exchange (LinkCode) starts there.
inline constexpr uint8_t kMsgCalling = 0x40;      // the call is on the air
inline constexpr uint8_t kMsgLinkUp = 0x41;       // linked; the peer's ID
inline constexpr uint8_t kMsgLinkFailed = 0x42;   // nobody answered the call
inline constexpr uint8_t kMsgChannelBusy = 0x43;  // the call was not placed
inline constexpr uint8_t kMsgIncoming = 0x44;     // a station calls us, not linked yet; its ID
inline constexpr uint8_t kMsgDisconnected = 0x45; // the link ended (either side, or lost)
inline constexpr int kIdLength = 4;

// The six fields of a statistics report; missing ones are empty, extra
// ones ignored.
struct TLinkStatistics {
    std::string Mod, Snr, Freq, Phs, Ecc, Tput;
};
TLinkStatistics ParseStatistics(const std::string& payload);

enum class TPayloadKind { Fixed, Text, Counted };
struct TPayloadLength {
    TPayloadKind kind;
    int n; // Fixed: the count; Text: the longest text; Counted: unused
};
// Unknown codes carry no payload.
TPayloadLength MessageLength(uint8_t code);

std::vector<uint8_t> Command(uint8_t command, std::initializer_list<uint8_t> args = {});
// Link data as it goes on the stream (0x81 before 0x80 and 0x81).
std::vector<uint8_t> LinkData(const std::string& bytes);

// Splits the modem's stream into messages and link data. A payload byte
// pair may be preceded by link data bytes; they are handed on as data.
class TParser {
public:
    std::function<void(uint8_t code, const std::string& payload)> OnMessage;
    std::function<void(uint8_t b)> OnData;

    void Feed(uint8_t b);
    void Reset();

private:
    void Deliver();
    enum class TState { Data, Escape, Marker, Payload, PayloadByte };
    TState FState = TState::Data;
    bool FInMessage = false;
    uint8_t FCode = 0;
    TPayloadLength FLength{TPayloadKind::Fixed, 0};
    int FCount = -1; // Counted: the count once read
    std::string FPayload;
};

} // namespace ModemFrame

// The station-to-station protocol inside the link data. Both copies of the
// station speak it; a later version must still talk to this one, so every
// code and field below stays as it is, and receivers skip what they do not
// know.
//
// In-band bytes. 0x01 is the only byte with a meaning of its own outside a
// message; it is followed by:
// - 0xA0 or 0xA1: the item data byte 0x00 or 0x01. Every other byte outside
//   a message is item data as it is (0x02 and 0x1F included).
// - 0xB4 and one byte: a ring with that code byte; a code of 0x00-0x02 goes
//   as 0x01, 0xA0 + the code.
// - Any other byte: the code of a message, whose body runs to the next 0x02.
//   A receiver skips a message whose code it does not know, and one whose
//   body is longer than kMaxMessageBytes.
// Message bodies:
// - 0xB3, chat: the text, each byte below 0x20 as 0x01, 0xA0 + the byte.
// - Codes 0xC0 and up: fields, with the single byte 0x1F between two fields
//   (none after the last; an empty body has none). A field is its key
//   letter, "=", and its value, each byte of the value below 0x20 (0x01,
//   0x02 and 0x1F among them) as 0x01, 0xA0 + the byte. The separators are
//   the only bytes below 0x20 that go unescaped, so 0x02 appears only at the
//   end. Receivers take the last field of a key, ignore keys they do not
//   know, and drop a whole message with a field that is not key "=" value or
//   whose escapes are broken. A count or version out of its bounds counts
//   as 0; a header with a value out of its bounds is answered kFailure (not
//   at all without a valid I).
// Numbers are decimal ASCII digits; IDs and CRCs upper-case hex (receivers
// take either case). A CRC is CRC-32 as zlib's crc32.
//
// The exchange. Each station starts at its modem's 0x41. The calling
// station announces itself at once; the called station announces at once
// when the ID of 0x41 is a station of its table, else once the caller's
// announce names it. Each side sends its items once it has the peer's
// announce, mail first (by the peer's method, below). When both announce a
// P of 2 or more they use the exchange of version 2, else that of version 1.
//
// Version 1, one item at a time:
//   sender   kHeader ->
//   receiver          <- kResume (offset), or kSuccess when the item is
//                        already there, or kFailure when it is refused
//   sender   item data from the offset to the end, then kEnd ->
//   receiver          <- kSuccess or kFailure
// The next item's header follows the answer. A header that comes while an
// item is under way ends that item for the receiver (its part stays).
//
// Version 2 keeps the line busy with data. The receiver's announce carries
// H, the IDs of the sender's items it holds a part of. The sender
// - offers an item of H as in version 1 (kHeader, kResume, the data from
//   the offset), and any other as kDataHeader, its data from the start
//   following at once;
// - goes on with the next item as soon as an item's kEnd is out, while at
//   most kAnswerWindow items wait for their answers: items sent whole and
//   items asked after (below) alike. The receiver answers in order;
// - asks after an item whose answer an earlier link lost (its data went
//   whole) by its kHeader alone, and goes on at once: the receiver answers
//   kSuccess when it holds the item; on kResume the sender offers it again
//   later in the link (the next header ended it for the receiver), as an
//   item of H when the offset is not 0. An item in H is never asked after:
//   it is offered as an item of H, whatever an earlier link lost;
// - sends kEnd without I: it ends the item of the last header.
// The receiver answers a kDataHeader once: at once when it holds the item
// already (kSuccess) or refuses it (kFailure), and then drops the item's
// data and end mark; otherwise only after its kEnd. A sender that hears an
// answer while the item's data still goes stops it there.
//
// In both, chat, rings and the other side's messages may come between the
// item data. A sender that stops an item's data early (on the peer's answer,
// or when it cannot read the item) sends no kEnd for it; the receiver's part
// stays until the next header or the link's end. The sender deletes its copy
// on kSuccess; mail that failed is offered again later in the link. When a
// side has nothing more to send and no answer to wait for, it says kCounts
// with zeros. The calling station ends the link (kCmdDisconnect) when both
// sides' counts are zero (automatic links and links with automatic end);
// either ends it after 15 idle checks. An operator who ends the link by hand
// (voice mode, or the hardware abort) sends kOperatorEnd first, and nothing
// after it: the link's end then tells neither side anything of the channel.
// Before kCmdAbort, which drops what the modem has not sent yet, the station
// waits for the modem's echo of it (kOperatorEndWaitMs at most).
//
// Items. The data of an item is the item compressed by its method (M):
// - MAIL: a message file as the router leaves it for the station. One line
//   "RCPT: " + address + CR LF per recipient (address user@station), for
//   mail a client outside the sending station's networks handed in one
//   line "X-Outside-Client: " + its address + CR LF (nothing returned for
//   it may leave the HF network), then the RFC 822 message with CR LF line
//   ends. The receiver files it whole in its QUEUE, where its router reads
//   these envelope lines.
// - FILE: the file's bytes; the receiver files it into Files under the last
//   component of N, never over another file.
// - FAX: as FILE, into MAIL/FAX (this station only receives them).
// The sender picks the method by the T of the peer's announce (below): the
// best both know, but NONE for an item the method would not make smaller.
// The receiver checks W and X of the data, expands it to no more than S
// bytes, then checks S and C.
namespace LinkCode {

inline constexpr uint8_t kIntro = 0x01;
inline constexpr uint8_t kEndOfMessage = 0x02;
inline constexpr uint8_t kFieldSeparator = 0x1F;
inline constexpr uint8_t kEscapeBase = 0xA0; // 0x01, 0xA0 + b stands for b < 0x20
inline constexpr uint8_t kChat = 0xB3;
inline constexpr uint8_t kRing = 0xB4;

// P protocol version (kProtocolVersion), T file-transfer version (below),
// N station name, M mail count, F file count for the peer; from version 2,
// H: the IDs of the peer's items this station holds a part of, separated by
// ",". A station that holds none leaves H out; a receiver takes an empty H
// as none.
inline constexpr uint8_t kAnnounce = 0xC0;
// I item ID (16 hex digits, the sender's choice, the same for the same item
// on every link), K kind ("MAIL", "FILE", "FAX"), M method ("PKLIB",
// "BZIP2", "NONE"), S size and C CRC-32 (8 hex digits) of the item itself,
// W size and X CRC-32 of the data as sent (compressed; W equals S for
// NONE, and is at most 2·S + 4096 for the others: a receiver refuses more
// with kFailure), N name (for files; the receiver keeps only its last
// component).
inline constexpr uint8_t kHeader = 0xC1;
// I item ID, O offset: the bytes of the data the receiver already holds
// from an earlier link; the sender goes on from there.
inline constexpr uint8_t kResume = 0xC2;
inline constexpr uint8_t kEnd = 0xC3;     // I item ID (none in version 2): all data sent
inline constexpr uint8_t kSuccess = 0xC4; // I item ID: the item is stored
// I item ID, R reason: the item is not stored; mail is offered again.
inline constexpr uint8_t kFailure = 0xC5;
// M mail and F file count the sender still holds for the peer.
inline constexpr uint8_t kCounts = 0xC6;
// S status text of a G3 fax sent by the peer's fax gateway (received only).
inline constexpr uint8_t kFaxStatus = 0xC7;
// Version 2: the fields of kHeader, K and N left out for MAIL (a
// kDataHeader without K is MAIL); the item's data follows at once from its
// start.
inline constexpr uint8_t kDataHeader = 0xC8;
// No fields: this side's operator ends the link now; the receiver counts
// nothing of it against the channel. A station that does not know it skips
// it, as any unknown code.
inline constexpr uint8_t kOperatorEnd = 0xC9;
// How long a station waits for the modem to send kOperatorEnd before it
// aborts the link all the same (the peer then sees a link lost).
inline constexpr int kOperatorEndWaitMs = 5000;

inline constexpr int kProtocolVersion = 2;
// Version 2: items a sender may have sent whole before their answers.
inline constexpr int kAnswerWindow = 32;
// File-transfer versions: what the receiver expands, which picks the
// sender's method. A version reads every method of the versions below it;
// a sender meeting a higher version than it knows uses its best method.
inline constexpr int kTransferNone = 0;  // "NONE": the item as it is
inline constexpr int kTransferPklib = 1; // "PKLIB": implode, ASCII literals, 4096 dictionary
inline constexpr int kTransferBzip2 = 2; // "BZIP2": a bzip2 stream, block size 1

// Bounds a receiver holds the peer to.
inline constexpr size_t kMaxMessageBytes = 2048;
inline constexpr size_t kMaxNameBytes = 255;
inline constexpr size_t kMaxTextBytes = 1024;
inline constexpr uint64_t kMaxItemBytes = 64ull << 20;

} // namespace LinkCode

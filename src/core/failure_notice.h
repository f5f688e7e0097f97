#pragma once

#include <string>
#include <string_view>
#include <vector>

// Mail that cannot be delivered goes back to its sender as a "failure notice"
// message, laid out like the mail gateway's notices, through the queue.
namespace FailureNotice {

// The sender address of a From line: the last blank- or quote-separated word
// after the first colon, without angle brackets; "UNKNOWN" when empty.
std::string SenderAddress(std::string_view line);

// The sender of a message: from its first line longer than 6 characters that
// starts with "FROM" (any case), looked at only in the header; "unknown" when
// there is none.
std::string MessageSender(std::string_view message);

// True when the message's From line names no address, as the mail system's
// own notices do ("Mail System" <>), so that a notice is never answered by
// another notice.
bool FromMailSystem(std::string_view message);

// At most this many lines of the returned message are quoted.
inline constexpr int kQuotedLines = 50;

// The whole notice file: one "RCPT: " line for `recipient`, the header, the
// explanation with the failed addresses and the error text, then the first
// lines of the returned message. Lines end in CR LF.
std::string Build(const std::string& recipient, const std::string& subject,
                  const std::vector<std::string>& failedAddresses, const std::string& errorText,
                  std::string_view message);

} // namespace FailureNotice

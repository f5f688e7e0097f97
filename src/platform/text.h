#pragma once

#include <QString>
#include <string>
#include <string_view>

// System texts are 8-bit Windows-1252 byte strings; they become QString only
// at the Qt boundary, through these two calls.
QString ToQt(std::string_view text);
// Characters that Windows-1252 cannot hold become '?'.
std::string FromQt(const QString& text);
// FromQt into `out`; false when a character became '?', so the text is not
// kept as it was.
bool FromQtWhole(const QString& text, std::string& out);

#pragma once

#include <QString>
#include <string>
#include <string_view>

// System texts are 8-bit Windows-1252 byte strings; they become QString only
// at the Qt boundary, through these two calls.
QString ToQt(std::string_view text);
// Characters that Windows-1252 cannot hold become '?'.
std::string FromQt(const QString& text);

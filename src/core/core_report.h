#pragma once

#include <functional>
#include <string>

// Problems that the core shows the operator as a message box ("Error Creating
// Directory\n" + path and the like). The core may hit them on any thread, so
// it only hands the text to the handler that the application installs at
// start (which carries it to the GUI thread); without one the text goes to
// standard error.
namespace CoreReport {

using Handler = std::function<void(const std::string& text)>;

void SetErrorHandler(Handler handler);
void Error(const std::string& text);

} // namespace CoreReport

#pragma once

#include <functional>
#include <string>

// Problems that the core shows the operator as a message box ("Error Creating
// Directory\n" + path and the like). They may arise on any thread; by default
// they go to the platform dialog host, which shows them on the GUI thread. The
// application may install a handler of its own instead.
namespace CoreReport {

using Handler = std::function<void(const std::string& text)>;

void SetErrorHandler(Handler handler);
void Error(const std::string& text);

} // namespace CoreReport

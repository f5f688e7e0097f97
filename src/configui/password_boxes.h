#pragma once

#include <string>

class QLineEdit;
class TConfig;

// The "&Set" button beside a settings dialog's two password boxes: both
// must agree and hold 4 to 16 characters. The password then goes into
// `stored` (a field of `config`, written under its lock) and the INI file
// receives it at the next save. A refused password gets its "Password Error"
// box, and `password` shows the stored one again. True when stored.
bool StorePasswordFromBoxes(QLineEdit* password, QLineEdit* confirm, TConfig& config,
                            std::string& stored);

#include "platform/toolkit.h"

// Built without GTK: every run uses the terminal window.
std::unique_ptr<Toolkit> openGtkToolkit() { return nullptr; }

// The terminal view of the pairing code (POSIX): what it writes, through a sink
// that tests can replace, and the key that refuses the phone. CreatePairingDialog
// uses the controlling terminal when there is one, else stderr.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ui/pairing_dialog.h"

namespace Veltrix {

// Receives each block of text the view writes, whole.
using TerminalSink = std::function<void(const std::string&)>;

class ISetupTerminal;

// Opens the keys the view reads while shown; none when there is no terminal to read.
using TerminalKeysOpener = std::function<std::unique_ptr<ISetupTerminal>()>;

// The key that refuses the phone ("c", or Esc).
inline constexpr char kPairingCancelKey = 'c';

// Without an opener the view only writes and never cancels.
std::unique_ptr<IPairingDialog> CreateTerminalPairingDialog(TerminalSink sink, TerminalKeysOpener keys = nullptr);

// The phone's name made safe for a terminal: C0 and C1 controls, DEL, backslash and
// bytes that are not well-formed UTF-8 become \xNN, so a name cannot move the cursor,
// clear the screen or forge lines.
std::string EscapeForTerminal(std::string_view text);

}  // namespace Veltrix

// Text from the phone or the disk made harmless for a terminal: the same
// escaping the log writer applies (controls, DEL, backslash, C1 and bytes
// outside well-formed UTF-8 as \xNN), so a name reads the same in both.
#include "support/log.h"
#include "ui/terminal_pairing_view.h"

namespace Veltrix {

std::string EscapeForTerminal(std::string_view text) { return EscapeLogText(text); }

}  // namespace Veltrix

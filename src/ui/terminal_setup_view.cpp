#include "ui/terminal_setup_view.h"

#include <cstdio>
#include <cstdlib>

#include "ui/terminal_pairing_view.h"

namespace Veltrix {

namespace {
constexpr const char* kForgetQuestion =
    "The iPhone will need to re-pair (scan QR / enter code) the next time it connects.\n\nForget this iPhone?";

std::string Row(const char* name, const std::string& value) {
    char label[32];
    std::snprintf(label, sizeof label, "  %-16s", name);
    return label + EscapeForTerminal(value) + "\n";
}

void DropLastCharacter(std::string& text) {
    while (!text.empty()) {
        const unsigned char c = static_cast<unsigned char>(text.back());
        text.pop_back();
        if ((c & 0xC0) != 0x80) break;
    }
}
}  // namespace

std::vector<std::string> TerminalQrLines(const QrCode& code) {
    std::vector<std::string> lines;
    if (code.size < 1) return lines;
    const int quiet = 2;
    const int span = code.size + 2 * quiet;
    const auto dark = [&](int x, int y) { return IsQrModuleDark(code, x - quiet, y - quiet); };
    for (int y = 0; y < span; y += 2) {
        std::string line = "\x1b[30;47m";
        for (int x = 0; x < span; ++x) {
            const bool top = dark(x, y);
            const bool bottom = y + 1 < span && dark(x, y + 1);
            line += top ? (bottom ? "█" : "▀") : (bottom ? "▄" : " ");
        }
        line += "\x1b[0m";
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string TerminalSetupView::Render() const {
    const SetupModel& m = model_;
    std::string out = "\x1b[H\x1b[2J";
    out += "Lumenfold\nScan the QR code with the Lumenfold iOS app to connect.\n\n";
    const auto qr = TerminalQrLines(m.Qr());
    if (qr.empty()) out += "  (no QR code)\n";
    for (const auto& line : qr) out += "  " + line + "\n";
    out += "\n  " + EscapeForTerminal(m.Address()) + "\n\nDEVICE\n";
    out += std::string("  ") + (m.DotOn() ? "●" : "○") + " " + m.Text(kSetupDeviceStatus) + "\n";
    out += Row("Name", m.Text(kSetupNameEdit));
    out += std::string("  [") + (m.Discoverable() ? "x" : " ") + "] Discoverable on network (d)\n";
    out += std::string("  [") + (m.HwHevc() ? "x" : " ") + "] Use NVIDIA / Intel HW HEVC encoder (h)\n";
    out += "  " + EscapeForTerminal(m.Text(kSetupActiveEncoder)) + "\n\nTRUSTED IPHONES\n";
    if (m.Peers().empty()) out += "  No iPhones paired yet.\n";
    for (std::size_t i = 0; i < m.Peers().size(); ++i) {
        const auto& p = m.Peers()[i];
        char number[32];
        std::snprintf(number, sizeof number, "  %2zu. ", i + 1);
        out += number + EscapeForTerminal(p.name) + (p.paired.empty() ? "" : "  (" + EscapeForTerminal(p.paired) + ")") +
               "\n";
    }
    out += "\n" + EscapeForTerminal(m.Text(kSetupInstanceId)) + "\n";
    if (m.Advanced()) {
        for (const auto& row : SetupModel::Rows()) {
            if (row.section) out += std::string("\n") + row.section + "\n";
            out += Row(row.name, m.Text(row.id));
        }
    }
    out += "\n";
    switch (mode_) {
        case Mode::kName: out += "New name (Enter saves, Esc cancels): " + EscapeForTerminal(input_) + "\n"; break;
        case Mode::kForget: out += "Forget which iPhone? Number, then Enter (Esc cancels): " + input_ + "\n"; break;
        case Mode::kConfirm:
            out += "Forget paired iPhone: " + EscapeForTerminal(forgetName_) + "\n" + kForgetQuestion +
                   " (y / n)\n";
            break;
        case Mode::kNormal:
            out += std::string("n rename   d discoverable   h HW HEVC   f forget   a ") +
                   (m.Advanced() ? "hide" : "show") + " advanced info   q close\n";
            break;
    }
    if (!message_.empty()) out += message_ + "\n";
    return out;
}

bool TerminalSetupView::HandleKey(unsigned char key) {
    constexpr unsigned char kEsc = 0x1b;
    const bool enter = key == '\r' || key == '\n';
    switch (mode_) {
        case Mode::kName:
            if (key == kEsc) {
                mode_ = Mode::kNormal;
            } else if (enter) {
                mode_ = Mode::kNormal;
                message_ = model_.Save(input_) ? "Name saved." : "Name unchanged.";
            } else if (key == 0x7f || key == 0x08) {
                DropLastCharacter(input_);
            } else if (key >= 0x20 && input_.size() < 1024) {
                input_ += static_cast<char>(key);
            }
            return true;
        case Mode::kForget:
            if (key == kEsc) {
                mode_ = Mode::kNormal;
            } else if (enter) {
                const int n = input_.empty() ? 0 : std::atoi(input_.c_str());
                if (n >= 1 && static_cast<std::size_t>(n) <= model_.Peers().size()) {
                    const SetupPeerRow& row = model_.Peers()[static_cast<std::size_t>(n - 1)];
                    forgetId_ = row.id;
                    forgetName_ = row.name;
                    mode_ = Mode::kConfirm;
                } else {
                    mode_ = Mode::kNormal;
                    message_ = "No iPhone with that number.";
                }
            } else if (key >= '0' && key <= '9' && input_.size() < 3) {
                input_ += static_cast<char>(key);
            } else if (key == 0x7f || key == 0x08) {
                DropLastCharacter(input_);
            }
            return true;
        case Mode::kConfirm:
            mode_ = Mode::kNormal;
            if (key == 'y' || key == 'Y') {
                message_ = model_.Forget(forgetId_) ? "iPhone forgotten." : "That iPhone was already gone.";
            } else {
                message_ = "Kept.";
            }
            return true;
        case Mode::kNormal: break;
    }
    message_.clear();
    input_.clear();
    switch (key) {
        case 'q': case 'Q': return false;
        case 'd':
            if (!model_.SetDiscoverable(!model_.Discoverable())) message_ = "Setting not saved.";
            break;
        case 'h':
            if (!model_.SetHwHevc(!model_.HwHevc())) message_ = "Setting not saved.";
            break;
        case 'a': model_.ToggleAdvanced(); break;
        case 'n': mode_ = Mode::kName; break;
        case 'f':
            if (model_.Peers().empty()) message_ = "No iPhones paired yet.";
            else mode_ = Mode::kForget;
            break;
        default: break;
    }
    return true;
}

void RunTerminalSetup(SetupModel& model, ISetupTerminal& terminal, Clock& clock, const std::atomic<bool>& stop) {
    TerminalSetupView view(model);
    model.RefreshIdentityAndNetwork();
    constexpr auto kPeriod = std::chrono::milliseconds(500);
    auto next = clock.Now();
    while (!stop.load() && !terminal.Closed()) {
        if (clock.Now() >= next) {
            model.RefreshTrustedPeers();
            model.RefreshStatus();
            next = clock.Now() + kPeriod;
        }
        terminal.Write(view.Render());
        const auto key = terminal.ReadKey(next);
        if (key && !view.HandleKey(*key)) break;
    }
}

}  // namespace Veltrix

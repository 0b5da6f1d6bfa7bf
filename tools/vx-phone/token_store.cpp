#include "vx-phone/token_store.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "store/json_store.h"
#include "support/log.h"

namespace Veltrix::phone {
namespace {

const LogChannel kLog{"com.veltrix.phone", "tokens"};

bool Safe(const std::string& s) {
    if (s.empty()) return false;
    for (unsigned char c : s) {
        if (c <= 0x20 || c == 0x7f) return false;
    }
    return true;
}

}  // namespace

TokenStore::TokenStore(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path TokenStore::DefaultPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path base;
    if (xdg && *xdg) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home && *home ? home : ".") / ".config";
    }
    return base / "vx-phone" / "tokens";
}

bool TokenStore::Load(std::string* error) {
    entries_.clear();
    phoneId_.clear();
    std::error_code ec;
    if (!std::filesystem::exists(file_, ec)) return true;
    std::ifstream in(file_);
    if (!in) {
        if (error) *error = "cannot read " + file_.string();
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "id") {
            std::string id;
            if (words >> id && Safe(id)) phoneId_ = id;
        } else if (kind == "token") {
            Entry e;
            if (words >> e.host >> e.id >> e.token && Safe(e.token)) entries_.push_back(e);
        }
    }
    return true;
}

bool TokenStore::Save(std::string* error) const {
    std::error_code ec;
    if (file_.has_parent_path()) std::filesystem::create_directories(file_.parent_path(), ec);
    std::string text = "# vx-phone: phone id and the tokens plug-ins issued to it\n";
    if (!phoneId_.empty()) text += "id " + phoneId_ + "\n";
    for (const auto& e : entries_) text += "token " + e.host + " " + e.id + " " + e.token + "\n";
    static const StoreMessages kMessages{"tokens: cannot open %s", "tokens: cannot write %s",
                                         "tokens: cannot rename %s to %s: %s"};
    if (!WriteFileAtomically(file_, text, kLog, kMessages)) {
        if (error) *error = "cannot write " + file_.string();
        return false;
    }
    return true;
}

const std::string& TokenStore::PhoneId() {
    if (phoneId_.empty()) phoneId_ = NewUuid();
    return phoneId_;
}

std::string TokenStore::TokenFor(const std::string& hostKey, const std::string& phoneId) const {
    for (const auto& e : entries_) {
        if (e.host == hostKey && e.id == phoneId) return e.token;
    }
    return {};
}

void TokenStore::SetToken(const std::string& hostKey, const std::string& phoneId, const std::string& token) {
    if (!Safe(hostKey) || !Safe(phoneId) || !Safe(token)) return;
    for (auto& e : entries_) {
        if (e.host == hostKey && e.id == phoneId) {
            e.token = token;
            return;
        }
    }
    entries_.push_back({hostKey, phoneId, token});
}

void TokenStore::ForgetToken(const std::string& hostKey, const std::string& phoneId) {
    std::erase_if(entries_, [&](const Entry& e) { return e.host == hostKey && e.id == phoneId; });
}

}  // namespace Veltrix::phone

// A real NetworkTransport (the plug-in's control side) on an ephemeral port,
// with a recording pairing dialog and an in-memory trusted list, and helpers
// that drive vx-phone's session against it over loopback.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "network/network_transport.h"
#include "tests/testing/manual_clock.h"
#include "tests/testing/recording_dialog.h"
#include "tests/testing/test_env.h"
#include "vx-phone/phone_session.h"

namespace Veltrix::testing {

class PluginSide {
public:
    PluginSide() {
        NetworkTransport::Collaborators c;
        c.clock = &clock_;  // heartbeats only when the test moves time
        c.advertise = false;
        c.createDialog = [this] { return std::make_unique<RecordingDialog>(dialog); };
        c.findPeer = [this](const std::string& id) -> std::optional<TrustedPeer> {
            std::lock_guard<std::mutex> l(m_);
            auto it = peers_.find(id);
            if (it == peers_.end()) return std::nullopt;
            return it->second;
        };
        c.upsertPeer = [this](const TrustedPeer& p) {
            std::lock_guard<std::mutex> l(m_);
            peers_[p.id] = p;
            return true;
        };
        net = std::make_unique<NetworkTransport>(c);
        net->onControlMessage = [this](std::uint8_t op, const std::uint8_t* p, std::size_t n) {
            std::lock_guard<std::mutex> l(m_);
            received_.push_back({op, std::vector<std::uint8_t>(p, p + n)});
        };
        net->StartListening(0);
        EXPECT_TRUE(Eventually([&] { return net->ListeningPort() != 0; }));
    }
    ~PluginSide() { net->Stop(); }

    // The code the dialog shows, once it shows one.
    std::optional<std::string> WaitCode() {
        std::string code = TakeCode(dialog);
        if (code.empty()) return std::nullopt;
        return code;
    }
    std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> Received() {
        std::lock_guard<std::mutex> l(m_);
        return received_;
    }
    bool Got(std::uint8_t op) {
        for (const auto& [o, p] : Received()) {
            if (o == op) return true;
        }
        return false;
    }

    DialogRecord dialog;
    std::unique_ptr<NetworkTransport> net;

private:
    ManualClock clock_;
    std::mutex m_;
    std::map<std::string, TrustedPeer> peers_;
    std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> received_;
};

// Options for a session against `plugin`, on ephemeral media ports.
inline phone::PhoneOptions PhoneFor(PluginSide& plugin, const std::filesystem::path& tokenFile) {
    phone::PhoneOptions o;
    o.port = plugin.net->ListeningPort();
    o.videoPort = 0;
    o.audioPort = 0;
    o.tokenFile = tokenFile.string();
    o.id = "phone-e2e";
    o.name = "Test phone";
    o.pairTimeout = 20;
    return o;
}

// A string stream the test may read while the session's threads write to it.
class LockedBuf : public std::stringbuf {
public:
    std::string Text() {
        std::lock_guard<std::recursive_mutex> l(m_);
        return str();
    }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard<std::recursive_mutex> l(m_);
        return std::stringbuf::xsputn(s, n);
    }
    int_type overflow(int_type c) override {
        std::lock_guard<std::recursive_mutex> l(m_);
        return std::stringbuf::overflow(c);
    }

private:
    std::recursive_mutex m_;  // xsputn calls overflow
};

struct LockedStream : std::ostream {
    LockedStream() : std::ostream(&buf) {}
    std::string str() { return buf.Text(); }
    LockedBuf buf;
};

struct PhoneIo {
    LockedStream out, err;
    phone::PhoneSession::Io Make(std::function<std::optional<std::string>()> prompt) {
        phone::PhoneSession::Io io;
        io.out = &out;
        io.err = &err;
        io.promptCode = std::move(prompt);
        return io;
    }
};

}  // namespace Veltrix::testing

#include "ui/terminal_pairing_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "tests/testing/eventually.h"
#include "tests/testing/test_env.h"
#include "ui/terminal_setup_view.h"

namespace Veltrix {
namespace {

class TerminalView : public ::testing::Test {
protected:
    std::unique_ptr<IPairingDialog> Make() {
        return CreateTerminalPairingDialog([this](const std::string& t) { writes_.push_back(t); });
    }
    std::string All() const {
        std::string s;
        for (const auto& w : writes_) s += w;
        return s;
    }
    testing::ScopedTestDirs dirs_;  // the view logs
    std::vector<std::string> writes_;
};

TEST_F(TerminalView, ShowsTheNameAndTheCodeInLargeDigits) {
    auto view = Make();
    bool cancelled = false;
    view->Show("407135", "Anna's iPhone", [&] { cancelled = true; });
    ASSERT_EQ(writes_.size(), 1u);
    const std::string& text = writes_[0];
    EXPECT_NE(text.find("Veltrix: Enter this code on Anna's iPhone:\n"), std::string::npos);
    // Row by row: 4, 0, 7, 1, 3, 5 side by side.
    const char* rows[5] = {
        "    #   #  #####  #####    #    #####  #####\n",
        "    #   #  #   #      #   ##        #  #\n",
        "    #####  #   #     #     #     ####  #####\n",
        "        #  #   #    #      #        #      #\n",
        "        #  #####    #     ###   #####  #####\n",
    };
    std::size_t at = 0;
    for (const char* row : rows) {
        const std::size_t found = text.find(row, at);
        ASSERT_NE(found, std::string::npos) << row;
        at = found + 1;
    }
    EXPECT_NE(text.find("    code: 407135\n"), std::string::npos);
    EXPECT_EQ(text.find("pairing ended"), std::string::npos);
    view.reset();
    EXPECT_FALSE(cancelled);  // the view has no input, so it never cancels
}

TEST_F(TerminalView, SaysOnceWhenPairingEnded) {
    auto view = Make();
    view->Close();  // nothing shown yet: nothing to end
    EXPECT_TRUE(writes_.empty());
    view->Show("123456", "P", [] {});
    view->Close();
    view->Close();
    view.reset();
    ASSERT_EQ(writes_.size(), 2u);
    EXPECT_EQ(writes_[1], "Veltrix: pairing ended.\n");

    auto dropped = Make();  // destroyed while showing: the end is still said
    dropped->Show("123456", "", [] {});
    EXPECT_NE(writes_.back().find("Enter this code on iPhone:"), std::string::npos);  // no name: "iPhone"
    dropped.reset();
    EXPECT_EQ(writes_.back(), "Veltrix: pairing ended.\n");
}

TEST_F(TerminalView, NamesCannotDriveTheTerminal) {
    auto view = Make();
    view->Show("123456", "\x1b[2J\r\nVeltrix: Enter this code on X:\x07\\ \xc2\x9b" "1m \xff\xc3", [] {});
    const std::string text = All();
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        EXPECT_TRUE(u == '\n' || (u >= 0x20 && u != 0x7f && u < 0x80)) << static_cast<int>(u);
    }
    EXPECT_NE(text.find("on \\x1b[2J\\x0d\\x0aVeltrix: Enter this code on X:\\x07\\x5c \\xc2\\x9b1m \\xff\\xc3:\n"),
              std::string::npos)
        << text;
}

TEST(EscapeForTerminal, KeepsWellFormedTextAndEscapesTheRest) {
    EXPECT_EQ(EscapeForTerminal("Jürgen’s 📱"), "Jürgen’s 📱");
    EXPECT_EQ(EscapeForTerminal(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(EscapeForTerminal("\x7f"), "\\x7f");
    EXPECT_EQ(EscapeForTerminal("\xc2\x85"), "\\xc2\\x85");           // C1 NEL
    EXPECT_EQ(EscapeForTerminal("\xc2\xa0"), "\xc2\xa0");             // no-break space stays
    EXPECT_EQ(EscapeForTerminal("\xe2\x82"), "\\xe2\\x82");           // cut short
    EXPECT_EQ(EscapeForTerminal("\xed\xa0\x80"), "\\xed\\xa0\\x80");  // surrogate
    EXPECT_EQ(EscapeForTerminal("\xc0\xaf"), "\\xc0\\xaf");           // overlong
}

// Keys a test types into the view, read with the view's real deadlines.
struct TypedKeys {
    std::mutex m;
    std::condition_variable cv;
    std::deque<unsigned char> keys;
    int opened = 0, released = 0;
    void Type(unsigned char c) {
        std::lock_guard<std::mutex> l(m);
        keys.push_back(c);
        cv.notify_all();
    }
};

class TypedTerminal final : public ISetupTerminal {
public:
    explicit TypedTerminal(TypedKeys& k) : k_(k) {}
    ~TypedTerminal() override {
        std::lock_guard<std::mutex> l(k_.m);
        ++k_.released;
    }
    std::optional<unsigned char> ReadKey(Clock::time_point deadline) override {
        std::unique_lock<std::mutex> l(k_.m);
        Clock::Real().WaitUntil(k_.cv, l, deadline, [&] { return !k_.keys.empty(); });
        if (k_.keys.empty()) return std::nullopt;
        const unsigned char c = k_.keys.front();
        k_.keys.pop_front();
        return c;
    }
    void Write(const std::string&) override {}
    bool Closed() const override { return false; }

private:
    TypedKeys& k_;
};

TEST_F(TerminalView, TheCancelKeyRefusesThePhoneOnce) {
    TypedKeys keys;
    auto view = CreateTerminalPairingDialog([this](const std::string& t) { writes_.push_back(t); },
                                            [&] {
                                                ++keys.opened;
                                                return std::make_unique<TypedTerminal>(keys);
                                            });
    std::atomic<int> cancels{0};
    view->Show("111222", "P", [&] { ++cancels; });
    EXPECT_NE(writes_.at(0).find("Press c to refuse this phone."), std::string::npos);
    keys.Type('x');  // other keys do nothing
    keys.Type('c');
    keys.Type('c');
    ASSERT_TRUE(testing::Eventually([&] { return cancels.load() > 0; }));
    view->Close();  // the handshake closes after the refusal: nothing more is said or called
    view.reset();
    EXPECT_EQ(cancels.load(), 1);
    EXPECT_EQ(writes_.back(), "Veltrix: pairing refused.\n");
    EXPECT_EQ(keys.released, 1);
}

TEST_F(TerminalView, CloseBeforeAnyKeyNeverCancels) {
    TypedKeys keys;
    auto view = CreateTerminalPairingDialog([this](const std::string& t) { writes_.push_back(t); },
                                            [&] { return std::make_unique<TypedTerminal>(keys); });
    std::atomic<int> cancels{0};
    view->Show("111222", "P", [&] { ++cancels; });
    view->Close();
    keys.Type('c');
    view.reset();  // joins the key reader
    EXPECT_EQ(cancels.load(), 0);
    EXPECT_EQ(writes_.back(), "Veltrix: pairing ended.\n");
    EXPECT_EQ(keys.released, 1);
}

TEST(PairingDialog, PosixHasATerminalView) { EXPECT_NE(CreatePairingDialog(), nullptr); }

}  // namespace
}  // namespace Veltrix

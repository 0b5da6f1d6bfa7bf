#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "discovery/advertise_names.h"
#include "discovery/dns_sd_service_advertiser.h"
#include "support/log.h"
#include "tests/discovery/fake_dns_sd.h"
#include "tests/testing/eventually.h"
#include "tests/testing/manual_clock.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

using namespace std::chrono_literals;
using testing::Eventually;
using testing::FakeDnsSd;
using Step = FakeDnsSd::Step;

const char* const kEmDashName = "Studio \xE2\x80\x94 Premiere";  // "Studio — Premiere"
const std::u16string kOurs = u"Studio \u2014 Premiere._veltrix._tcp.local";

AdvertiseConfig Config(std::string name = kEmDashName, bool transmit = false) {
    return {"0f1e2d3c-id", std::move(name), transmit};
}

std::u16string Txt(const testing::FakeInstanceData& d, const std::u16string& key) {
    for (const auto& e : d.txt) {
        if (e.key == key) return e.value;
    }
    return u"<missing>";
}

class AdvertiserTest : public ::testing::Test {
protected:
    void SetUp() override { adv_ = std::make_unique<DnsSdServiceAdvertiser>(dns_, clock_); }
    void TearDown() override {
        adv_.reset();
        dns_->Flush();
        EXPECT_EQ(dns_->LiveInstances(), 0);
    }
    std::string LogText() { return testing::ReadFileText(LogFilePath()); }
    bool Logged(const std::string& s) { return LogText().find(s) != std::string::npos; }
    // Advances time until the worker has looked again (it checks every 200 ms).
    void AdvanceWorker(Clock::duration d) {
        ASSERT_TRUE(clock_.WaitForBlocked(1));
        clock_.Advance(d);
    }

    testing::ScopedTestDirs dirs_;
    testing::ManualClock clock_;
    std::shared_ptr<FakeDnsSd> dns_ = std::make_shared<FakeDnsSd>();
    std::unique_ptr<DnsSdServiceAdvertiser> adv_;
};

TEST(AdvertiseNames, LabelHostAndTxt) {
    EXPECT_EQ(ServiceInstanceName(""), u"Lumenfold._veltrix._tcp.local");
    const std::string sixty(60, 'a');
    EXPECT_EQ(InstanceLabel(sixty), std::u16string(40, u'a'));
    // A cut through the em dash drops its broken tail instead of sending a stray byte.
    const std::string split = std::string(38, 'b') + "\xE2\x80\x94" + "c";
    EXPECT_EQ(InstanceLabel(split), std::u16string(38, u'b'));
    EXPECT_EQ(InstanceLabel(std::string(37, 'b') + "\xE2\x80\x94"), std::u16string(37, u'b') + u"\u2014");
    EXPECT_EQ(Utf8ToUtf16("a\xFF" "b"), u"a\uFFFDb");
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(kEmDashName)), kEmDashName);
    EXPECT_EQ(ServiceHostName(u"Studio-PC"), u"studio-pc.local");
    EXPECT_EQ(ServiceHostName(u""), u"localhost.local");
    const auto txt = TxtRecord({"id-1-ae", sixty, true});
    ASSERT_EQ(txt.size(), 4u);
    EXPECT_EQ(txt[0].key + txt[0].value, u"ver4");
    EXPECT_EQ(txt[1].key + txt[1].value, u"idid-1-ae");
    EXPECT_EQ(txt[2].key, u"name");
    EXPECT_EQ(txt[2].value.size(), 60u);
    EXPECT_EQ(txt[3].key + txt[3].value, u"transmit1");
}

TEST_F(AdvertiserTest, StartRegistersWatchesAndStopWithdraws) {
    ASSERT_TRUE(adv_->Start(47100, Config()));
    EXPECT_TRUE(adv_->IsAdvertising());
    const auto regs = dns_->Registered();
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(regs[0].name, kOurs);
    EXPECT_EQ(regs[0].host, u"studio-pc.local");
    EXPECT_EQ(regs[0].port, 47100);
    EXPECT_EQ(Txt(regs[0], u"name"), u"Studio \u2014 Premiere");
    EXPECT_EQ(Txt(regs[0], u"transmit"), u"0");
    EXPECT_TRUE(adv_->SelfHealRunning());
    EXPECT_EQ(adv_->Heal().Name(), kOurs);
    EXPECT_EQ(dns_->BrowsesStarted(), 1);
    EXPECT_TRUE(Logged("advertising :47100 id=0f1e2d3c-id name=Studio \xE2\x80\x94 Premiere transmit=0"));
    EXPECT_TRUE(Logged("[bj] self-heal: started (read-only browse + register-only on loss)"));

    adv_->Stop();
    EXPECT_FALSE(adv_->IsAdvertising());
    EXPECT_FALSE(adv_->SelfHealRunning());
    EXPECT_EQ(dns_->Deregistrations(), 1);
    EXPECT_EQ(dns_->BrowsesCancelled(), 1);
    EXPECT_TRUE(Logged("advertising stopped"));
    EXPECT_EQ(dns_->LiveInstances(), 0);
}

TEST_F(AdvertiserTest, EmptyNameAndNoHostName) {
    dns_->hostName.clear();
    ASSERT_TRUE(adv_->Start(47110, Config("")));
    const auto regs = dns_->Registered();
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(regs[0].name, u"Lumenfold._veltrix._tcp.local");
    EXPECT_EQ(regs[0].host, u"localhost.local");
    EXPECT_EQ(Txt(regs[0], u"name"), u"");
}

TEST_F(AdvertiserTest, EveryRegistrationFailureReturnsFalse) {
    dns_->failConstruct = true;
    EXPECT_FALSE(adv_->Start(47100, Config()));
    EXPECT_TRUE(Logged("DnsServiceConstructInstance failed: err=87"));
    dns_->failConstruct = false;

    dns_->Script({{Step::kRefuse}, {Step::kFail}});
    EXPECT_FALSE(adv_->Start(47100, Config()));
    EXPECT_TRUE(Logged("DnsServiceRegister returned 87 — registration refused"));
    EXPECT_FALSE(adv_->Start(47100, Config()));
    EXPECT_TRUE(Logged("DnsServiceRegister callback status=1460"));
    EXPECT_FALSE(adv_->IsAdvertising());
    EXPECT_FALSE(adv_->SelfHealRunning());
    EXPECT_EQ(dns_->LiveInstances(), 0);
}

TEST_F(AdvertiserTest, ARegistrationThatCompletesAfterItsWaitIsWithdrawn) {
    dns_->Script({{Step::kHold}, {Step::kHold}});
    bool started = true;
    std::thread t([&] { started = adv_->Start(47100, Config()); });
    ASSERT_TRUE(clock_.WaitForBlocked(1));
    clock_.Advance(4999ms);
    clock_.Advance(1ms);
    t.join();
    EXPECT_FALSE(started);
    EXPECT_TRUE(Logged("DnsServiceRegister callback timed out after 5s"));
    // Published after all while the advertiser lives: its next operation withdraws it.
    dns_->ReleaseHeld();
    dns_->Flush();
    adv_->Stop();
    EXPECT_EQ(dns_->Deregistrations(), 1);
    EXPECT_TRUE(Logged("DnsServiceRegister completed after its wait — withdrawing Studio \xE2\x80\x94 Premiere._veltrix._tcp.local"));
    EXPECT_EQ(dns_->LiveInstances(), 0);

    // Published after the advertiser was let go (the transport drops one that
    // failed to start): its teardown waits for the answer and withdraws it.
    t = std::thread([&] { started = adv_->Start(47100, Config()); });
    ASSERT_TRUE(clock_.WaitForBlocked(1));
    clock_.Advance(5s);
    t.join();
    EXPECT_FALSE(started);
    t = std::thread([&] { adv_.reset(); });
    EXPECT_TRUE(clock_.WaitForBlocked(1));
    dns_->ReleaseHeld();
    t.join();
    EXPECT_EQ(dns_->Deregistrations(), 2);
    EXPECT_EQ(dns_->LiveInstances(), 0);
}

TEST_F(AdvertiserTest, ADeregistrationAnsweredLateIsFreed) {
    ASSERT_TRUE(adv_->Start(47100, Config()));
    dns_->holdDeregister = true;
    std::thread t([&] { adv_->Stop(); });
    ASSERT_TRUE(Eventually([&] { return dns_->Deregistrations() == 1; }));
    ASSERT_TRUE(clock_.WaitForBlocked(1));
    clock_.Advance(3s);
    t.join();
    EXPECT_FALSE(adv_->IsAdvertising());
    EXPECT_TRUE(Logged("advertising stopped"));
    // The answer comes with the system's own record; both are freed (TearDown counts).
    dns_->holdDeregister = false;
    dns_->ReleaseHeld();
    dns_->Flush();
}

TEST_F(AdvertiserTest, SystemRenameIsAdoptedAndWatched) {
    dns_->Script({{Step::kRename, u"Studio \u2014 Premiere (2)._veltrix._tcp.local"}});
    ASSERT_TRUE(adv_->Start(47100, Config()));
    EXPECT_EQ(adv_->RegisteredName(), u"Studio \u2014 Premiere (2)._veltrix._tcp.local");
    EXPECT_EQ(adv_->Heal().Name(), u"Studio \u2014 Premiere (2)._veltrix._tcp.local");
    // Answers naming the original name are not ours any more.
    dns_->Answer({kOurs});
    dns_->Answer({kOurs});
    dns_->Flush();
    EXPECT_FALSE(adv_->Heal().Present());
}

TEST_F(AdvertiserTest, UpdateTxt) {
    EXPECT_FALSE(adv_->UpdateTxt(Config()));
    EXPECT_TRUE(Logged("UpdateTxt: not registered — skipping"));
    EXPECT_TRUE(dns_->Registered().empty());

    ASSERT_TRUE(adv_->Start(47100, Config()));
    ASSERT_TRUE(adv_->UpdateTxt(Config(kEmDashName, true)));
    const auto regs = dns_->Registered();
    ASSERT_EQ(regs.size(), 2u);
    EXPECT_EQ(dns_->Deregistrations(), 1);
    EXPECT_EQ(Txt(regs[1], u"transmit"), u"1");
    EXPECT_TRUE(adv_->SelfHealRunning());
    EXPECT_EQ(dns_->BrowsesStarted(), 1);  // the browse keeps running unchanged
}

TEST(SelfHealDecision, MissesAbsenceAndRepublishTiming) {
    testing::ManualClock clock;
    SelfHeal heal(clock);
    heal.OnAnswer({u"other._veltrix._tcp.local"});  // nothing watched yet
    EXPECT_EQ(heal.Misses(), 0);
    heal.Watch(kOurs);
    heal.OnAnswer({});  // an empty answer proves nothing
    heal.OnAnswer({u"other._veltrix._tcp.local"});
    EXPECT_TRUE(heal.Present());
    EXPECT_EQ(heal.Misses(), 1);
    EXPECT_FALSE(heal.TakeRepublishDue());
    heal.OnAnswer({u"other._veltrix._tcp.local"});
    EXPECT_FALSE(heal.Present());
    EXPECT_FALSE(heal.TakeRepublishDue());
    clock.Advance(1499ms);
    EXPECT_FALSE(heal.TakeRepublishDue());
    clock.Advance(1ms);
    EXPECT_TRUE(heal.TakeRepublishDue());
    EXPECT_FALSE(heal.TakeRepublishDue());  // the next attempt is 1.5 s after this one
    clock.Advance(1500ms);
    EXPECT_TRUE(heal.TakeRepublishDue());
    // Back on the wire, whatever the case of the answer.
    heal.OnAnswer({u"other._veltrix._tcp.local", u"STUDIO \u2014 PREMIERE._VELTRIX._TCP.LOCAL"});
    EXPECT_TRUE(heal.Present());
    EXPECT_EQ(heal.Misses(), 0);
    clock.Advance(1h);
    EXPECT_FALSE(heal.TakeRepublishDue());
}

TEST_F(AdvertiserTest, AbsentInstanceIsRepublishedAndRenameAdopted) {
    ASSERT_TRUE(adv_->Start(47100, Config()));
    dns_->Answer({kOurs});
    dns_->Answer({u"other._veltrix._tcp.local"});
    dns_->Flush();
    EXPECT_TRUE(adv_->Heal().Present());
    dns_->Answer({u"other._veltrix._tcp.local"});
    dns_->Flush();
    EXPECT_FALSE(adv_->Heal().Present());
    EXPECT_TRUE(Logged("[bj] self-heal: our instance ABSENT — arming re-publish"));

    // The re-publish fails once, then the system registers us under another name.
    dns_->Script({{Step::kFail}, {Step::kRename, u"Studio \u2014 Premiere #2._veltrix._tcp.local"}});
    AdvanceWorker(1500ms);
    ASSERT_TRUE(Eventually([&] { return dns_->Registered().size() == 2; }));
    ASSERT_TRUE(Eventually([&] { return Logged("[bj] self-heal: re-register failed"); }));
    EXPECT_FALSE(adv_->Heal().Present());
    AdvanceWorker(1500ms);
    ASSERT_TRUE(Eventually([&] { return adv_->Heal().Present(); }));
    EXPECT_EQ(dns_->Registered().size(), 3u);
    EXPECT_EQ(dns_->Deregistrations(), 0);  // register-only: nothing withdrawn
    EXPECT_TRUE(adv_->IsAdvertising());
    EXPECT_EQ(adv_->Heal().Name(), u"Studio \u2014 Premiere #2._veltrix._tcp.local");
    EXPECT_TRUE(Logged("[bj] self-heal: re-publishing (register-only) id=0f1e2d3c-id"));
    EXPECT_TRUE(Logged("[bj] self-heal: WinDNS uniquified our name — adopting it, self-heal stays active"));

    dns_->Answer({u"Studio \u2014 Premiere #2._veltrix._tcp.local"});
    dns_->Flush();
    EXPECT_TRUE(adv_->Heal().Present());
}

TEST(AdvertiserLateCallbacks, AfterDestructionTouchNothing) {
    testing::ScopedTestDirs dirs;
    testing::ManualClock clock;
    auto dns = std::make_shared<FakeDnsSd>();
    auto adv = std::make_unique<DnsSdServiceAdvertiser>(dns, clock);
    ASSERT_TRUE(adv->Start(47100, Config()));
    // An answer in flight while the advertiser goes, and a deregistration that
    // completes only after it gave up waiting, and gave up waiting for the answer too.
    dns->Pause();
    dns->Answer({u"other._veltrix._tcp.local"});
    dns->holdDeregister = true;
    std::atomic<bool> gone{false};
    std::thread t([&] {
        adv.reset();
        gone = true;
    });
    ASSERT_TRUE(Eventually([&] { return dns->Deregistrations() == 1; }));
    EXPECT_TRUE(Eventually([&] {
        clock.Advance(1s);
        return gone.load();
    }));
    t.join();
    dns->ReleaseHeld();
    dns->Resume();
    dns->Flush();
    EXPECT_EQ(dns->BrowsesCancelled(), 1);
    EXPECT_NE(testing::ReadFileText(LogFilePath()).find("1 DNS-SD request(s) still unanswered at teardown — left to the system"),
              std::string::npos);
}

}  // namespace
}  // namespace Veltrix

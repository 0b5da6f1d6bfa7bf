#include "transmit/shared_transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "support/log.h"
#include "tests/testing/test_env.h"
#include "phone_wire.h"

namespace Veltrix {
namespace {

using testing::ControlMessage;
using testing::DialogRecord;
using testing::Eventually;
using testing::MediaPort;
using testing::WirePhone;

// Records what the transport asks of an instance, into a journal shared by all fakes.
struct Journal {
    std::mutex m;
    std::vector<std::string> events;
    void Add(std::string e) {
        std::lock_guard<std::mutex> l(m);
        events.push_back(std::move(e));
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> l(m);
        return std::exchange(events, {});
    }
    std::size_t Size() {
        std::lock_guard<std::mutex> l(m);
        return events.size();
    }
};

class FakeInstance final : public ITransmitClient {
public:
    FakeInstance(std::string name, Journal& j) : name_(std::move(name)), j_(j) {}
    void HandleControl(std::uint8_t opcode, const std::uint8_t* payload, std::size_t length) override {
        std::string e = name_ + ":ctl:" + std::to_string(opcode);
        for (std::size_t i = 0; i < length; ++i) e += "," + std::to_string(payload[i]);
        j_.Add(e);
    }
    void OnNewClient() override { j_.Add(name_ + ":new"); }
    void ForceKeyFrameOnUdpFailures() override { j_.Add(name_ + ":udp"); }
    bool IsActive() const override { return active.load(); }
    std::atomic<bool> active{false};

private:
    std::string name_;
    Journal& j_;
};

class SharedTransportTest : public ::testing::Test {
protected:
    SharedTransport::Options MakeOptions() {
        SharedTransport::Options o;
        o.network = testing::TestNetwork(dialog_);
        o.controlPort = 0;
        o.videoPort = video_.port();
        o.audioPort = audio_.port();
        o.transportOpcode = [this](std::uint8_t op) {
            journal_.Add("bridge:" + std::to_string(op));
            return true;
        };
        return o;
    }
    void SetUp() override { st_ = std::make_unique<SharedTransport>(MakeOptions()); }
    void TearDown() override {
        st_->Shutdown();
        st_.reset();
    }
    std::uint16_t Port() {
        EXPECT_TRUE(Eventually([&] { return st_->Network().ListeningPort() != 0; }));
        return st_->Network().ListeningPort();
    }
    // Pairs a phone and consumes what follows the pairing up to the playback state.
    void PairAndSettle(WirePhone& phone, std::uint8_t expectedPlayback) {
        ASSERT_TRUE(phone.Pair(dialog_));
        auto playback = phone.NextOf(0x1A);
        ASSERT_TRUE(playback);
        EXPECT_EQ(playback->payload, std::vector<std::uint8_t>{expectedPlayback});
        ASSERT_TRUE(Eventually([&] { return st_->PeerKnown(); }));
    }
    std::string LogText() { return testing::ReadFileText(LogFilePath()); }
    // Owned by the fixture so they outlive the transport's threads.
    FakeInstance& Fake(const std::string& name) {
        fakes_.push_back(std::make_unique<FakeInstance>(name, journal_));
        return *fakes_.back();
    }

    testing::ScopedTestDirs dirs_;
    DialogRecord dialog_;
    MediaPort video_, audio_;
    Journal journal_;
    std::vector<std::unique_ptr<FakeInstance>> fakes_;
    std::unique_ptr<SharedTransport> st_;
};

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

FrameGroup Group(StreamKind kind, std::vector<std::uint8_t> datagram) {
    FrameGroup g;
    g.kind = kind;
    g.totalBytes = datagram.size();
    g.datagrams.push_back(std::move(datagram));
    return g;
}

TEST_F(SharedTransportTest, StartsOnceAndCountsInstances) {
    FakeInstance& a = Fake("a");
    FakeInstance& b = Fake("b");
    EXPECT_FALSE(st_->Started());
    st_->Acquire(&a);
    const std::uint16_t port = Port();
    st_->Acquire(&b);
    EXPECT_TRUE(st_->Started());
    EXPECT_EQ(st_->Network().ListeningPort(), port);
    EXPECT_EQ(st_->InstanceCount(), 2u);

    const std::string log = LogText();
    EXPECT_EQ(Count(log, "starting shared transport: host="), 1u);
    EXPECT_NE(log.find("count=1"), std::string::npos);
    EXPECT_NE(log.find("count=2"), std::string::npos);

    EXPECT_FALSE(st_->AnyInstanceActive());
    b.active = true;
    EXPECT_TRUE(st_->AnyInstanceActive());

    st_->Release(&a);
    st_->Release(&b);
    EXPECT_EQ(st_->InstanceCount(), 0u);
    EXPECT_TRUE(st_->Started());  // runs on with no instance
    EXPECT_NE(LogText().find("release: instance="), std::string::npos);
}

TEST_F(SharedTransportTest, NewPhoneReachesEveryInstanceInOrderThenPlaybackState) {
    FakeInstance& a = Fake("a");
    FakeInstance& b = Fake("b");
    st_->Acquire(&a);
    st_->Acquire(&b);
    WirePhone phone(Port());
    PairAndSettle(phone, 0);
    EXPECT_EQ(journal_.Take(), (std::vector<std::string>{"a:new", "b:new"}));

    // The fifth UDP failure in a row fans out the same way.
    st_->Network().onUdpFailures();
    EXPECT_EQ(journal_.Take(), (std::vector<std::string>{"a:udp", "b:udp"}));
}

TEST_F(SharedTransportTest, CommandsGoToInstancesAndTransportOpcodesToTheBridgeOnly) {
    FakeInstance& a = Fake("a");
    FakeInstance& b = Fake("b");
    st_->Acquire(&a);
    st_->Acquire(&b);
    WirePhone phone(Port());
    PairAndSettle(phone, 0);
    journal_.Take();

    ASSERT_TRUE(phone.Send({0x21}));
    ASSERT_TRUE(phone.Send({0x05, 0x01}));
    ASSERT_TRUE(Eventually([&] { return journal_.Size() >= 3; }));
    EXPECT_EQ(journal_.Take(), (std::vector<std::string>{"bridge:33", "a:ctl:5,1", "b:ctl:5,1"}));
}

TEST_F(SharedTransportTest, PlaybackStateFollowsTheCountOfRunningClocks) {
    FakeInstance& a = Fake("a");
    st_->Acquire(&a);
    WirePhone phone(Port());
    PairAndSettle(phone, 0);

    st_->SetClockRunning(false);  // already 0: stays 0, nothing sent
    st_->SetClockRunning(true);
    st_->SetClockRunning(true);
    auto m = phone.NextOf(0x1A);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->payload, std::vector<std::uint8_t>{1});
    st_->SetClockRunning(false);  // one clock still runs
    st_->SetClockRunning(false);
    m = phone.NextOf(0x1A);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->payload, std::vector<std::uint8_t>{0});
    EXPECT_TRUE(phone.QuietOf(0x1A));
    EXPECT_EQ(Count(LogText(), "playback state -> "), 2u);

    // A state changed while nobody listens is announced to the next phone.
    st_->SetClockRunning(true);
    WirePhone second(Port());
    PairAndSettle(second, 1);
}

TEST_F(SharedTransportTest, CachedSettingsReplayIntoAnInstanceCreatedWhilePaired) {
    FakeInstance& a = Fake("a");
    st_->Acquire(&a);
    st_->SetCachedCodec(0);
    st_->SetCachedMaxShortSide(720);
    st_->SetCachedGopMode(3);
    st_->SetCachedGopSize(600);
    st_->SetCachedEncoderMode(1, 150);

    // No phone yet: no replay.
    FakeInstance& early = Fake("early");
    st_->Acquire(&early);
    EXPECT_EQ(journal_.Size(), 0u);

    WirePhone phone(Port());
    PairAndSettle(phone, 0);
    journal_.Take();

    FakeInstance& late = Fake("late");
    st_->Acquire(&late);
    EXPECT_EQ(journal_.Take(), (std::vector<std::string>{"late:ctl:5,0", "late:ctl:7,208,2", "late:ctl:4,3",
                                                         "late:ctl:8,1,100"}));
    EXPECT_NE(LogText().find("acquire: replaying cached client settings into new instance"), std::string::npos);

    // A negative quality replays as 0; a VBR mode is not replayed.
    st_->SetCachedEncoderMode(1, -1);
    FakeInstance& q = Fake("q");
    st_->Acquire(&q);
    auto events = journal_.Take();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "q:ctl:8,1,0");

    st_->SetCachedEncoderMode(2, 50);
    FakeInstance& vbr = Fake("vbr");
    st_->Acquire(&vbr);
    events = journal_.Take();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "vbr:ctl:4,3");

    const ClientSettingsCache c = st_->GetClientSettings();
    EXPECT_TRUE(c.hasSettings);
    EXPECT_EQ(c.gopSize, 600);
    EXPECT_EQ(c.maxShortSide, 720);
}

TEST_F(SharedTransportTest, PacedMediaGoesToThePhonesVideoAndAudioPorts) {
    FakeInstance& a = Fake("a");
    st_->Acquire(&a);
    WirePhone phone(Port());
    PairAndSettle(phone, 0);

    st_->GetPacer().EnqueueVideo(Group(StreamKind::kVideo, {1, 2, 3}));
    st_->GetPacer().EnqueueAudio(Group(StreamKind::kAudio, {4, 5}));
    EXPECT_EQ(video_.Receive(), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(audio_.Receive(), (std::vector<std::uint8_t>{4, 5}));

    EXPECT_EQ(st_->NextVideoFrameNumber(), 0);
    EXPECT_EQ(st_->NextVideoFrameNumber(), 1);
    EXPECT_EQ(st_->ReserveVideoSequence(7), 0u);
    EXPECT_EQ(st_->ReserveVideoSequence(1), 7u);
    EXPECT_EQ(st_->NextAudioFrameNumber(), 0);
    EXPECT_EQ(st_->ReserveAudioSequence(6), 0u);
}

TEST_F(SharedTransportTest, ShutdownOnceThenAcquireStartsAgain) {
    FakeInstance& a = Fake("a");
    st_->Acquire(&a);
    Port();
    st_->Shutdown();
    st_->Shutdown();
    EXPECT_FALSE(st_->Started());
    EXPECT_EQ(Count(LogText(), "SharedTransport::Shutdown"), 1u);
    EXPECT_EQ(st_->InstanceCount(), 1u);

    st_->Acquire(&a);  // the module keeps working after a restart
    EXPECT_TRUE(st_->Started());
    WirePhone phone(Port());
    PairAndSettle(phone, 0);
    st_->Release(&a);
    st_->Release(&a);
}

TEST_F(SharedTransportTest, GopClassesAndEncoderStatus) {
    EXPECT_EQ(GopClassOf(0), 0);
    EXPECT_EQ(GopClassOf(1), 0);
    EXPECT_EQ(GopClassOf(2), 1);
    EXPECT_EQ(GopClassOf(5), 1);
    EXPECT_EQ(GopClassOf(6), 3);
    EXPECT_EQ(GopClassOf(600), 3);

    EXPECT_FALSE(st_->Started());  // constructing starts nothing
    EXPECT_EQ(st_->GetEncoderStatus().valid, 0);
    EncoderStatus s;
    s.description = "x264";
    s.isH264 = 1;
    st_->SetEncoderStatus(s);
    EXPECT_EQ(st_->GetEncoderStatus().valid, 1);
    EXPECT_EQ(st_->GetEncoderStatus().description, "x264");
}

}  // namespace
}  // namespace Veltrix

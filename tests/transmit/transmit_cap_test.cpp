// The phone's resolution cap against the production encoder (libx265/libx264):
// a cap below what the codec can encode must not stop the picture.
#include "encoder/engine_factory.h"
#include "transmit_fixture.h"

namespace Veltrix {
namespace {

TEST_F(TransmitInstanceTest, TinyCapIsRaisedToTheCodecsSmallestFrame) {
    TransmitInstance::Collaborators c = Seams(&clock_);
    c.createDefaultEncoder = [] { return CreateDefaultEncoder(); };
    instances_.push_back(std::make_unique<TransmitInstance>(host_.Basic(), c));
    TransmitInstance& inst = *instances_.back();
    inst.Start();
    WirePhone phone(Port());
    Connect(phone);
    phone.Send({0x07, 1, 0});  // short side of 1 pixel
    phone.Sync();
    ASSERT_EQ(inst.Pipeline()->Codec(), kCodecHevc);

    auto pic = Picture(1920, 1080);
    for (int i = 0; i < 3; ++i) {
        DrainVideo();
        Push(inst, *pic);
        EXPECT_TRUE(ReceiveDatagram(video_).has_value()) << "frame " << i;
    }
    // 16x16 under the cap; HEVC needs 32 a side: 1920x1080 scaled to a short side of 32.
    EXPECT_EQ(inst.Pipeline()->Width(), 56);
    EXPECT_EQ(inst.Pipeline()->Height(), 32);
    std::string log = LogText();
    EXPECT_EQ(Count(log, "target 16x16 is below the smallest HEVC frame (32 px a side) — raised to 56x32"), 1u)
        << log;
    EXPECT_EQ(Count(log, "ProcessInput failed"), 0u);

    // H.264 encodes 16x16: the cap applies as it is.
    phone.Send({0x05, 1});
    phone.Sync();
    for (int i = 0; i < 2; ++i) {
        DrainVideo();
        Push(inst, *pic);
        EXPECT_TRUE(ReceiveDatagram(video_).has_value()) << "H.264 frame " << i;
    }
    EXPECT_EQ(inst.Pipeline()->Width(), 16);
    EXPECT_EQ(inst.Pipeline()->Height(), 16);
}

}  // namespace
}  // namespace Veltrix

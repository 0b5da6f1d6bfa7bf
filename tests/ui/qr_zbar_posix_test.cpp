// Our codes read back by zbar, a decoder written elsewhere.
#include <gtest/gtest.h>
#include <zbar.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <png.h>

#include "tests/testing/test_env.h"
#include "ui/png_writer.h"
#include "ui/qr_code.h"
#include "ui/terminal_setup_view.h"

namespace Veltrix {
using namespace zbar;
namespace {

// Every payload zbar finds in a grey image made from the RGBA pixels.
std::vector<std::string> Decode(const RgbaImage& image) {
    std::vector<std::uint8_t> grey(static_cast<std::size_t>(image.width) * image.height);
    for (std::size_t i = 0; i < grey.size(); ++i) grey[i] = image.pixels[i * 4];
    zbar_image_scanner_t* scanner = zbar_image_scanner_create();
    zbar_image_scanner_set_config(scanner, ZBAR_NONE, ZBAR_CFG_ENABLE, 0);
    zbar_image_scanner_set_config(scanner, ZBAR_QRCODE, ZBAR_CFG_ENABLE, 1);
    zbar_image_scanner_set_config(scanner, ZBAR_QRCODE, ZBAR_CFG_BINARY, 1);  // bytes as they are
    zbar_image_t* zimage = zbar_image_create();
    zbar_image_set_format(zimage, zbar_fourcc('Y', '8', '0', '0'));
    zbar_image_set_size(zimage, static_cast<unsigned>(image.width), static_cast<unsigned>(image.height));
    zbar_image_set_data(zimage, grey.data(), grey.size(), nullptr);
    std::vector<std::string> found;
    if (zbar_scan_image(scanner, zimage) > 0) {
        for (const zbar_symbol_t* s = zbar_image_first_symbol(zimage); s; s = zbar_symbol_next(s)) {
            found.emplace_back(zbar_symbol_get_data(s), zbar_symbol_get_data_length(s));
        }
    }
    zbar_image_destroy(zimage);
    zbar_image_scanner_destroy(scanner);
    return found;
}

// The mask number, read back from the first copy of the format bits.
int MaskOf(const QrCode& code) {
    int bits = 0;
    const auto put = [&](int i, int x, int y) { bits |= (IsQrModuleDark(code, x, y) ? 1 : 0) << i; };
    for (int i = 0; i <= 5; ++i) put(i, 8, i);
    put(6, 8, 7);
    put(7, 8, 8);
    put(8, 7, 8);
    for (int i = 9; i < 15; ++i) put(i, 14 - i, 8);
    bits ^= 0x5412;
    EXPECT_EQ(bits >> 13, 2) << "level H";
    return (bits >> 10) & 7;
}

int CapacityOf(int version) {
    // The largest payload of each version, found from the encoder itself and checked below.
    static std::vector<int> caps = [] {
        std::vector<int> c(41, 0);
        int n = 0;
        for (int v = 1; v <= 40; ++v) {
            while (EncodeQrText(std::string(static_cast<std::size_t>(n + 1), 'a')).version == v) ++n;
            c[v] = n;
        }
        return c;
    }();
    return caps[version];
}

TEST(QrZbar, RandomPayloadsOfEveryVersionAndEveryMaskDecode) {
    std::mt19937 rng(20261208);
    std::set<int> masks;
    for (int version = 1; version <= 40; ++version) {
        const int low = version == 1 ? 1 : CapacityOf(version - 1) + 1;
        const int high = CapacityOf(version);
        ASSERT_LE(low, high) << version;
        for (int round = 0; round < 3; ++round) {
            const int n = round == 0 ? high : std::uniform_int_distribution<int>(low, high)(rng);
            std::string payload(static_cast<std::size_t>(n), '\0');
            for (char& c : payload) c = static_cast<char>(rng() & 0xFF);
            const QrCode code = EncodeQrText(payload);
            ASSERT_EQ(code.version, version) << n;
            masks.insert(MaskOf(code));
            const auto found = Decode(RenderQrToRgba(code, (code.size + 4) * 3));
            ASSERT_EQ(found.size(), 1u) << "version " << version << " length " << n;
            EXPECT_EQ(found[0], payload) << "version " << version;
        }
    }
    EXPECT_EQ(CapacityOf(1), 6);
    EXPECT_EQ(CapacityOf(40), 1272);
    EXPECT_EQ(masks.size(), 8u) << "every mask chosen at least once";
}

TEST(QrZbar, PngOfThePairingAddressReadsBack) {
    testing::ScopedTestDirs dirs;
    const std::string address = "veltrix://pair?v=3&id=0f6c2a4e-1b2d-4c3e-9a8b-7c6d5e4f3a2b&name=Caf%C3%A9%20Studio";
    const QrCode code = EncodeQrText(address);
    const auto path = dirs.root() / "pair.png";
    ASSERT_TRUE(WriteRgbaPng(path, RenderQrToRgba(code, 200)));
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&png, path.c_str()));
    png.format = PNG_FORMAT_RGBA;
    RgbaImage back;
    back.width = static_cast<int>(png.width);
    back.height = static_cast<int>(png.height);
    back.pixels.resize(PNG_IMAGE_SIZE(png));
    ASSERT_TRUE(png_image_finish_read(&png, nullptr, back.pixels.data(), 0, nullptr));
    EXPECT_EQ(back.width, 200);
    const auto found = Decode(back);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], address);
    EXPECT_FALSE(WriteRgbaPng(dirs.root() / "none.png", RgbaImage{}));
    EXPECT_FALSE(WriteRgbaPng(dirs.root() / "missing" / "x.png", RenderQrToRgba(code, 200)));

    // A folder in the way is a failure, and no temporary file stays behind.
    std::filesystem::create_directory(dirs.root() / "taken");
    EXPECT_FALSE(WriteRgbaPng(dirs.root() / "taken", RenderQrToRgba(code, 200)));
    // A link planted at the old fixed temporary name is never written through.
    const auto victim = dirs.root() / "victim";
    { std::ofstream(victim) << "keep"; }
    std::filesystem::create_symlink(victim, dirs.root() / "out.png.tmp");
    ASSERT_TRUE(WriteRgbaPng(dirs.root() / "out.png", RenderQrToRgba(code, 200)));
    std::ifstream in(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");
    std::size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dirs.root())) entries += e.path().extension() == ".tmp";
    EXPECT_EQ(entries, 1u) << "only the planted link";
}

TEST(QrZbar, TheTerminalsBlockCharactersScan) {
    // Each character cell is one module wide and two high: paint it back into pixels.
    const std::string address = "veltrix://pair?v=3&id=abc&name=Edit%20Bay";
    const QrCode code = EncodeQrText(address);
    const auto lines = TerminalQrLines(code);
    const int span = code.size + 4, scale = 4;
    ASSERT_EQ(static_cast<int>(lines.size()), (span + 1) / 2);
    RgbaImage image;
    image.width = image.height = span * scale;
    image.pixels.assign(static_cast<std::size_t>(image.width) * image.height * 4, 255);
    for (int row = 0; row < static_cast<int>(lines.size()); ++row) {
        std::string text = lines[row];
        ASSERT_EQ(text.rfind("\x1b[30;47m", 0), 0u);
        text = text.substr(8, text.size() - 8 - 4);
        int x = 0;
        for (std::size_t i = 0; i < text.size(); ++x) {
            bool top = false, bottom = false;
            if (text.compare(i, 3, "█") == 0) top = bottom = true, i += 3;
            else if (text.compare(i, 3, "▀") == 0) top = true, i += 3;
            else if (text.compare(i, 3, "▄") == 0) bottom = true, i += 3;
            else i += 1;
            for (int half = 0; half < 2; ++half) {
                if (!(half == 0 ? top : bottom) || row * 2 + half >= span) continue;
                for (int py = 0; py < scale; ++py) {
                    for (int px = 0; px < scale; ++px) {
                        const std::size_t at =
                            (static_cast<std::size_t>((row * 2 + half) * scale + py) * image.width + x * scale + px) * 4;
                        image.pixels[at] = image.pixels[at + 1] = image.pixels[at + 2] = 0;
                    }
                }
            }
        }
        ASSERT_EQ(x, span);
    }
    const auto found = Decode(image);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], address);
}

}  // namespace
}  // namespace Veltrix

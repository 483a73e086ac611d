// The screenshot: octree reduction and the PNG writer on fixed pictures,
// checked by an independent decoder, and the capture on a real X server.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <thread>

#include "crashlog/CrashScreenshot.h"
#include "support/Xvfb.h"

// clang-format off
// After the test framework: Xlib defines None and Bool as macros.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
// clang-format on

namespace fs = std::filesystem;
using namespace crashlog;

namespace {

struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/crashlog-shot-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
    fs::path path;
};

std::string RunCommand(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    int rc = ::pclose(pipe);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// (type, length) of every chunk.
std::vector<std::pair<std::string, std::uint32_t>> Chunks(const std::vector<std::uint8_t>& png) {
    std::vector<std::pair<std::string, std::uint32_t>> chunks;
    std::size_t at = 8;
    while (at + 12 <= png.size()) {
        std::uint32_t length = (std::uint32_t{png[at]} << 24) | (std::uint32_t{png[at + 1]} << 16) |
                               (std::uint32_t{png[at + 2]} << 8) | png[at + 3];
        chunks.emplace_back(std::string(png.begin() + static_cast<long>(at) + 4,
                                        png.begin() + static_cast<long>(at) + 8),
                            length);
        at += 12 + length;
    }
    return chunks;
}

TScreenPicture Picture(int width, int height,
                       const std::function<std::uint32_t(int, int)>& colour) {
    TScreenPicture p;
    p.width = width;
    p.height = height;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            p.pixels.push_back(colour(x, y));
    return p;
}

// PIL reads the file and prints mode, size and the RGB of a few pixels.
std::string DecodeWithPil(const fs::path& file, const std::string& points) {
    return RunCommand(
        "/usr/bin/python3 -c \"import sys; from PIL import Image; im=Image.open(sys.argv[1]); "
        "im.load(); "
        "rgb=im.convert('RGB'); print(im.mode, im.size[0], im.size[1], len(im.getpalette())//3, "
        "' '.join('%02x%02x%02x' % rgb.getpixel(tuple(map(int,p.split(',')))) for p in "
        "sys.argv[2:]))\" " +
        file.string() + " " + points);
}

}  // namespace

TEST(Octree, FewColoursAreKeptExactly) {
    TOctreeQuantizer tree;
    std::set<std::uint32_t> colours;
    std::mt19937 random(7);
    while (colours.size() < 256)
        colours.insert(random() & 0xFFFFFF);
    for (int round = 0; round < 3; ++round)
        for (std::uint32_t c : colours)
            tree.AddColor(static_cast<std::uint8_t>(c >> 16), static_cast<std::uint8_t>(c >> 8),
                          static_cast<std::uint8_t>(c));
    EXPECT_EQ(tree.LeafCount(), 256);
    EXPECT_EQ(tree.Reductions(), 0);
    std::set<std::uint32_t> palette;
    for (const TPaletteColor& c : tree.Palette())
        palette.insert((std::uint32_t{c.red} << 16) | (std::uint32_t{c.green} << 8) | c.blue);
    EXPECT_EQ(palette, colours);
}

TEST(Octree, ReductionStartsAtThe257thLeaf) {
    TOctreeQuantizer tree;
    for (int i = 0; i < 256; ++i)
        tree.AddColor(static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i), 0x40);
    EXPECT_EQ(tree.Reductions(), 0);
    tree.AddColor(0x12, 0x34, 0x56);  // the 257th leaf
    int reductions = tree.Reductions();
    EXPECT_GE(reductions, 1);
    EXPECT_LE(tree.LeafCount(), 256);
    tree.AddColor(0x12, 0x34, 0x56);  // a known colour: no new leaf, no reduction
    EXPECT_EQ(tree.Reductions(), reductions);
    // Many more colours: never more than 256 leaves after any pixel.
    std::mt19937 random(3);
    for (int i = 0; i < 20000; ++i) {
        tree.AddColor(static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
                      static_cast<std::uint8_t>(random()));
        ASSERT_LE(tree.LeafCount(), 256);
    }
    EXPECT_LE(tree.Palette().size(), 256u);
}

TEST(Png, SmallPictureDecodesToTheSamePixels) {
    TempDir dir;
    // 101 x 40: the row stride is 104, the PNG stays 101 wide.
    TScreenPicture picture = Picture(101, 40, [](int x, int y) {
        return x < 50 ? 0xFF0000u : (y < 20 ? 0x00FF00u : 0x0000FFu);
    });
    EXPECT_EQ(picture.RowStride(), 104);
    TIndexedPicture indexed = QuantizePicture(picture);
    EXPECT_EQ(indexed.RowStride(), 104);
    EXPECT_EQ(indexed.indexes.size(), 104u * 40u);
    // Red, green, blue and the black of the stride padding.
    EXPECT_EQ(indexed.colors, 4);
    std::vector<std::uint8_t> png = EncodePng(indexed);
    auto chunks = Chunks(png);
    ASSERT_EQ(chunks.size(), 4u);
    EXPECT_EQ(chunks[0], std::make_pair(std::string("IHDR"), 13u));
    EXPECT_EQ(chunks[1], std::make_pair(std::string("PLTE"), 768u));  // 256 entries, always
    EXPECT_EQ(chunks[2].first, "IDAT");
    EXPECT_EQ(chunks[3], std::make_pair(std::string("IEND"), 0u));

    // The image data is 40 rows of 1 + 101 bytes.
    std::vector<std::uint8_t> raw(40 * 102 + 16);
    uLongf rawSize = raw.size();
    ASSERT_EQ(uncompress(raw.data(), &rawSize, png.data() + 8 + 25 + 780 + 8, chunks[2].second),
              Z_OK);
    EXPECT_EQ(rawSize, 40u * 102u);

    fs::path file = dir.path / "small.png";
    WriteBytes(file, png);
    int status = 0;
    std::string check = RunCommand("pngcheck " + file.string(), &status);
    EXPECT_EQ(status, 0) << check;
    EXPECT_EQ(DecodeWithPil(file, "0,0 100,0 100,39 49,39"),
              "P 101 40 256 ff0000 00ff00 0000ff ff0000\n");
}

TEST(Png, LargeImageDataIsSpreadOverFullIdatChunks) {
    TempDir dir;
    std::mt19937 random(11);
    // Noise does not compress: about 600 KB of image data.
    TScreenPicture picture = Picture(768, 768, [&](int, int) { return random() & 0xFFFFFF; });
    TIndexedPicture indexed = QuantizePicture(picture);
    EXPECT_GT(indexed.colors, 200);
    EXPECT_LE(indexed.colors, 256);
    std::vector<std::uint8_t> png = EncodePng(indexed);
    auto chunks = Chunks(png);
    std::vector<std::uint32_t> idat;
    for (auto& [type, length] : chunks)
        if (type == "IDAT") idat.push_back(length);
    ASSERT_GE(idat.size(), 3u);
    for (std::size_t i = 0; i + 1 < idat.size(); ++i)
        EXPECT_EQ(idat[i], kPngIdatChunkSize);
    EXPECT_GT(idat.back(), 0u);
    EXPECT_LT(idat.back(), kPngIdatChunkSize);
    fs::path file = dir.path / "noise.png";
    WriteBytes(file, png);
    int status = 0;
    std::string check = RunCommand("pngcheck " + file.string(), &status);
    EXPECT_EQ(status, 0) << check;
}

TEST(Png, CrcIsThePngCrc) {
    const std::uint8_t data[] = {'I', 'E', 'N', 'D'};
    EXPECT_EQ(PngCrc32(data), 0xAE426082u);
    std::vector<std::uint8_t> bytes(1000);
    std::iota(bytes.begin(), bytes.end(), 0);
    EXPECT_EQ(PngCrc32(bytes),
              static_cast<std::uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size()))));
}

// ---- capture on a real X server ---------------------------------------------

class XCapture : public ::testing::Test {
  protected:
    // One private server for the suite; without one (no Xvfb, or none that
    // came up on a display of its own) the tests are skipped with the reason.
    static void SetUpTestSuite() { server_ = std::make_unique<kvo::support::Xvfb>("640x480x24"); }
    static void TearDownTestSuite() { server_.reset(); }
    void SetUp() override {
        if (server_->DisplayName().empty()) GTEST_SKIP() << server_->Error();
        ::setenv("DISPLAY", server_->DisplayName().c_str(), 1);
        d_ = XOpenDisplay(server_->DisplayName().c_str());
        ASSERT_NE(d_, nullptr);
        root_ = DefaultRootWindow(d_);
    }
    void TearDown() override {
        if (d_) {
            XDeleteProperty(d_, root_, XInternAtom(d_, "_NET_ACTIVE_WINDOW", False));
            XCloseDisplay(d_);
        }
    }

    Window Make(Window parent, int x, int y, int w, int h, unsigned long pixel, long pid) {
        Window win = XCreateSimpleWindow(d_, parent, x, y, static_cast<unsigned>(w),
                                         static_cast<unsigned>(h), 0, 0, pixel);
        if (pid) {
            long value = pid;
            XChangeProperty(d_, win, XInternAtom(d_, "_NET_WM_PID", False), XA_CARDINAL, 32,
                            PropModeReplace, reinterpret_cast<unsigned char*>(&value), 1);
        }
        XMapWindow(d_, win);
        XSync(d_, False);
        return win;
    }
    void SetActive(Window w) {
        XChangeProperty(d_, root_, XInternAtom(d_, "_NET_ACTIVE_WINDOW", False), XA_WINDOW, 32,
                        PropModeReplace, reinterpret_cast<unsigned char*>(&w), 1);
        XSync(d_, False);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    static inline std::unique_ptr<kvo::support::Xvfb> server_;
    Display* d_ = nullptr;
    Window root_ = 0;
};

TEST_F(XCapture, ActiveWindowWithFocusFrame) {
    Window window = Make(root_, 30, 50, 101, 40, 0x336699, ::getpid());
    Window focus = Make(window, 10, 10, 30, 20, 0xEEEEEE, 0);
    SetActive(window);
    // The dialogs stay above this window: it is the process's active one.
    EXPECT_EQ(ActiveWindowOfProcess(), window);
    EXPECT_EQ(ActiveWindowOfProcess(::getpid() + 100000), 0u);
    TScreenshotRequest request;
    request.activeWindow = true;
    request.focusWindow = focus;
    request.drawCursor = false;
    ASSERT_TRUE(CaptureScreen(request));
    const TScreenPicture& picture = CurrentScreenshot();
    ASSERT_EQ(picture.width, 101);
    ASSERT_EQ(picture.height, 40);
    auto at = [&](int x, int y) {
        return picture.pixels[static_cast<std::size_t>(y * picture.width + x)];
    };
    EXPECT_EQ(at(0, 0), 0x336699u);
    EXPECT_EQ(at(10, 10), 0xFF0000u);  // the two-pixel red frame of the focused control
    EXPECT_EQ(at(11, 11), 0xFF0000u);
    EXPECT_EQ(at(12, 12), 0xEEEEEEu);
    EXPECT_EQ(at(39, 29), 0xFF0000u);

    TempDir dir;
    fs::path file = dir.path / "Screenshot.png";
    ASSERT_TRUE(WriteScreenshotPng(file.string()));
    EXPECT_EQ(DecodeWithPil(file, "0,0 10,10 20,15"), "P 101 40 256 336699 ff0000 eeeeee\n");
    ReleaseScreenshot();
    EXPECT_TRUE(CurrentScreenshot().Empty());
    EXPECT_FALSE(WriteScreenshotPng((dir.path / "none.png").string()));
    EXPECT_FALSE(fs::exists(dir.path / "none.png"));
    XDestroyWindow(d_, window);
}

TEST_F(XCapture, ProcessAreaOrWholeScreen) {
    Window window = Make(root_, 100, 100, 50, 50, 0x00AA00, ::getpid());
    TScreenshotRequest request;
    request.drawCursor = false;
    request.focusWindow = root_;
    // Own windows: their area widened to the monitor, here the one screen.
    TScreenPicture own = CaptureScreenPicture(request);
    EXPECT_EQ(own.width, 640);
    EXPECT_EQ(own.height, 480);
    EXPECT_EQ(own.pixels[static_cast<std::size_t>(120 * 640 + 120)], 0x00AA00u);
    // No window of the process: the whole desktop.
    request.processId = 999999;
    TScreenPicture none = CaptureScreenPicture(request);
    EXPECT_EQ(none.width, 640);
    EXPECT_EQ(none.height, 480);
    // Active-window mode with no active window: the desktop too.
    request.activeWindow = true;
    EXPECT_EQ(CaptureScreenPicture(request).width, 640);
    XDestroyWindow(d_, window);
}

TEST(Screenshot, NoDisplayMeansNoPictureAndNoFile) {
    const char* display = std::getenv("DISPLAY");
    std::string saved = display ? display : "";
    ::unsetenv("DISPLAY");
    EXPECT_FALSE(CaptureScreen({}));
    EXPECT_TRUE(CurrentScreenshot().Empty());
    TempDir dir;
    EXPECT_FALSE(WriteScreenshotPng((dir.path / "Screenshot.png").string()));
    EXPECT_FALSE(fs::exists(dir.path / "Screenshot.png"));
    EXPECT_FALSE(WriteScreenshotPng(""));
    if (!saved.empty()) ::setenv("DISPLAY", saved.c_str(), 1);
}

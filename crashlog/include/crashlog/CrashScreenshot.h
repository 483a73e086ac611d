// The screen picture that can go with a bug report: taken from the X
// display before any dialog covers the screen, reduced to 256 colours by an
// octree quantizer and written as an 8-bit palette PNG by the library's own
// encoder (zlib level 9).
//
// Order in one report pass: `CaptureScreen` before the dialogs;
// `WriteScreenshotPng` only when the report is sent with a screenshot;
// `ReleaseScreenshot` in every case.  Without an X display the capture is
// empty and nothing is written, so nothing is attached.
//
// Thread-safety: the screenshot state is process-wide and used by the one
// thread that runs the processing pass.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace crashlog {

// A picture as 0x00RRGGBB pixels, rows from the top.
struct TScreenPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;

    bool Empty() const { return width <= 0 || height <= 0; }
    // The row width of the 8-bit picture: the width rounded up to 4.
    int RowStride() const { return ((width * 8 + 31) & ~31) / 8; }
};

struct TPaletteColor {
    std::uint8_t red = 0, green = 0, blue = 0;
    bool operator==(const TPaletteColor&) const = default;
};

// An 8-bit picture: `RowStride()` indexes per row, rows from the top; the
// colour table always has 256 entries, `colors` of them in use.
struct TIndexedPicture {
    int width = 0;
    int height = 0;
    int colors = 0;
    std::array<TPaletteColor, 256> palette{};
    std::vector<std::uint8_t> indexes;

    int RowStride() const { return ((width * 8 + 31) & ~31) / 8; }
};

// The colour reduction: an octree of at most 256 leaves (plus the one being
// added), reduced deepest level first, most recently made node first.
class TOctreeQuantizer {
  public:
    TOctreeQuantizer();
    ~TOctreeQuantizer();
    TOctreeQuantizer(const TOctreeQuantizer&) = delete;
    TOctreeQuantizer& operator=(const TOctreeQuantizer&) = delete;

    void AddColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue);
    int LeafCount() const;
    // Counts how many reductions ran (for tests of when reduction starts).
    int Reductions() const;
    // The leaves depth-first, children in index order: sums / pixel count.
    std::vector<TPaletteColor> Palette() const;

  private:
    struct Impl;
    Impl* impl_;
};

// Reduces a picture to at most 256 colours.  Every pixel, and the extra
// columns of the row stride (black), goes through the octree, top row first;
// each pixel is then mapped to its nearest palette colour.
TIndexedPicture QuantizePicture(const TScreenPicture& picture);

// The PNG file of an 8-bit picture: signature, IHDR (colour type 3), PLTE of
// 256 entries, IDAT chunks of 262,143 bytes and a last shorter one, IEND.
std::vector<std::uint8_t> EncodePng(const TIndexedPicture& picture);
// The CRC-32 of PNG chunks.
std::uint32_t PngCrc32(std::span<const std::uint8_t> data, std::uint32_t crc = 0);
inline constexpr std::size_t kPngIdatChunkSize = 0x3FFFF;

struct TScreenshotRequest {
    // Only the active window (`_NET_ACTIVE_WINDOW`) instead of the screen
    // area of this process's windows.
    bool activeWindow = false;
    // The X window that had the focus when the exception was taken (0: ask
    // the server at capture time).  Marked by a red frame two pixels wide.
    unsigned long focusWindow = 0;
    // This process's id: the windows whose `_NET_WM_PID` it is make the area.
    int processId = 0;  // 0: the current process
    bool drawCursor = true;
    bool markFocus = true;
};

// Takes the picture into the process-wide state; false without a display
// (the state is then empty).
bool CaptureScreen(const TScreenshotRequest& request);
// The captured picture (empty when none).
const TScreenPicture& CurrentScreenshot();
// Reduces and writes the picture as PNG; false for an empty name, an empty
// capture or a file that cannot be written (nothing is left behind then).
bool WriteScreenshotPng(const std::string& fileName);
// Drops the picture.
void ReleaseScreenshot();

// The active X window when it belongs to the process (0: the current one);
// 0 without a display or when another program's window is active.
std::uint64_t ActiveWindowOfProcess(int processId = 0);

// The capture itself, without touching the process-wide state.
TScreenPicture CaptureScreenPicture(const TScreenshotRequest& request);

}  // namespace crashlog

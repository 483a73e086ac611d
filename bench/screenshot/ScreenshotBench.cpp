// A 1920x1080 screen reduced to 256 colours and written as PNG: the
// library's octree quantizer and encoder against pngquant making a 256-colour
// PNG of the same picture.  Counters: file size in bytes and PSNR (dB)
// against the original, so that time, size and quality are compared side by
// side.
//
// The picture is a desktop as a crash leaves it: a gradient background,
// windows with title bars, panels, lines of anti-aliased "text", and a
// photograph-like area that has far more than 256 colours.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "crashlog/CrashScreenshot.h"

namespace {

namespace fs = std::filesystem;
using namespace crashlog;

constexpr int kWidth = 1920, kHeight = 1080;

TScreenPicture MakeDesktop() {
    TScreenPicture p;
    p.width = kWidth;
    p.height = kHeight;
    p.pixels.resize(static_cast<std::size_t>(kWidth) * kHeight);
    auto set = [&](int x, int y, std::uint32_t c) {
        if (x >= 0 && y >= 0 && x < kWidth && y < kHeight)
            p.pixels[static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)] = c;
    };
    auto rgb = [](int r, int g, int b) {
        return (static_cast<std::uint32_t>(std::clamp(r, 0, 255)) << 16) |
               (static_cast<std::uint32_t>(std::clamp(g, 0, 255)) << 8) |
               static_cast<std::uint32_t>(std::clamp(b, 0, 255));
    };
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            set(x, y, rgb(20 + y * 40 / kHeight, 60 + y * 60 / kHeight, 120 + x * 80 / kWidth));
    std::mt19937 random(42);
    struct Window {
        int x, y, w, h;
    };
    for (Window win :
         {Window{80, 60, 1100, 760}, Window{700, 300, 900, 620}, Window{1300, 120, 520, 380}}) {
        for (int y = win.y; y < win.y + win.h; ++y)
            for (int x = win.x; x < win.x + win.w; ++x) {
                int t = y - win.y;
                if (t < 28)
                    set(x, y, rgb(40 + t * 3, 90 + t * 3, 170 + t * 2));  // title bar gradient
                else if (x < win.x + 180)
                    set(x, y, rgb(236, 236, 236));  // side panel
                else
                    set(x, y, rgb(255, 255, 255));
            }
        // Lines of text: short dark runs with grey edges.
        for (int line = win.y + 40; line + 12 < win.y + win.h; line += 18) {
            int x = win.x + 190;
            while (x < win.x + win.w - 40) {
                int word = 8 + static_cast<int>(random() % 50);
                for (int dx = 0; dx < word; ++dx)
                    for (int dy = 0; dy < 10; ++dy) {
                        int on = static_cast<int>(random() % 5);
                        int shade = on == 0 ? 30 : on == 1 ? 120 : on == 2 ? 200 : 255;
                        set(x + dx, line + dy, rgb(shade, shade, shade + (shade < 255 ? 10 : 0)));
                    }
                x += word + 6;
            }
        }
    }
    // A photograph-like area.
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 420; ++x) {
            double v = std::sin(x * 0.03) * std::cos(y * 0.05);
            int noise = static_cast<int>(random() % 24);
            set(760 + x, 360 + y,
                rgb(static_cast<int>(128 + 90 * v) + noise,
                    static_cast<int>(110 + 70 * std::sin(y * 0.02)) + noise,
                    static_cast<int>(90 + 60 * v * v) + noise));
        }
    return p;
}

const TScreenPicture& Desktop() {
    static const TScreenPicture picture = MakeDesktop();
    return picture;
}

double Psnr(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        for (int shift : {0, 8, 16}) {
            double d = static_cast<double>((a[i] >> shift) & 0xFF) -
                       static_cast<double>((b[i] >> shift) & 0xFF);
            sum += d * d;
        }
    double mse = sum / (3.0 * static_cast<double>(a.size()));
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// A truecolour PNG of the original, as pngquant's input.
void WriteTruecolorPng(const fs::path& file, const TScreenPicture& p) {
    std::vector<std::uint8_t> raw;
    raw.reserve(static_cast<std::size_t>(p.height) * (1 + 3 * static_cast<std::size_t>(p.width)));
    for (int y = 0; y < p.height; ++y) {
        raw.push_back(0);
        for (int x = 0; x < p.width; ++x) {
            std::uint32_t c =
                p.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(p.width) +
                         static_cast<std::size_t>(x)];
            raw.insert(raw.end(),
                       {static_cast<std::uint8_t>(c >> 16), static_cast<std::uint8_t>(c >> 8),
                        static_cast<std::uint8_t>(c)});
        }
    }
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> z(size);
    compress2(z.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 6);
    z.resize(size);
    std::vector<std::uint8_t> out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    auto put32 = [&](std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8)
            out.push_back(static_cast<std::uint8_t>(v >> s));
    };
    auto chunk = [&](const char* type, const std::vector<std::uint8_t>& data) {
        put32(static_cast<std::uint32_t>(data.size()));
        std::size_t start = out.size();
        out.insert(out.end(), type, type + 4);
        out.insert(out.end(), data.begin(), data.end());
        put32(PngCrc32(std::span<const std::uint8_t>(out.data() + start, data.size() + 4)));
    };
    std::vector<std::uint8_t> header;
    for (std::uint32_t v :
         {static_cast<std::uint32_t>(p.width), static_cast<std::uint32_t>(p.height)})
        for (int s = 24; s >= 0; s -= 8)
            header.push_back(static_cast<std::uint8_t>(v >> s));
    header.insert(header.end(), {8, 2, 0, 0, 0});
    chunk("IHDR", header);
    chunk("IDAT", z);
    chunk("IEND", {});
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
}

fs::path WorkFolder() {
    static const fs::path folder = [] {
        char tmpl[] = "/tmp/bench-screenshot-XXXXXX";
        return fs::path(::mkdtemp(tmpl));
    }();
    return folder;
}

void BM_OwnQuantizeAndEncode(benchmark::State& state) {
    const TScreenPicture& picture = Desktop();
    std::vector<std::uint8_t> png;
    TIndexedPicture indexed;
    for (auto _ : state) {
        indexed = QuantizePicture(picture);
        png = EncodePng(indexed);
        benchmark::DoNotOptimize(png.data());
    }
    std::vector<std::uint32_t> mapped(picture.pixels.size());
    const std::size_t stride = static_cast<std::size_t>(indexed.RowStride());
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            const TPaletteColor& c =
                indexed.palette[indexed.indexes[static_cast<std::size_t>(y) * stride +
                                                static_cast<std::size_t>(x)]];
            mapped[static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width) +
                   static_cast<std::size_t>(x)] =
                (std::uint32_t{c.red} << 16) | (std::uint32_t{c.green} << 8) | c.blue;
        }
    state.counters["bytes"] = static_cast<double>(png.size());
    state.counters["psnr_db"] = Psnr(picture.pixels, mapped);
}

void BM_Pngquant(benchmark::State& state) {
    const fs::path in = WorkFolder() / "desktop.png", out = WorkFolder() / "desktop-256.png";
    WriteTruecolorPng(in, Desktop());
    // The default speed and 256 colours: a 256-colour PNG of the same picture.
    const std::string command = "pngquant --force --output " + out.string() + " 256 " + in.string();
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("pngquant failed");
            return;
        }
    }
    state.counters["bytes"] = static_cast<double>(fs::file_size(out));
    // PSNR of pngquant's file, decoded by PIL against the original.
    const std::string psnr =
        "/usr/bin/python3 -c \"import sys,math; from PIL import Image; "
        "a=Image.open(sys.argv[1]).convert('RGB').tobytes(); "
        "b=Image.open(sys.argv[2]).convert('RGB').tobytes(); s=sum((x-y)*(x-y) for x,y in "
        "zip(a,b)); "
        "m=s/len(a); print(99.0 if m==0 else 10*math.log10(255*255/m))\" " +
        in.string() + " " + out.string();
    if (FILE* pipe = ::popen(psnr.c_str(), "r")) {
        double value = 0;
        if (std::fscanf(pipe, "%lf", &value) == 1) state.counters["psnr_db"] = value;
        ::pclose(pipe);
    }
}

BENCHMARK(BM_OwnQuantizeAndEncode)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Pngquant)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();

// Draws the launcher's artwork: the splash picture (582 x 166, 8-bit palette BMP) and the
// application icon (16, 32 and 48 pixels, 32-bit with alpha).
//
//     make_artwork OUTPUT_DIR      writes OUTPUT_DIR/splash.bmp and OUTPUT_DIR/quillon.ico
//
// The output depends on nothing but this file, so the committed copies can be checked by
// drawing them again.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 582;
constexpr int kHeight = 166;
// The launcher writes its lines at top 150: that band stays light for black and red text.
constexpr int kTextBandTop = 144;

struct Rgb {
    uint8_t r, g, b;
};

// ---- palette: a 96-step sky ramp, then named colours.
constexpr int kRampFirst = 0;
constexpr int kRampSteps = 96;
enum Named : uint8_t {
    kWhite = 100,
    kBlack,
    kCream,
    kCreamEdge,
    kGold,
    kGoldDark,
    kChipBody,
    kChipEdge,
    kPin,
    kShadow,
    kInk,
    kMist,
};

std::array<Rgb, 256> MakePalette() {
    std::array<Rgb, 256> p{};
    const Rgb top{12, 28, 64};
    const Rgb bottom{32, 122, 140};
    for (int i = 0; i < kRampSteps; ++i) {
        const double t = static_cast<double>(i) / (kRampSteps - 1);
        auto mix = [t](uint8_t a, uint8_t b) {
            return static_cast<uint8_t>(std::lround(a + (b - a) * t));
        };
        p[kRampFirst + i] = {mix(top.r, bottom.r), mix(top.g, bottom.g), mix(top.b, bottom.b)};
    }
    p[kWhite] = {255, 255, 255};
    p[kBlack] = {0, 0, 0};
    p[kCream] = {246, 241, 226};
    p[kCreamEdge] = {214, 200, 160};
    p[kGold] = {236, 190, 84};
    p[kGoldDark] = {176, 128, 40};
    p[kChipBody] = {38, 40, 46};
    p[kChipEdge] = {90, 94, 104};
    p[kPin] = {196, 200, 208};
    p[kShadow] = {8, 18, 40};
    p[kInk] = {20, 46, 84};
    p[kMist] = {150, 206, 214};
    return p;
}

class Canvas {
  public:
    Canvas(int w, int h) : w_(w), h_(h), px_(static_cast<size_t>(w * h), 0) {}
    void Set(int x, int y, uint8_t c) {
        if (x >= 0 && y >= 0 && x < w_ && y < h_) px_[static_cast<size_t>(y * w_ + x)] = c;
    }
    uint8_t At(int x, int y) const { return px_[static_cast<size_t>(y * w_ + x)]; }
    void Fill(int x0, int y0, int x1, int y1, uint8_t c) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) Set(x, y, c);
    }
    void Disc(double cx, double cy, double r, uint8_t c) {
        for (int y = static_cast<int>(cy - r) - 1; y <= static_cast<int>(cy + r) + 1; ++y)
            for (int x = static_cast<int>(cx - r) - 1; x <= static_cast<int>(cx + r) + 1; ++x)
                if ((x + 0.5 - cx) * (x + 0.5 - cx) + (y + 0.5 - cy) * (y + 0.5 - cy) <= r * r)
                    Set(x, y, c);
    }
    void Line(double x0, double y0, double x1, double y1, double width, uint8_t c) {
        const double len = std::hypot(x1 - x0, y1 - y0);
        const int steps = std::max(1, static_cast<int>(len * 2));
        for (int i = 0; i <= steps; ++i) {
            const double t = static_cast<double>(i) / steps;
            Disc(x0 + (x1 - x0) * t, y0 + (y1 - y0) * t, width / 2, c);
        }
    }
    int Width() const { return w_; }
    int Height() const { return h_; }

  private:
    int w_, h_;
    std::vector<uint8_t> px_;
};

// ---- a 5 x 7 block font for the few letters the picture uses.
struct Glyph {
    char c;
    std::array<const char*, 7> rows;
};
const Glyph kGlyphs[] = {
    {'Q', {".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"}},
    {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'I', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "#####"}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'N', {"#...#", "##..#", "#.#.#", "#.#.#", "#..##", "#...#", "#...#"}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'B', {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
    {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
    {'G', {".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".###."}},
    {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
    {'.', {".....", ".....", ".....", ".....", ".....", ".##..", ".##.."}},
    {' ', {".....", ".....", ".....", ".....", ".....", ".....", "....."}},
};

const Glyph* FindGlyph(char c) {
    for (const Glyph& g : kGlyphs)
        if (g.c == c) return &g;
    return nullptr;
}

// Text with blocks of `scale` pixels; returns the width drawn.
int DrawText(Canvas& canvas, int x, int y, const std::string& text, int scale, uint8_t colour,
             int shadow = -1) {
    int pen = x;
    for (char c : text) {
        if (const Glyph* g = FindGlyph(c)) {
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (g->rows[static_cast<size_t>(row)][col] == '#') {
                        if (shadow >= 0)
                            canvas.Fill(pen + col * scale + scale / 2, y + row * scale + scale / 2,
                                        pen + (col + 1) * scale + scale / 2,
                                        y + (row + 1) * scale + scale / 2,
                                        static_cast<uint8_t>(shadow));
                    }
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (g->rows[static_cast<size_t>(row)][col] == '#')
                        canvas.Fill(pen + col * scale, y + row * scale, pen + (col + 1) * scale,
                                    y + (row + 1) * scale, colour);
        }
        pen += 6 * scale;
    }
    return pen - x - scale;
}

// A quill: a curved shaft with vanes that swell and taper, its nib at the lower left.
void DrawQuill(Canvas& canvas, double nibX, double nibY, double size, uint8_t vane,
               uint8_t vaneEdge, uint8_t shaft) {
    auto point = [&](double t, double& x, double& y) {
        // Quadratic curve from the nib up and to the right.
        const double x0 = nibX, y0 = nibY;
        const double x1 = nibX + size * 0.15, y1 = nibY - size * 0.75;
        const double x2 = nibX + size * 0.75, y2 = nibY - size * 1.0;
        x = (1 - t) * (1 - t) * x0 + 2 * (1 - t) * t * x1 + t * t * x2;
        y = (1 - t) * (1 - t) * y0 + 2 * (1 - t) * t * y1 + t * t * y2;
    };
    const int steps = static_cast<int>(size * 3);
    for (int i = 0; i <= steps; ++i) {
        const double t = static_cast<double>(i) / steps;
        if (t < 0.18) continue;  // bare shaft near the nib
        double x, y, xn, yn;
        point(t, x, y);
        point(std::min(1.0, t + 0.01), xn, yn);
        const double dx = xn - x, dy = yn - y, len = std::hypot(dx, dy);
        if (len == 0) continue;
        const double nx = -dy / len, ny = dx / len;
        const double u = (t - 0.18) / 0.82;
        const double reach = size * 0.22 * std::sin(u * 3.14159265) * (1.0 - 0.35 * u);
        // Barbs sweep back toward the nib.
        const double back = size * 0.06;
        const uint8_t c = (i % 7 == 0) ? vaneEdge : vane;
        canvas.Line(x, y, x + nx * reach - dx / len * back, y + ny * reach - dy / len * back, 1.6,
                    c);
        canvas.Line(x, y, x - nx * reach * 0.8 - dx / len * back,
                    y - ny * reach * 0.8 - dy / len * back, 1.6, c);
    }
    double px, py;
    point(0.0, px, py);
    for (int i = 1; i <= steps; ++i) {
        double x, y;
        point(static_cast<double>(i) / steps, x, y);
        canvas.Line(px, py, x, y, 2.0, shaft);
        px = x;
        py = y;
    }
}

// An EPROM in its ceramic package with a window, pins on both long sides.
void DrawChip(Canvas& canvas, int x, int y, int w, int h) {
    const int pins = 14;
    const double pitch = static_cast<double>(w - 16) / (pins - 1);
    for (int i = 0; i < pins; ++i) {
        const int px = x + 8 + static_cast<int>(std::lround(i * pitch)) - 2;
        canvas.Fill(px, y - 7, px + 5, y, kPin);
        canvas.Fill(px, y + h, px + 5, y + h + 7, kPin);
    }
    canvas.Fill(x + 3, y + 3, x + w + 3, y + h + 3, kShadow);
    canvas.Fill(x, y, x + w, y + h, kChipEdge);
    canvas.Fill(x + 2, y + 2, x + w - 2, y + h - 2, kChipBody);
    canvas.Disc(x + 2, y + h / 2.0, 6, kChipEdge);  // orientation notch
    canvas.Disc(x + 2, y + h / 2.0, 4, kShadow);
    // The erase window, catching light.
    const double cx = x + w / 2.0, cy = y + h / 2.0;
    canvas.Disc(cx, cy, h * 0.3, kChipEdge);
    canvas.Disc(cx, cy, h * 0.3 - 2, kMist);
    canvas.Disc(cx - h * 0.08, cy - h * 0.08, h * 0.09, kWhite);
}

Canvas DrawSplash() {
    Canvas c(kWidth, kHeight);
    for (int y = 0; y < kTextBandTop; ++y) {
        const int step = y * (kRampSteps - 1) / (kTextBandTop - 1);
        c.Fill(0, y, kWidth, y + 1, static_cast<uint8_t>(kRampFirst + step));
    }
    // Faint circuit traces over the sky.
    for (int i = 0; i < 9; ++i) {
        const int ty = 18 + i * 14;
        const int tx = 300 + (i * 37) % 90;
        const uint8_t tc =
            static_cast<uint8_t>(kRampFirst + std::min(kRampSteps - 1, ty * 2 / 3 + 14));
        c.Line(tx, ty, tx + 40, ty, 1, tc);
        c.Line(tx + 40, ty, tx + 52, ty + 10, 1, tc);
        c.Line(tx + 52, ty + 10, 420, ty + 10, 1, tc);
        c.Disc(tx, ty, 2.2, tc);
    }
    c.Fill(0, kTextBandTop, kWidth, kHeight, kCream);
    c.Fill(0, kTextBandTop, kWidth, kTextBandTop + 2, kCreamEdge);

    DrawQuill(c, 42, 136, 118, kWhite, kMist, kGold);
    c.Disc(42, 137, 2.5, kGoldDark);

    const int wordmarkWidth = DrawText(c, 132, 30, "QUILLON", 7, kWhite, kShadow);
    DrawText(c, 134, 98, "EMULATE . BURN . LOG", 2, kGold);
    DrawChip(c, 150 + wordmarkWidth, 46, 108, 52);
    return c;
}

void PutU16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
    PutU16(out, v & 0xFFFF);
    PutU16(out, v >> 16);
}

void PutInfoHeader(std::vector<uint8_t>& out, int w, int h, int bits, uint32_t imageSize,
                   uint32_t coloursUsed) {
    PutU32(out, 40);
    PutU32(out, static_cast<uint32_t>(w));
    PutU32(out, static_cast<uint32_t>(h));
    PutU16(out, 1);
    PutU16(out, static_cast<uint32_t>(bits));
    PutU32(out, 0);  // BI_RGB
    PutU32(out, imageSize);
    PutU32(out, 2835);  // 72 dpi
    PutU32(out, 2835);
    PutU32(out, coloursUsed);
    PutU32(out, 0);
}

std::vector<uint8_t> EncodeBmp(const Canvas& canvas, const std::array<Rgb, 256>& palette) {
    const int stride = (canvas.Width() + 3) & ~3;
    const uint32_t imageSize = static_cast<uint32_t>(stride * canvas.Height());
    const uint32_t offset = 14 + 40 + 256 * 4;
    std::vector<uint8_t> out;
    out.push_back('B');
    out.push_back('M');
    PutU32(out, offset + imageSize);
    PutU32(out, 0);
    PutU32(out, offset);
    PutInfoHeader(out, canvas.Width(), canvas.Height(), 8, imageSize, 256);
    for (const Rgb& c : palette) {
        out.push_back(c.b);
        out.push_back(c.g);
        out.push_back(c.r);
        out.push_back(0);
    }
    for (int y = canvas.Height() - 1; y >= 0; --y) {
        for (int x = 0; x < canvas.Width(); ++x) out.push_back(canvas.At(x, y));
        for (int x = canvas.Width(); x < stride; ++x) out.push_back(0);
    }
    return out;
}

// ---- the icon: a rounded tile in the sky colours with a white quill, drawn per size with
// 4 x 4 samples a pixel for smooth edges.
struct Rgba {
    double r, g, b, a;
};

Rgba IconSample(double u, double v) {  // u, v in 0..1, v downwards
    const double inset = 0.04, radius = 0.2;
    const double qx = std::max(std::abs(u - 0.5) - (0.5 - inset - radius), 0.0);
    const double qy = std::max(std::abs(v - 0.5) - (0.5 - inset - radius), 0.0);
    if (std::hypot(qx, qy) > radius) return {0, 0, 0, 0};
    Rgba tile{12 + (32 - 12) * v, 28 + (122 - 28) * v, 64 + (140 - 64) * v, 1};
    // Quill: a leaf shape along the diagonal from the lower left to the upper right.
    const double sx = (u - 0.22) / 0.62, sy = (0.80 - v) / 0.62;  // along-axis coordinates
    const double along = (sx + sy) / std::sqrt(2.0);
    const double across = (sy - sx) / std::sqrt(2.0);
    const double length = std::sqrt(2.0);
    if (along > 0.2 * length && along < length) {
        const double t = (along - 0.2 * length) / (0.8 * length);
        const double half = 0.17 * std::sin(t * 3.14159265) * (1 - 0.3 * t);
        if (std::abs(across) < half) return {255, 255, 255, 1};
    }
    // The shaft and nib.
    if (along > 0 && along < length && std::abs(across) < 0.025) return {236, 190, 84, 1};
    return tile;
}

std::vector<uint8_t> EncodeIconImage(int size) {
    std::vector<uint8_t> out;
    const uint32_t maskStride = static_cast<uint32_t>(((size + 31) / 32) * 4);
    PutInfoHeader(out, size, size * 2, 32,
                  static_cast<uint32_t>(size * size * 4) + maskStride * static_cast<uint32_t>(size),
                  0);
    std::vector<double> alpha(static_cast<size_t>(size * size));
    for (int y = size - 1; y >= 0; --y) {
        for (int x = 0; x < size; ++x) {
            Rgba sum{0, 0, 0, 0};
            constexpr int kSamples = 4;
            for (int sy = 0; sy < kSamples; ++sy)
                for (int sx = 0; sx < kSamples; ++sx) {
                    const Rgba s = IconSample((x + (sx + 0.5) / kSamples) / size,
                                              (y + (sy + 0.5) / kSamples) / size);
                    sum.r += s.r * s.a;
                    sum.g += s.g * s.a;
                    sum.b += s.b * s.a;
                    sum.a += s.a;
                }
            const double a = sum.a / (kSamples * kSamples);
            auto channel = [&](double v) {
                return static_cast<uint8_t>(sum.a > 0 ? std::lround(v / sum.a) : 0);
            };
            out.push_back(channel(sum.b));
            out.push_back(channel(sum.g));
            out.push_back(channel(sum.r));
            out.push_back(static_cast<uint8_t>(std::lround(a * 255)));
            alpha[static_cast<size_t>(y * size + x)] = a;
        }
    }
    // AND mask: set where the icon is fully transparent (for old displays).
    for (int y = size - 1; y >= 0; --y) {
        std::vector<uint8_t> row(maskStride, 0);
        for (int x = 0; x < size; ++x)
            if (alpha[static_cast<size_t>(y * size + x)] == 0)
                row[static_cast<size_t>(x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

std::vector<uint8_t> EncodeIcon() {
    const int sizes[] = {16, 32, 48};
    std::vector<std::vector<uint8_t>> images;
    for (int s : sizes) images.push_back(EncodeIconImage(s));
    std::vector<uint8_t> out;
    PutU16(out, 0);
    PutU16(out, 1);  // icon
    PutU16(out, static_cast<uint32_t>(images.size()));
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        out.push_back(static_cast<uint8_t>(sizes[i]));
        out.push_back(static_cast<uint8_t>(sizes[i]));
        out.push_back(0);  // no palette
        out.push_back(0);
        PutU16(out, 1);   // planes
        PutU16(out, 32);  // bits
        PutU32(out, static_cast<uint32_t>(images[i].size()));
        PutU32(out, offset);
        offset += static_cast<uint32_t>(images[i].size());
    }
    for (const auto& image : images) out.insert(out.end(), image.begin(), image.end());
    return out;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_artwork OUTPUT_DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const bool ok = WriteFile(dir + "/splash.bmp", EncodeBmp(DrawSplash(), MakePalette())) &&
                    WriteFile(dir + "/quillon.ico", EncodeIcon());
    if (!ok) {
        std::fprintf(stderr, "make_artwork: cannot write to %s\n", dir.c_str());
        return 1;
    }
    return 0;
}

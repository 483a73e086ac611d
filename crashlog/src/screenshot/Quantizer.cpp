// Octree colour reduction and the mapping of each pixel to the palette.
#include <limits>

#include "crashlog/CrashScreenshot.h"

namespace crashlog {

namespace {

constexpr int kMaxColors = 256;
constexpr int kLeafLevel = 8;

struct Node {
    bool leaf = false;
    std::uint32_t count = 0;
    std::uint32_t red = 0, green = 0, blue = 0;
    int next = -1;  // next node of the same level in its reducible list
    int children[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
};

}  // namespace

// Nodes live in one vector with a free list, so that a reduction's freed
// children are reused by the next pixels and memory stays bounded.
struct TOctreeQuantizer::Impl {
    std::vector<Node> nodes;
    std::vector<int> freeNodes;
    int reducible[kLeafLevel] = {-1, -1, -1, -1, -1, -1, -1, -1};
    int leaves = 0;
    int reductions = 0;
    int root = -1;

    int Make(int level) {
        int id;
        if (!freeNodes.empty()) {
            id = freeNodes.back();
            freeNodes.pop_back();
            nodes[static_cast<std::size_t>(id)] = Node{};
        } else {
            id = static_cast<int>(nodes.size());
            nodes.emplace_back();
        }
        Node& node = nodes[static_cast<std::size_t>(id)];
        if (level == kLeafLevel) {
            node.leaf = true;
            ++leaves;
        } else {
            node.next = reducible[level];
            reducible[level] = id;
        }
        return id;
    }

    void Free(int id) {
        Node& node = nodes[static_cast<std::size_t>(id)];
        for (int& child : node.children) {
            if (child >= 0) Free(child);
            child = -1;
        }
        freeNodes.push_back(id);
    }

    void Reduce() {
        int level = kLeafLevel - 1;
        while (level > 0 && reducible[level] < 0)
            --level;
        int id = reducible[level];
        if (id < 0) return;
        Node& node = nodes[static_cast<std::size_t>(id)];
        reducible[level] = node.next;
        int children = 0;
        for (int& child : node.children) {
            if (child < 0) continue;
            const Node& c = nodes[static_cast<std::size_t>(child)];
            node.count += c.count;
            node.red += c.red;
            node.green += c.green;
            node.blue += c.blue;
            Free(child);
            child = -1;
            ++children;
        }
        node.leaf = true;
        leaves += 1 - children;
        ++reductions;
    }

    void Add(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        if (root < 0) root = Make(0);
        int id = root;
        for (int level = 0; !nodes[static_cast<std::size_t>(id)].leaf; ++level) {
            int shift = 7 - level;
            int index = (((r >> shift) & 1) << 2) | (((g >> shift) & 1) << 1) | ((b >> shift) & 1);
            int child = nodes[static_cast<std::size_t>(id)].children[index];
            if (child < 0) {
                child = Make(level + 1);
                nodes[static_cast<std::size_t>(id)].children[index] = child;
            }
            id = child;
        }
        Node& leaf = nodes[static_cast<std::size_t>(id)];
        ++leaf.count;
        leaf.red += r;
        leaf.green += g;
        leaf.blue += b;
        while (leaves > kMaxColors)
            Reduce();
    }

    void Collect(int id, std::vector<TPaletteColor>& out) const {
        const Node& node = nodes[static_cast<std::size_t>(id)];
        if (node.leaf) {
            if (out.size() < kMaxColors && node.count > 0)
                out.push_back({static_cast<std::uint8_t>(node.red / node.count),
                               static_cast<std::uint8_t>(node.green / node.count),
                               static_cast<std::uint8_t>(node.blue / node.count)});
            return;
        }
        for (int child : node.children)
            if (child >= 0) Collect(child, out);
    }
};

TOctreeQuantizer::TOctreeQuantizer() : impl_(new Impl) {}
TOctreeQuantizer::~TOctreeQuantizer() {
    delete impl_;
}

void TOctreeQuantizer::AddColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    impl_->Add(red, green, blue);
}

int TOctreeQuantizer::LeafCount() const {
    return impl_->leaves;
}
int TOctreeQuantizer::Reductions() const {
    return impl_->reductions;
}

std::vector<TPaletteColor> TOctreeQuantizer::Palette() const {
    std::vector<TPaletteColor> out;
    if (impl_->root >= 0) impl_->Collect(impl_->root, out);
    return out;
}

TIndexedPicture QuantizePicture(const TScreenPicture& picture) {
    TIndexedPicture out;
    out.width = picture.width;
    out.height = picture.height;
    if (picture.Empty()) return out;
    const int stride = out.RowStride();
    const std::size_t width = static_cast<std::size_t>(picture.width);

    TOctreeQuantizer tree;
    for (int y = 0; y < picture.height; ++y) {
        const std::uint32_t* row = picture.pixels.data() + static_cast<std::size_t>(y) * width;
        for (std::size_t x = 0; x < width; ++x)
            tree.AddColor(static_cast<std::uint8_t>(row[x] >> 16),
                          static_cast<std::uint8_t>(row[x] >> 8),
                          static_cast<std::uint8_t>(row[x]));
        // The bitmap behind the picture is a whole row stride wide and the
        // columns past the picture are black.
        for (int x = picture.width; x < stride; ++x)
            tree.AddColor(0, 0, 0);
    }
    std::vector<TPaletteColor> palette = tree.Palette();
    out.colors = static_cast<int>(palette.size());
    for (std::size_t i = 0; i < palette.size(); ++i)
        out.palette[i] = palette[i];

    // Nearest colour by squared distance.  A screen holds few distinct
    // colours, so a small direct-mapped cache of exact answers saves almost
    // every search.
    constexpr std::size_t kCacheSize = 1 << 16;
    std::vector<std::uint32_t> cacheKey(kCacheSize, 0xFFFFFFFF);
    std::vector<std::uint8_t> cacheIndex(kCacheSize, 0);
    int reds[kMaxColors], greens[kMaxColors], blues[kMaxColors];
    for (int i = 0; i < out.colors; ++i) {
        reds[i] = out.palette[static_cast<std::size_t>(i)].red;
        greens[i] = out.palette[static_cast<std::size_t>(i)].green;
        blues[i] = out.palette[static_cast<std::size_t>(i)].blue;
    }
    auto lookup = [&](std::uint32_t rgb) -> std::uint8_t {
        std::size_t slot = (rgb * 2654435761u) >> 16 & (kCacheSize - 1);
        if (cacheKey[slot] == rgb) return cacheIndex[slot];
        int r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
        int best = 0, bestDistance = std::numeric_limits<int>::max();
        for (int i = 0; i < out.colors; ++i) {
            int dr = r - reds[i], dg = g - greens[i], db = b - blues[i];
            int distance = dr * dr + dg * dg + db * db;
            if (distance < bestDistance) {
                bestDistance = distance;
                best = i;
            }
        }
        cacheKey[slot] = rgb;
        cacheIndex[slot] = static_cast<std::uint8_t>(best);
        return static_cast<std::uint8_t>(best);
    };
    out.indexes.assign(static_cast<std::size_t>(stride) * static_cast<std::size_t>(picture.height),
                       0);
    std::uint8_t black = lookup(0);
    for (int y = 0; y < picture.height; ++y) {
        const std::uint32_t* row = picture.pixels.data() + static_cast<std::size_t>(y) * width;
        std::uint8_t* target =
            out.indexes.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride);
        std::uint32_t last = 0xFFFFFFFF;
        std::uint8_t lastIndex = 0;
        for (std::size_t x = 0; x < width; ++x) {
            std::uint32_t rgb = row[x] & 0xFFFFFF;
            if (rgb != last) {
                last = rgb;
                lastIndex = lookup(rgb);
            }
            target[x] = lastIndex;
        }
        for (int x = picture.width; x < stride; ++x)
            target[x] = black;
    }
    return out;
}

}  // namespace crashlog

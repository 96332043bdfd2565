#include "VersionBlock.h"

#include <algorithm>

namespace {

constexpr std::size_t HeaderSize = 6; // wLength, wValueLength, wType
constexpr std::size_t FixedInfoSize = 13 * 4;
constexpr std::uint32_t FixedInfoSignature = 0xFEEF04BD;
// Real blocks nest three levels deep; anything much deeper is not a version path.
constexpr std::size_t MaxDepth = 8;
// Every child takes at least a header, so no node has more children than this.
constexpr std::size_t MaxChildren = MaxVersionBlockSize / HeaderSize + 1;
constexpr std::u16string_view RootKey = u"VS_VERSION_INFO";

using TBytes = std::span<const std::uint8_t>;

std::uint16_t Get16(TBytes b, std::size_t at)
{
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t Get32(TBytes b, std::size_t at)
{
    return Get16(b, at) | (std::uint32_t{Get16(b, at + 2)} << 16);
}

// Offsets count from the block's start, which the format keeps 32-bit aligned.
constexpr std::size_t Align4(std::size_t at)
{
    return (at + 3) & ~std::size_t{3};
}

struct TNode {
    std::size_t Begin = 0;
    std::size_t End = 0;
    std::size_t KeyBegin = 0;
    std::size_t KeyUnits = 0;
    std::size_t ValueBegin = 0;
    std::size_t ValueSize = 0;
    bool Text = false;
    std::size_t ChildrenBegin = 0;
};

// End of the node at begin. Without a trustworthy length neither this node nor any later
// sibling can be found, so the caller stops there.
std::optional<std::size_t> NodeEnd(TBytes block, std::size_t begin, std::size_t limit)
{
    if (begin > limit || limit - begin < HeaderSize) {
        return std::nullopt;
    }
    const std::size_t length = Get16(block, begin);
    if (length < HeaderSize || length > limit - begin) {
        return std::nullopt;
    }
    return begin + length;
}

// The parts of the node in [begin, end); nothing when its key has no terminator or its
// value does not fit. Such a node is passed over; its siblings stay reachable.
std::optional<TNode> ParseNode(TBytes block, std::size_t begin, std::size_t end)
{
    TNode node;
    node.Begin = begin;
    node.End = end;
    const std::uint16_t valueLength = Get16(block, begin + 2);
    const std::uint16_t type = Get16(block, begin + 4);
    if (type > 1) {
        return std::nullopt;
    }
    node.Text = type == 1;
    node.KeyBegin = begin + HeaderSize;
    std::size_t at = node.KeyBegin;
    while (at + 2 <= end && Get16(block, at) != 0) {
        at += 2;
    }
    if (at + 2 > end) {
        return std::nullopt;
    }
    node.KeyUnits = (at - node.KeyBegin) / 2;
    // Text lengths count UTF-16 units, binary lengths bytes.
    node.ValueSize = node.Text ? 2 * std::size_t{valueLength} : valueLength;
    const std::size_t value = Align4(at + 2);
    if (node.ValueSize == 0) {
        node.ValueBegin = std::min(value, end);
    } else if (value > end || node.ValueSize > end - value) {
        return std::nullopt;
    } else {
        node.ValueBegin = value;
    }
    node.ChildrenBegin = Align4(node.ValueBegin + node.ValueSize);
    return node;
}

std::string KeyOf(TBytes block, const TNode &node)
{
    return Utf16LeToUtf8(block.subspan(node.KeyBegin, 2 * node.KeyUnits));
}

bool SameKey(std::string_view a, std::string_view b)
{
    auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    return std::ranges::equal(a, b, {}, fold, fold);
}

// Visits the readable children of parent in order until visit returns true.
template <typename F> std::optional<TNode> ForEachChild(TBytes block, const TNode &parent, F visit)
{
    std::size_t at = parent.ChildrenBegin;
    for (std::size_t i = 0; i < MaxChildren && at < parent.End; ++i) {
        const auto end = NodeEnd(block, at, parent.End);
        if (!end) {
            break;
        }
        const auto child = ParseNode(block, at, *end);
        if (child && visit(*child)) {
            return child;
        }
        at = Align4(*end);
    }
    return std::nullopt;
}

std::optional<TNode> Root(TBytes block)
{
    const auto length = VersionBlockLength(block);
    if (!length) {
        return std::nullopt;
    }
    return ParseNode(block, 0, *length);
}

std::optional<TNode> FindNode(TBytes block, std::string_view path)
{
    auto node = Root(block);
    std::size_t depth = 0;
    while (node && !path.empty()) {
        const std::size_t cut = path.find('\\');
        const std::string_view key = path.substr(0, cut);
        path = cut == std::string_view::npos ? std::string_view{} : path.substr(cut + 1);
        if (key.empty()) {
            continue;
        }
        if (++depth > MaxDepth) {
            return std::nullopt;
        }
        node =
            ForEachChild(block, *node, [&](const TNode &child) { return SameKey(KeyOf(block, child), key); });
    }
    return node;
}

void AppendUtf8(std::string &out, std::uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

} // namespace

std::optional<std::size_t> VersionBlockLength(std::span<const std::uint8_t> data)
{
    const auto end = NodeEnd(data, 0, data.size());
    if (!end) {
        return std::nullopt;
    }
    const auto root = ParseNode(data, 0, *end);
    if (!root || root->KeyUnits != RootKey.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < RootKey.size(); ++i) {
        if (Get16(data, root->KeyBegin + 2 * i) != RootKey[i]) {
            return std::nullopt;
        }
    }
    return *end;
}

std::optional<TVersionValue> QueryVersionValue(std::span<const std::uint8_t> block, std::string_view path)
{
    const auto node = FindNode(block, path);
    if (!node) {
        return std::nullopt;
    }
    return TVersionValue{block.subspan(node->ValueBegin, node->ValueSize), node->Text};
}

std::optional<std::string> QueryVersionText(std::span<const std::uint8_t> block, std::string_view path)
{
    const auto value = QueryVersionValue(block, path);
    if (!value) {
        return std::nullopt;
    }
    return Utf16LeToUtf8(value->Data);
}

std::vector<std::string> VersionChildKeys(std::span<const std::uint8_t> block, std::string_view path)
{
    std::vector<std::string> keys;
    if (const auto node = FindNode(block, path)) {
        ForEachChild(block, *node, [&](const TNode &child) {
            keys.push_back(KeyOf(block, child));
            return false;
        });
    }
    return keys;
}

std::optional<TFixedFileInfo> ParseFixedFileInfo(const TVersionValue &value)
{
    const TBytes d = value.Data;
    if (d.size() < FixedInfoSize || Get32(d, 0) != FixedInfoSignature) {
        return std::nullopt;
    }
    TFixedFileInfo f;
    std::uint32_t *fields[] = {&f.Signature,        &f.StrucVersion,     &f.FileVersionMS, &f.FileVersionLS,
                               &f.ProductVersionMS, &f.ProductVersionLS, &f.FileFlagsMask, &f.FileFlags,
                               &f.FileOS,           &f.FileType,         &f.FileSubtype,   &f.FileDateMS,
                               &f.FileDateLS};
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        *fields[i] = Get32(d, 4 * i);
    }
    return f;
}

std::string Utf16LeToUtf8(std::span<const std::uint8_t> bytes)
{
    std::string out;
    const std::size_t units = bytes.size() / 2;
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint16_t c = Get16(bytes, 2 * i);
        if (c == 0) {
            break;
        }
        std::uint32_t cp = c;
        if (c >= 0xD800 && c <= 0xDFFF) {
            cp = 0xFFFD;
            if (c <= 0xDBFF && i + 1 < units) {
                const std::uint16_t low = Get16(bytes, 2 * i + 2);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    cp = 0x10000 + ((std::uint32_t{c} - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        AppendUtf8(out, cp);
    }
    return out;
}

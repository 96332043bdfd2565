#pragma once

#include <cstdint>
#include <cstring>
#include <span>

// Random access to the bytes of a file or a buffer. The executable readers ask only for the
// few ranges they need, so a large file is never read whole.
class TByteSource
{
public:
    virtual ~TByteSource() = default;
    virtual std::uint64_t Size() const = 0;
    // Fills out from offset; false when the range does not lie wholly inside the source.
    virtual bool Read(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;
};

class TMemorySource : public TByteSource
{
public:
    explicit TMemorySource(std::span<const std::uint8_t> data) : FData(data) {}
    std::uint64_t Size() const override { return FData.size(); }
    bool Read(std::uint64_t offset, std::span<std::uint8_t> out) const override
    {
        if (offset > FData.size() || out.size() > FData.size() - offset) {
            return false;
        }
        if (!out.empty()) {
            std::memcpy(out.data(), FData.data() + offset, out.size());
        }
        return true;
    }

private:
    std::span<const std::uint8_t> FData;
};

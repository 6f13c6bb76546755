#include <host/rpc/msgpackreader.h>

#include <cstring>
#include <limits>

#include <host/rpc/boundedunpack.h>

namespace host::rpc {

namespace {

// What glibc's malloc takes for a request of `bytes`: an 8-byte header, 16-byte granules, and at
// least 32 bytes.
std::size_t mallocCost(std::size_t bytes) {
    const std::size_t chunk = (bytes + 8 + 15) & ~static_cast<std::size_t>(15);
    return chunk < 32 ? 32 : chunk;
}

// std::string keeps up to 15 characters inside the object itself.
constexpr std::size_t kSmallStringCapacity = 15;

}  // namespace

MsgpackReader::MsgpackReader(const char* data, std::size_t size, std::size_t budget)
    : data_(reinterpret_cast<const unsigned char*>(data)),
      size_(data == nullptr ? 0 : size),
      budget_(budget) {}

unsigned char MsgpackReader::peek() const {
    if (pos_ >= size_) {
        throwArgsNotMatch();
    }
    return data_[pos_];
}

std::uint64_t MsgpackReader::readBigEndian(std::size_t width) {
    if (width > size_ - pos_) {
        throwArgsNotMatch();
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value = (value << 8) | data_[pos_ + i];
    }
    pos_ += width;
    return value;
}

std::uint32_t MsgpackReader::readArrayHeader() {
    const unsigned char type = peek();
    std::uint64_t count = 0;
    if (type >= 0x90 && type <= 0x9f) {
        ++pos_;
        count = type & 0x0f;
    } else if (type == 0xdc || type == 0xdd) {
        ++pos_;
        count = readBigEndian(type == 0xdc ? 2 : 4);
    } else {
        throwArgsNotMatch();
    }
    // Every element takes at least one byte.
    if (count > size_ - pos_) {
        throwArgsNotMatch();
    }
    return static_cast<std::uint32_t>(count);
}

std::uint64_t MsgpackReader::readUnsigned() {
    const unsigned char type = peek();
    ++pos_;
    if (type <= 0x7f) {
        return type;
    }
    switch (type) {
        case 0xcc:
            return readBigEndian(1);
        case 0xcd:
            return readBigEndian(2);
        case 0xce:
            return readBigEndian(4);
        case 0xcf:
            return readBigEndian(8);
        case 0xd0:
        case 0xd1:
        case 0xd2:
        case 0xd3: {
            // A signed encoding of a non-negative value is still a positive integer.
            const std::size_t width = std::size_t{1} << (type - 0xd0);
            const std::uint64_t raw = readBigEndian(width);
            const std::uint64_t signBit = std::uint64_t{1} << (8 * width - 1);
            if ((raw & signBit) != 0) {
                throwArgsNotMatch();
            }
            return raw;
        }
        default:
            throwArgsNotMatch();
    }
}

std::int64_t MsgpackReader::readSigned() {
    const unsigned char type = peek();
    if (type >= 0xe0) {
        ++pos_;
        return static_cast<std::int8_t>(type);
    }
    if (type >= 0xd0 && type <= 0xd3) {
        ++pos_;
        const std::size_t width = std::size_t{1} << (type - 0xd0);
        const std::uint64_t raw = readBigEndian(width);
        const unsigned shift = static_cast<unsigned>(64 - 8 * width);
        // Sign-extend through the top bits.
        return static_cast<std::int64_t>(raw << shift) >> shift;
    }
    const std::uint64_t value = readUnsigned();
    if (value > static_cast<std::uint64_t>(INT64_MAX)) {
        throwArgsNotMatch();
    }
    return static_cast<std::int64_t>(value);
}

bool MsgpackReader::readBool() {
    const unsigned char type = peek();
    if (type != 0xc2 && type != 0xc3) {
        throwArgsNotMatch();
    }
    ++pos_;
    return type == 0xc3;
}

double MsgpackReader::readDouble() {
    const unsigned char type = peek();
    if (type == 0xca) {
        ++pos_;
        const auto bits = static_cast<std::uint32_t>(readBigEndian(4));
        float value = 0;
        std::memcpy(&value, &bits, sizeof(value));
        return value;
    }
    if (type == 0xcb) {
        ++pos_;
        const std::uint64_t bits = readBigEndian(8);
        double value = 0;
        std::memcpy(&value, &bits, sizeof(value));
        return value;
    }
    if (type >= 0xe0 || (type >= 0xd0 && type <= 0xd3)) {
        return static_cast<double>(readSigned());
    }
    return static_cast<double>(readUnsigned());
}

std::string MsgpackReader::readString() {
    const unsigned char type = peek();
    ++pos_;
    std::uint64_t length = 0;
    if (type >= 0xa0 && type <= 0xbf) {
        length = type & 0x1f;
    } else if (type == 0xd9 || type == 0xc4) {
        length = readBigEndian(1);
    } else if (type == 0xda || type == 0xc5) {
        length = readBigEndian(2);
    } else if (type == 0xdb || type == 0xc6) {
        length = readBigEndian(4);
    } else {
        throwArgsNotMatch();
    }
    if (length > size_ - pos_) {
        throwArgsNotMatch();
    }
    if (length > kSmallStringCapacity) {
        charge(static_cast<std::size_t>(length) + 1);
    }
    std::string value(reinterpret_cast<const char*>(data_ + pos_),
                      static_cast<std::size_t>(length));
    pos_ += static_cast<std::size_t>(length);
    return value;
}

void MsgpackReader::skip() {
    const auto measured =
        measureMsgpackObject(reinterpret_cast<const char*>(data_) + pos_, size_ - pos_);
    if (!measured) {
        throwArgsNotMatch();
    }
    pos_ += *measured;
}

void MsgpackReader::charge(std::size_t bytes) {
    const std::size_t cost = mallocCost(bytes);
    if (cost > budget_) {
        throwArgsNotMatch();
    }
    budget_ -= cost;
}

void MsgpackReader::chargeArray(std::uint64_t count, std::size_t elementSize) {
    if (count == 0) {
        return;
    }
    if (elementSize != 0 && count > budget_ / elementSize) {
        throwArgsNotMatch();
    }
    charge(static_cast<std::size_t>(count) * elementSize);
}

void MsgpackReader::expectEnd() const {
    if (pos_ != size_) {
        throwArgsNotMatch();
    }
}

}  // namespace host::rpc

#include <host/rpc/boundedunpack.h>

#include <stdexcept>
#include <vector>

#include <host/rpc/wire.h>

namespace host::rpc {

namespace {

std::uint64_t readBigEndian(const unsigned char* in, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value = (value << 8) | in[i];
    }
    return value;
}

// What one msgpack type byte says about the bytes after it: `lengthWidth` bytes of big-endian
// length follow (then that many payload bytes plus `extraBytes`), or `fixedBytes` of payload, or a
// container of `children` elements whose count is in `lengthWidth` bytes.
struct TypeInfo {
    bool valid = true;
    std::size_t fixedBytes = 0;
    std::size_t lengthWidth = 0;
    std::size_t extraBytes = 0;  // ext type byte
    bool container = false;
    std::uint64_t childrenPerEntry = 1;  // 2 for maps
    std::uint64_t inlineCount = 0;       // fixarray/fixmap count, fixstr length
    bool inlineIsLength = false;         // fixstr: inlineCount is a byte length
};

TypeInfo describe(unsigned char b) {
    TypeInfo t;
    if (b <= 0x7f || b >= 0xe0 || b == 0xc0 || b == 0xc2 || b == 0xc3) {
        return t;
    }
    if (b >= 0x80 && b <= 0x8f) {
        t.container = true;
        t.childrenPerEntry = 2;
        t.inlineCount = b & 0x0f;
        return t;
    }
    if (b >= 0x90 && b <= 0x9f) {
        t.container = true;
        t.inlineCount = b & 0x0f;
        return t;
    }
    if (b >= 0xa0 && b <= 0xbf) {
        t.inlineIsLength = true;
        t.inlineCount = b & 0x1f;
        return t;
    }
    switch (b) {
        case 0xc4:
            t.lengthWidth = 1;
            break;
        case 0xc5:
            t.lengthWidth = 2;
            break;
        case 0xc6:
            t.lengthWidth = 4;
            break;
        case 0xc7:
            t.lengthWidth = 1;
            t.extraBytes = 1;
            break;
        case 0xc8:
            t.lengthWidth = 2;
            t.extraBytes = 1;
            break;
        case 0xc9:
            t.lengthWidth = 4;
            t.extraBytes = 1;
            break;
        case 0xca:
            t.fixedBytes = 4;
            break;
        case 0xcb:
            t.fixedBytes = 8;
            break;
        case 0xcc:
            t.fixedBytes = 1;
            break;
        case 0xcd:
            t.fixedBytes = 2;
            break;
        case 0xce:
            t.fixedBytes = 4;
            break;
        case 0xcf:
            t.fixedBytes = 8;
            break;
        case 0xd0:
            t.fixedBytes = 1;
            break;
        case 0xd1:
            t.fixedBytes = 2;
            break;
        case 0xd2:
            t.fixedBytes = 4;
            break;
        case 0xd3:
            t.fixedBytes = 8;
            break;
        case 0xd4:
            t.fixedBytes = 2;
            break;
        case 0xd5:
            t.fixedBytes = 3;
            break;
        case 0xd6:
            t.fixedBytes = 5;
            break;
        case 0xd7:
            t.fixedBytes = 9;
            break;
        case 0xd8:
            t.fixedBytes = 17;
            break;
        case 0xd9:
            t.lengthWidth = 1;
            break;
        case 0xda:
            t.lengthWidth = 2;
            break;
        case 0xdb:
            t.lengthWidth = 4;
            break;
        case 0xdc:
            t.lengthWidth = 2;
            t.container = true;
            break;
        case 0xdd:
            t.lengthWidth = 4;
            t.container = true;
            break;
        case 0xde:
            t.lengthWidth = 2;
            t.container = true;
            t.childrenPerEntry = 2;
            break;
        case 0xdf:
            t.lengthWidth = 4;
            t.container = true;
            t.childrenPerEntry = 2;
            break;
        default:
            t.valid = false;
            break;  // 0xc1 is never used
    }
    return t;
}

}  // namespace

std::optional<std::size_t> measureMsgpackObject(const char* data, std::size_t size) {
    if (data == nullptr) {
        return std::nullopt;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    std::size_t pos = 0;
    // Elements still expected at each open nesting level; the bottom entry is the one top object.
    std::vector<std::uint64_t> pending{1};
    while (!pending.empty()) {
        if (pending.back() == 0) {
            pending.pop_back();
            continue;
        }
        --pending.back();
        if (pos >= size) {
            return std::nullopt;
        }
        const TypeInfo t = describe(bytes[pos++]);
        if (!t.valid) {
            return std::nullopt;
        }
        std::uint64_t declared = t.inlineCount;
        if (t.lengthWidth > 0) {
            if (t.lengthWidth > size - pos) {
                return std::nullopt;
            }
            declared = readBigEndian(bytes + pos, t.lengthWidth);
            pos += t.lengthWidth;
        }
        const std::size_t remaining = size - pos;
        if (t.container) {
            // Every element takes at least one byte, so a count larger than what remains is a lie;
            // refusing it here keeps msgpack-c from allocating for elements that do not exist.
            const std::uint64_t children = declared * t.childrenPerEntry;
            if (children > remaining) {
                return std::nullopt;
            }
            if (children > 0) {
                if (pending.size() >= kMaxNesting) {
                    return std::nullopt;
                }
                pending.push_back(children);
            }
            continue;
        }
        std::uint64_t payload = t.fixedBytes;
        if (t.lengthWidth > 0 || t.inlineIsLength) {
            payload = declared + t.extraBytes;
        }
        if (payload > remaining) {
            return std::nullopt;
        }
        pos += static_cast<std::size_t>(payload);
    }
    return pos;
}

msgpack::object_handle unpackBounded(const char* data, std::size_t size) {
    const auto measured = measureMsgpackObject(data, size);
    if (!measured || *measured != size) {
        throwArgsNotMatch();
    }
    const msgpack::unpack_limit limit(size, size, size, size, size, kMaxNesting);
    try {
        return msgpack::unpack(data, size, nullptr, nullptr, limit);
    } catch (const std::exception&) {
        throwArgsNotMatch();
    }
}

std::optional<ArrayHeader> readArrayHeader(const char* data, std::size_t size) {
    if (data == nullptr || size == 0) {
        return std::nullopt;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    if (bytes[0] >= 0x90 && bytes[0] <= 0x9f) {
        return ArrayHeader{static_cast<std::uint32_t>(bytes[0] & 0x0f), 1};
    }
    if (bytes[0] == 0xdc && size >= 3) {
        return ArrayHeader{static_cast<std::uint32_t>(readBigEndian(bytes + 1, 2)), 3};
    }
    if (bytes[0] == 0xdd && size >= 5) {
        return ArrayHeader{static_cast<std::uint32_t>(readBigEndian(bytes + 1, 4)), 5};
    }
    return std::nullopt;
}

void appendArrayHeader(std::string& out, std::uint32_t count) {
    if (count < 16) {
        out.push_back(static_cast<char>(0x90 | count));
    } else if (count <= 0xffff) {
        out.push_back(static_cast<char>(0xdc));
        out.push_back(static_cast<char>(count >> 8));
        out.push_back(static_cast<char>(count & 0xff));
    } else {
        out.push_back(static_cast<char>(0xdd));
        for (int shift = 24; shift >= 0; shift -= 8) {
            out.push_back(static_cast<char>((count >> shift) & 0xff));
        }
    }
}

void throwArgsNotMatch() {
    throw std::invalid_argument(std::string(kArgsNotMatch));
}

}  // namespace host::rpc

#include "link/osc.h"

#include <bit>
#include <cstring>

namespace plindo::link {

namespace {

size_t paddedStringSize(size_t len) { return (len / 4) * 4 + 4; }

uint32_t readU32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

uint64_t readU64(const uint8_t* p) { return (uint64_t{readU32(p)} << 32) | readU32(p + 4); }

void writeU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void writeU64(uint8_t* p, uint64_t v) {
    writeU32(p, static_cast<uint32_t>(v >> 32));
    writeU32(p + 4, static_cast<uint32_t>(v));
}

size_t writeString(uint8_t* p, std::string_view text) {
    const size_t n = paddedStringSize(text.size());
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    std::memset(p + text.size(), 0, n - text.size());
    return n;
}

char tagOf(OSCValue::Kind k) {
    switch (k) {
        case OSCValue::Kind::Int: return 'i';
        case OSCValue::Kind::Float: return 'f';
        case OSCValue::Kind::Double: return 'd';
        case OSCValue::Kind::Int64: return 'h';
        case OSCValue::Kind::String: return 's';
    }
    return 'i';
}

size_t valueSize(const OSCValue& v) {
    switch (v.kind) {
        case OSCValue::Kind::Int:
        case OSCValue::Kind::Float: return 4;
        case OSCValue::Kind::Double:
        case OSCValue::Kind::Int64: return 8;
        case OSCValue::Kind::String: return paddedStringSize(v.s.size());
    }
    return 0;
}

// Reads an OSC string as a view into the data; see OSCMessage::readString.
bool readStringView(const uint8_t* data, size_t size, size_t& offset, std::string_view& out) {
    if (offset >= size) return false;
    const void* zero = std::memchr(data + offset, 0, size - offset);
    if (!zero) return false;
    const size_t len = static_cast<size_t>(static_cast<const uint8_t*>(zero) - (data + offset));
    const std::string_view text(reinterpret_cast<const char*>(data + offset), len);
    const size_t next = offset + paddedStringSize(len);
    if (next > size) return false;
    if (!isValidUtf8(text)) return false;
    out = text;
    offset = next;
    return true;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        // Eight ASCII bytes at a time: addresses, tags and most texts are plain ASCII.
        while (end - p >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080ull) break;
            p += 8;
        }
        if (p >= end) break;
        const uint8_t c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (end - p <= extra) return false;
        for (int k = 1; k <= extra; ++k) {
            const uint8_t cc = p[k];
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000)) return false;  // overlong
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;                                 // surrogate
        if (cp > 0x10FFFF) return false;
        p += extra + 1;
    }
    return true;
}

std::optional<double> OSCValue::doubleValue() const {
    switch (kind) {
        case Kind::Int:
        case Kind::Int64: return static_cast<double>(i);
        case Kind::Float:
        case Kind::Double: return f;
        case Kind::String: break;
    }
    return std::nullopt;
}

std::optional<std::string> OSCValue::stringValue() const {
    if (kind == Kind::String) return s;
    return std::nullopt;
}

bool OSCValue::operator==(const OSCValue& o) const {
    if (kind != o.kind) return false;
    switch (kind) {
        case Kind::Int:
        case Kind::Int64: return i == o.i;
        case Kind::Float:
        case Kind::Double: return std::bit_cast<uint64_t>(f) == std::bit_cast<uint64_t>(o.f);
        case Kind::String: return s == o.s;
    }
    return false;
}

OSCValue OSCArg::toValue() const {
    OSCValue v;
    v.kind = kind;
    v.i = i;
    v.f = f;
    if (kind == OSCValue::Kind::String) v.s.assign(s);
    return v;
}

OSCMessage OSCMessageView::toMessage() const {
    OSCMessage m;
    m.address.assign(address);
    m.args.reserve(args.size());
    for (const auto& a : args) m.args.push_back(a.toValue());
    return m;
}

size_t OSCMessage::encodedSize(std::string_view address, std::span<const OSCValue> args) {
    size_t n = paddedStringSize(address.size()) + paddedStringSize(1 + args.size());
    for (const auto& a : args) n += valueSize(a);
    return n;
}

size_t OSCMessage::encodeInto(std::span<uint8_t> out, std::string_view address, std::span<const OSCValue> args) {
    const size_t total = encodedSize(address, args);
    if (total > out.size()) return 0;
    uint8_t* p = out.data();
    p += writeString(p, address);
    // Type tags: ',' then one character per argument, zero-padded.
    const size_t tagBytes = paddedStringSize(1 + args.size());
    std::memset(p, 0, tagBytes);
    p[0] = ',';
    for (size_t k = 0; k < args.size(); ++k) p[1 + k] = static_cast<uint8_t>(tagOf(args[k].kind));
    p += tagBytes;
    for (const auto& a : args) {
        switch (a.kind) {
            case OSCValue::Kind::Int:
                writeU32(p, static_cast<uint32_t>(static_cast<int32_t>(a.i)));
                p += 4;
                break;
            case OSCValue::Kind::Float:
                writeU32(p, std::bit_cast<uint32_t>(static_cast<float>(a.f)));
                p += 4;
                break;
            case OSCValue::Kind::Double:
                writeU64(p, std::bit_cast<uint64_t>(a.f));
                p += 8;
                break;
            case OSCValue::Kind::Int64:
                writeU64(p, static_cast<uint64_t>(a.i));
                p += 8;
                break;
            case OSCValue::Kind::String: p += writeString(p, a.s); break;
        }
    }
    return total;
}

std::vector<uint8_t> OSCMessage::encode(std::string_view address, std::span<const OSCValue> args) {
    std::vector<uint8_t> out(encodedSize(address, args));
    encodeInto(out, address, args);
    return out;
}

void OSCMessage::appendString(std::string_view text, std::vector<uint8_t>& to) {
    const size_t at = to.size();
    to.resize(at + paddedStringSize(text.size()));
    writeString(to.data() + at, text);
}

std::optional<std::string> OSCMessage::readString(const uint8_t* data, size_t size, size_t& offset) {
    std::string_view text;
    if (!readStringView(data, size, offset, text)) return std::nullopt;
    return std::string(text);
}

std::vector<OSCMessage> OSCMessage::decodePacket(const uint8_t* data, size_t size) {
    std::vector<OSCMessage> out;
    OSCDecoder decoder;
    decoder.forEachMessage(data, size, [&](const OSCMessageView& m) { out.push_back(m.toMessage()); });
    return out;
}

void OSCDecoder::run(const uint8_t* data, size_t size, Visitor visit, void* ctx) {
    if (data == nullptr || size == 0) return;
    decodeElement(data, size, visit, ctx);
}

void OSCDecoder::decodeElement(const uint8_t* data, size_t size, Visitor visit, void* ctx) {
    if (size == 0) return;
    if (size >= 7 && std::memcmp(data, "#bundle", 7) == 0) {
        // Header (8 bytes) and time tag (8 bytes, unused), then size-prefixed elements. Nesting depth is
        // bounded by the datagram: every level takes at least 20 bytes.
        size_t pos = 16;
        while (pos + 4 <= size) {
            const uint64_t n = readU32(data + pos);
            if (n == 0) break;
            const uint64_t end = pos + 4 + n;
            if (end > size) break;
            decodeElement(data + pos + 4, static_cast<size_t>(n), visit, ctx);
            pos = static_cast<size_t>(end);
        }
        return;
    }

    size_t off = 0;
    std::string_view address;
    if (!readStringView(data, size, off, address) || address.empty() || address[0] != '/') return;
    std::string_view tags;
    if (!readStringView(data, size, off, tags) || tags.empty() || tags[0] != ',') return;

    // Arguments are written in place: the list only grows, so a warm decoder never allocates.
    const size_t count = tags.size() - 1;
    if (args_.size() < count) args_.resize(count);
    for (size_t k = 0; k < count; ++k) {
        OSCArg& a = args_[k];
        a.i = 0;
        a.f = 0;
        a.s = {};
        switch (tags[k + 1]) {
            case 'i':
                if (size - off < 4) return;
                a.kind = OSCValue::Kind::Int;
                a.i = static_cast<int32_t>(readU32(data + off));
                off += 4;
                break;
            case 'f':
                if (size - off < 4) return;
                a.kind = OSCValue::Kind::Float;
                a.f = std::bit_cast<float>(readU32(data + off));
                off += 4;
                break;
            case 'd':
                if (size - off < 8) return;
                a.kind = OSCValue::Kind::Double;
                a.f = std::bit_cast<double>(readU64(data + off));
                off += 8;
                break;
            case 'h':
            case 't':
                if (size - off < 8) return;
                a.kind = OSCValue::Kind::Int64;
                a.i = static_cast<int64_t>(readU64(data + off));
                off += 8;
                break;
            case 's':
            case 'S':
                a.kind = OSCValue::Kind::String;
                if (!readStringView(data, size, off, a.s)) return;
                break;
            case 'T':
                a.kind = OSCValue::Kind::Int;
                a.i = 1;
                break;
            case 'F':
            case 'N':
                a.kind = OSCValue::Kind::Int;
                break;
            default: return;  // blobs, impulses, characters, colours, MIDI, arrays: not understood
        }
    }
    visit(ctx, OSCMessageView{address, std::span<const OSCArg>(args_.data(), count)});
}

}  // namespace plindo::link
